// child: a new differencing disk over a VHD, holding nothing of its own
// yet, so that it reads as its parent does. The parent is named as Hyper-V
// names it: by its absolute path in the header's Parent Unicode Name and a
// W2ku locator, and by its path from the child's folder in a W2ru locator,
// so that the two still make one disk when moved together.
//
// The parent and its chain are only read; an existing file is never
// replaced; a write that fails removes the new file.
#include "DiskReader.h"
#include "DynamicWriter.h"
#include "OutputFile.h"
#include "Report.h"
#include "VhdCommands.h"

void CreateChild(const std::string& parent, const std::string& destination)
{
    FileHandle file(PlatformOpen(parent, OpenMode::ReadExisting), PlatformClose);
    int64_t length = 0;
    if (!file || !PlatformSeekEnd(file.get(), &length)) {
        ReportCannotOpen(parent, PlatformErrorText());
        return;
    }
    const SourceDisk disk = RecogniseSource(parent, std::move(file), length, false);
    if (disk.kind == DiskKind::None && disk.records.type == 0) {
        ReportProblem(parent + " is no VHD" + (disk.failure.empty() ? "" : ": " + disk.failure));
        return;
    }
    if (disk.kind == DiskKind::None) {
        ReportProblem(disk.failure);  // a Block Size or a chain that conv2img refuses
        return;
    }
    if (disk.records.fromCopy) {
        // A child's readers find its parent by the footer at its end.
        ReportProblem(parent + " has no footer at its end, only the copy at its start; a parent needs both");
        return;
    }
    if ((disk.kind == DiskKind::Dynamic || disk.kind == DiskKind::Differencing) && !HasSourceHeader(disk)) {
        return;
    }
    if (!MayCreate(destination)) {
        return;
    }

    const std::string absolute = PlatformAbsolutePath(parent);
    std::string relative;
    if (absolute.empty() || !PlatformRelativePath(destination, parent, &relative)) {
        relative.clear();  // none exists, from another drive: the child names the parent's absolute path alone
    }
    NewDynamicDisk child;
    if (absolute.empty() || !PlanDifferencingDisk(disk.records.footer, absolute, absolute, relative, child)) {
        ReportProblem("no differencing disk can name " + parent +
                      (absolute.empty() ? ": " + PlatformErrorText() : " and hold its size"));
        return;
    }
    ReportLine(disk.kind == DiskKind::Fixed     ? "disk_type=fixed"
               : disk.kind == DiskKind::Dynamic ? "disk_type=dynamic"
                                                : "disk_type=differencing");
    OutputFile out = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    if (!out.file) {
        return;
    }
    if (!WriteEmptyDisk(out.file.get(), child)) {
        const std::string why = PlatformErrorText();
        out.file.reset();
        PlatformRemoveFile(destination);
        ReportProblem("could not write " + destination + ": " + why + "; " + destination + " was removed");
        return;
    }
    WarnIfBeyondPeers(static_cast<int64_t>(Swap64(child.footer.currentSize)));
}
