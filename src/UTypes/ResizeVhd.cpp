// resize: a fixed disk gets a new footer at the new end of its data, in
// place; a dynamic disk is rebuilt at its new size into "new.vhd" beside it
// (RebuildDynamic.cpp). Neither ever shrinks a disk: that would drop data.
#include "OutputFile.h"
#include "RebuildDynamic.h"
#include "Report.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

namespace {

// Two 512-byte writes, whatever the size: the new footer at the new end,
// then zeros over the old one. In this order an interrupted resize leaves
// a footer at the end of the file in every state.
void ResizeFixed(PlatformFile* file, const std::string& path, int64_t fileSize, const HardDiskFooter& oldFooter,
                 int64_t newSize)
{
    const int64_t dataEnd = fileSize - kFooterSize;  // where the old footer starts
    if (newSize < dataEnd) {
        // A smaller disk would leave no footer at the file's end or cut data
        // off; negative sizes end up here too.
        ReportFailure("new size smaller than current size");
        return;
    }

    // Made from scratch: nothing of the old footer is carried over.
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeFixed, newSize, 0);
    if (!PlatformSeek(file, newSize)) {
        ReportFailure("INVALID_SET_FILE_POINTER");
        return;
    }
    if (PlatformWrite(file, &footer, sizeof footer) != static_cast<int64_t>(sizeof footer)) {
        const std::string why = PlatformErrorText();
        ReportFailure("WriteFile failed");
        // Back to the file as it was: at the same size the old footer goes
        // back over the torn new one; a grown file is cut to its old length.
        bool restored = true;
        if (newSize == dataEnd) {
            restored =
                PlatformWriteAt(file, dataEnd, &oldFooter, sizeof oldFooter) == static_cast<int64_t>(sizeof oldFooter);
        }
        restored = PlatformSetLength(file, fileSize) && restored;
        if (!restored) {
            ReportProblem("could not restore the old footer of " + path + ": " + PlatformErrorText());
        } else {
            ReportProblem("new footer not written to " + path + (why.empty() ? "" : ": " + why) +
                          "; the file is unchanged");
        }
        return;
    }
    WarnIfBeyondPeers(newSize);
    if (newSize == dataEnd) {
        return;  // the new footer replaced the old one in place
    }
    static const char kZeroSector[kFooterSize] = {};
    if (PlatformWriteAt(file, dataEnd, kZeroSector, sizeof kZeroSector) != static_cast<int64_t>(sizeof kZeroSector)) {
        // The disk is resized, but its sector at the old end still holds the
        // old footer's bytes instead of zeros.
        ReportProblem("could not blank the old footer of " + path + ": " + PlatformErrorText());
    }
}

}  // namespace

void ResizeVhd(const std::string& path, int64_t newSizeBytes)
{
    const int64_t fileSize = QueryFileSize(path);
    ReportLine("filesize=" + std::to_string(fileSize));
    // No file at all gives -1, which fails this test too.
    if (fileSize % kSectorSize != 0 || newSizeBytes % kSectorSize != 0) {
        ReportFailure("mod 512 <>0");
        if (fileSize < 0) {
            ReportCannotOpen(path, PlatformErrorText());
        }
        return;
    }

    const FileHandle file(PlatformOpen(path, OpenMode::ReadWriteExisting), PlatformClose);
    if (!file) {
        ReportCannotOpen(path, PlatformErrorText());
        return;
    }

    // An empty file has no footer to read, and its zeros are none.
    const DiskRecords records = RecogniseDisk(file.get(), fileSize, FooterAt::End);
    switch (records.type) {
    case kDiskTypeFixed: ResizeFixed(file.get(), path, fileSize, records.footer, newSizeBytes); break;
    case kDiskTypeDynamic: RebuildDynamic(path, file.get(), fileSize, records, newSizeBytes); break;
    default:
        ReportProblem(path + " does not end with the footer of a fixed or dynamic disk; it is left unchanged");
        break;
    }
}
