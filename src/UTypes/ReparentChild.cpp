// reparent: points a differencing disk at its parent where that now lies.
// Its Parent Unicode Name and its W2ku and W2ru locators name the parent as
// child names a new one, and its Parent Time Stamp becomes the parent's;
// its blocks, table and Unique Id stay.
//
// The locators' data goes to new space past the last block, the footer
// moved after it first; the header comes last, in one write. A stop before
// it leaves the child reading as before, only longer by the new space: the
// old locators' data is never written over while the header still names it.
#include <cstring>

#include "DiskChain.h"
#include "DynamicWriter.h"
#include "Report.h"
#include "VhdCommands.h"

namespace {

std::string IdText(const uint8_t* id)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text +=
            std::string(i == 4 || i == 6 || i == 8 || i == 10 ? "-" : "") + kDigits[id[i] >> 4] + kDigits[id[i] & 15];
    }
    return text;
}

// Why `parent`, open as `file` of `size` bytes, cannot be the parent of the
// child at `child`, whose header is `header`; or nothing.
std::string Unfit(const std::string& child, const DynamicDiskHeader& header, const std::string& parent,
                  PlatformFile* file, int64_t size, const DiskRecords& records)
{
    if (records.type == 0 || size % kSectorSize != 0) {
        return parent + " is no VHD";
    }
    if (std::memcmp(records.footer.uniqueId, header.parentUniqueId, sizeof header.parentUniqueId) != 0) {
        return "the Unique Id of " + parent + " is " + IdText(records.footer.uniqueId) + ", and the parent of " +
               child + " is " + IdText(header.parentUniqueId);
    }
    if (PlatformSameFile(child, parent)) {
        return parent + " is " + child;
    }
    if (records.type == kDiskTypeDifferencing && records.hasHeader) {
        for (const ChainDisk& disk : FindParents(parent, file, size, records.header).parents) {
            if (PlatformSameFile(disk.path, child)) {
                return "the chain of " + parent + " holds " + child;
            }
        }
    }
    return {};
}

}  // namespace

void ReparentChild(const std::string& child, const std::string& parent)
{
    const FileHandle file(PlatformOpen(child, OpenMode::ReadWriteExisting), PlatformClose);
    int64_t size = 0;
    if (!file || !PlatformSeekEnd(file.get(), &size)) {
        ReportCannotOpen(child, PlatformErrorText());
        return;
    }
    const DiskRecords records =
        size % kSectorSize == 0 ? RecogniseDisk(file.get(), size, FooterAt::End) : DiskRecords{};
    if (records.type != kDiskTypeDifferencing || !records.hasHeader) {
        ReportProblem(child + " is no differencing disk with its footer at its end and a dynamic disk header");
        return;
    }
    const FileHandle parentFile(PlatformOpen(parent, OpenMode::ReadExisting), PlatformClose);
    int64_t parentSize = 0;
    if (!parentFile || !PlatformSeekEnd(parentFile.get(), &parentSize)) {
        ReportCannotOpen(parent, PlatformErrorText());
        return;
    }
    const DiskRecords parentRecords = RecogniseDisk(parentFile.get(), parentSize, FooterAt::End);
    const std::string unfit = Unfit(child, records.header, parent, parentFile.get(), parentSize, parentRecords);
    if (!unfit.empty()) {
        ReportProblem(unfit + "; " + child + " is unchanged");
        return;
    }
    const std::string absolute = PlatformAbsolutePath(parent);
    std::string relative;
    if (absolute.empty()) {
        ReportProblem("cannot name " + parent + ": " + PlatformErrorText());
        return;
    }
    PlatformRelativePath(child, parent, &relative);

    // The new locators' data where the footer is, the footer after it.
    const int64_t at = size - kFooterSize;
    std::vector<uint8_t> data;
    std::vector<LocatorEntry> locators = {AddLocatorData("W2ku", absolute, static_cast<uint64_t>(at), data)};
    DynamicDiskHeader header = records.header;
    if (!relative.empty()) {
        locators.push_back(AddLocatorData("W2ru", relative, static_cast<uint64_t>(at) + data.size(), data));
    }
    for (ParentLocator& locator : header.parentLocators) {
        if (relative.empty() && std::memcmp(locator.platformCode, "W2ru", 4) == 0) {
            locator = {};  // as child writes none where no relative path exists
        }
    }
    SetParent(header, parentRecords.footer, absolute, locators);
    ReportLine("parent=" + parent);
    const int64_t headerAt = static_cast<int64_t>(Swap64(records.footer.dataOffset));
    const auto length = static_cast<uint32_t>(data.size());
    if (!WriteFooterAt(file.get(), records.footer, at + length) ||
        PlatformWriteAt(file.get(), at, data.data(), length) != length) {
        ReportProblem("could not write " + child + ": " + PlatformErrorText() + "; it names its old parent still");
    } else if (!WriteHeader(file.get(), headerAt, header)) {
        const std::string why = PlatformErrorText();
        const bool restored = WriteHeader(file.get(), headerAt, records.header);
        ReportProblem("could not write the header of " + child + ": " + why + "; " +
                      (restored ? "it names its old parent still" : "its old header could not be put back either"));
    }
}
