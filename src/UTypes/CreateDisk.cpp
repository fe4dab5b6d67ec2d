// create: a new empty VHD of a given size. A dynamic disk is its records
// alone, a few KiB whatever its size; a fixed disk is its size of zeros,
// left as a hole where the file system allows, and its footer.
//
// An existing file is never replaced. The footers come last, and a write
// that fails removes the new file.
#include "DynamicWriter.h"
#include "OutputFile.h"
#include "Report.h"
#include "VhdCommands.h"

void CreateDisk(const std::string& destination, int64_t size, bool fixed)
{
    NewDynamicDisk disk;
    if (!fixed && !PlanDynamicDisk(size, 0, disk)) {
        ReportProblem("a disk of " + std::to_string(size) + " bytes is more than a dynamic VHD holds");
        return;
    }
    if (!MayCreate(destination)) {
        return;
    }
    OutputFile out = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    if (!out.file) {
        return;
    }
    bool written = false;
    if (fixed) {
        HardDiskFooter footer;
        BuildFooter(footer, kDiskTypeFixed, size, 0);
        written = PlatformMakeSparse(out.file.get()) &&
                  PlatformWriteAt(out.file.get(), size, &footer, sizeof footer) == kFooterSize;
    } else {
        written = WriteEmptyDisk(out.file.get(), disk);
    }
    if (!written) {
        const std::string why = PlatformErrorText();
        out.file.reset();
        PlatformRemoveFile(destination);
        ReportProblem("could not write " + destination + ": " + why + "; " + destination + " was removed");
        return;
    }
    WarnIfBeyondPeers(size);
}
