// conv2vhd: a fixed VHD is the raw disk followed by a footer, so the raw
// image becomes one in place: one 512-byte write at its end and a rename.
// The image data is never read or copied.
#include "OutputFile.h"
#include "Report.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

void ConvertToVhd(const std::string& source, const std::string& destination)
{
    if (source.empty()) {
        ReportProblem("no source file given");
        return;
    }

    const int64_t size = QueryFileSize(source);
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeFixed, size, 0);

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

    if (PlatformWrite(file.get(), &footer, sizeof footer) != static_cast<int64_t>(sizeof footer)) {
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
    if (!PlatformRenameNoReplace(source, destination)) {
        ReportProblem("could not rename " + source + " to " + destination + ": " + PlatformErrorText());
    }
}
