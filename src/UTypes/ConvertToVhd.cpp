// conv2vhd: a fixed VHD is the raw disk followed by a footer, so the raw
// image becomes one in place: one write at its end and a rename. The image
// data is never read or copied.
//
// Nothing is changed before every input is checked: a source that is
// already a VHD or another format's image, and a destination that exists,
// are refused first. A write or rename that fails cuts the file back to
// the raw image it was.
#include <cstring>
#include <vector>

#include "DiskReader.h"
#include "OutputFile.h"
#include "Report.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

namespace {

const char* TypeName(uint32_t type)
{
    return type == kDiskTypeFixed ? "fixed" : type == kDiskTypeDynamic ? "dynamic" : "differencing";
}

// Cuts the file at `path` back to `length` bytes. Gives why it could not.
std::string CutBack(const std::string& path, int64_t length)
{
    const FileHandle file(PlatformOpen(path, OpenMode::ReadWriteExisting), PlatformClose);
    return file && PlatformSetLength(file.get(), length) ? std::string() : PlatformErrorText();
}

}  // namespace

void ConvertToVhd(const std::string& source, const std::string& destination)
{
    if (source.empty()) {
        ReportProblem("no source file given");
        return;
    }

    // Only an existing regular file opens: a device node or a pipe is never
    // written to, and a missing file is never created.
    FileHandle file(PlatformOpen(source, OpenMode::ReadWriteExisting), PlatformClose);
    if (!file) {
        ReportCannotOpen(source, PlatformErrorText());
        ReportFailure("could not createfile");
        return;
    }
    int64_t end = 0;
    if (!PlatformSeekEnd(file.get(), &end)) {
        ReportFailure("SetFilePointer failed," + PlatformErrorText());
        return;
    }
    const DiskRecords records = RecogniseDisk(file.get(), end, FooterAt::EndOrStart);
    if (records.type != 0) {
        ReportProblem(source + " is already a " + TypeName(records.type) + " VHD");
        return;
    }
    const std::string format = ForeignFormat(file.get());
    if (!format.empty()) {
        ReportProblem(source + " is a " + format + " image, not a raw image");
        return;
    }
    const bool rename = !destination.empty() && !PlatformSameFile(source, destination);
    if (rename && PlatformFileSize(destination) >= 0) {
        ReportProblem(destination + " exists; not replaced, and " + source + " is unchanged");
        return;
    }

    // Readers find a footer in the last whole sector: a raw image that is
    // not whole sectors gets zeros up to the next one first, in the same write.
    const int64_t size = (end + kSectorSize - 1) / kSectorSize * kSectorSize;
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeFixed, size, 0);
    std::vector<uint8_t> tail(static_cast<size_t>(size - end + kFooterSize), 0);
    std::memcpy(tail.data() + (size - end), &footer, sizeof footer);
    if (PlatformWriteAt(file.get(), end, tail.data(), static_cast<uint32_t>(tail.size())) !=
        static_cast<int64_t>(tail.size())) {
        // A raw image with half a footer, renamed to look like a VHD, would
        // be corrupt data under a misleading name: cut the file back to the
        // raw image it was and keep its name.
        const std::string why = PlatformErrorText();
        ReportFailure("WriteFile failed");
        if (!PlatformSetLength(file.get(), end)) {
            ReportProblem("could not cut " + source + " back to its original length: " + PlatformErrorText());
        } else {
            ReportProblem("footer not written to " + source + (why.empty() ? "" : ": " + why) +
                          "; the file is unchanged and keeps its name");
        }
        return;
    }
    file.reset();
    WarnIfBeyondPeers(size);

    if (destination.empty()) {
        ReportProblem("no destination given; " + source + " now ends with a footer and keeps its name");
        return;
    }
    if (rename && !PlatformRenameNoReplace(source, destination)) {
        const std::string why = PlatformErrorText();
        const std::string cut = CutBack(source, end);
        ReportProblem("could not rename " + source + " to " + destination + ": " + why + "; " +
                      (cut.empty() ? source + " is unchanged"
                                   : source + " ends with a footer that could not be cut off: " + cut));
        return;
    }
    if (size != end) {
        ReportNote(source + " was " + std::to_string(end) + " bytes, not whole sectors: " + std::to_string(size - end) +
                   " zero bytes added");
    }
}
