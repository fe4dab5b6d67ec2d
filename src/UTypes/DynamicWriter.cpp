#include "DynamicWriter.h"

#include <algorithm>

#include "Platform/Platform.h"

namespace {

constexpr int64_t kPage = 4096;

}  // namespace

bool PlanDynamicDisk(int64_t size, uint64_t leastEntries, NewDynamicDisk& disk)
{
    const uint64_t entries = std::max(DynamicTableEntries(size), leastEntries);
    if (entries > UINT32_MAX) {
        return false;
    }
    disk.entries = static_cast<uint32_t>(entries);
    BuildFooter(disk.footer, kDiskTypeDynamic, size, kHeaderOffset);
    BuildDynamicHeader(disk.header, disk.entries);
    disk.tableEnd = FirstBlockOffset(kTableOffset, 4 * entries);
    disk.locatorData.clear();
    disk.blocksFrom = disk.tableEnd;
    return true;
}

bool PlanDifferencingDisk(const HardDiskFooter& parent, const std::string& name, const std::string& absolute,
                          const std::string& relative, NewDynamicDisk& disk)
{
    const auto size = static_cast<int64_t>(Swap64(parent.currentSize));
    const DiskGeometry geometry = {Swap16(parent.cylinders), parent.heads, parent.sectorsPerTrack};
    const uint64_t covered = uint64_t{geometry.cylinders} * geometry.heads * geometry.sectorsPerTrack * kSectorSize;
    if (size < 0 || !PlanDynamicDisk(size, (covered + kBlockSize - 1) / kBlockSize, disk)) {
        return false;
    }
    BuildFooter(disk.footer, kDiskTypeDifferencing, size, kHeaderOffset, &geometry);
    std::vector<LocatorEntry> locators;
    for (const auto& [code, path] : {std::pair{"W2ku", absolute}, std::pair{"W2ru", relative}}) {
        if (!path.empty()) {
            const auto at = static_cast<uint64_t>(disk.tableEnd) + disk.locatorData.size();
            locators.push_back(AddLocatorData(code, path, at, disk.locatorData));
        }
    }
    BuildDynamicHeader(disk.header, disk.entries);
    SetParent(disk.header, parent, name, locators);
    disk.blocksFrom = disk.tableEnd + static_cast<int64_t>(disk.locatorData.size());
    return true;
}

LocatorEntry AddLocatorData(const char* code, const std::string& path, uint64_t offset, std::vector<uint8_t>& data)
{
    const std::u16string units = Utf8ToUtf16(path);
    const auto length = static_cast<uint32_t>(2 * units.size());
    const uint32_t space = (length + kSectorSize - 1) / kSectorSize * kSectorSize;
    const size_t start = data.size();
    data.resize(start + space, 0);
    for (size_t i = 0; i < units.size(); ++i) {
        data[start + 2 * i] = static_cast<uint8_t>(units[i]);
        data[start + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
    return {code, space, length, offset};
}

int64_t PaddedEntries(const NewDynamicDisk& disk)
{
    return (disk.tableEnd - kTableOffset) / 4;
}

int64_t FirstBlockPlace(const NewDynamicDisk& disk, BlockLayout layout)
{
    if (layout == BlockLayout::Packed) {
        return disk.blocksFrom;
    }
    return (disk.blocksFrom + kWrittenBlocks.bitmapBytes + kPage - 1) / kPage * kPage - kWrittenBlocks.bitmapBytes;
}

int64_t NextBlockPlace(int64_t place, BlockLayout layout)
{
    // 2 MiB of data ends on a page, so the next data starts a page later.
    return FooterPlace(place) + (layout == BlockLayout::Packed ? 0 : kPage - kWrittenBlocks.bitmapBytes);
}

int64_t FooterPlace(int64_t lastPlace)
{
    return lastPlace + kWrittenBlocks.InFile();
}

bool EntryFor(int64_t place, uint32_t* stored)
{
    const auto sector = static_cast<uint64_t>(place) / kSectorSize;
    if (place < 0 || sector >= kFirstUnallocatedEntry) {
        return false;
    }
    *stored = Swap32(static_cast<uint32_t>(sector));
    return true;
}

int64_t WriteEntries(PlatformFile* file, int64_t tableOffset, uint64_t first, const uint32_t* stored, uint32_t count)
{
    return PlatformWriteAt(file, tableOffset + static_cast<int64_t>(4 * first), stored, 4 * count);
}

bool WriteFooterAt(PlatformFile* file, const HardDiskFooter& footer, int64_t end)
{
    return PlatformWriteAt(file, end, &footer, sizeof footer) == kFooterSize;
}

bool WriteHeader(PlatformFile* file, int64_t at, const DynamicDiskHeader& header)
{
    return PlatformWriteAt(file, at, &header, sizeof header) == static_cast<int64_t>(sizeof header);
}

bool WriteFooters(PlatformFile* file, const HardDiskFooter& footer, int64_t end)
{
    return PlatformWriteAt(file, end, &footer, sizeof footer) == kFooterSize &&
           PlatformWriteAt(file, 0, &footer, sizeof footer) == kFooterSize;
}

bool WriteEmptyDisk(PlatformFile* file, const NewDynamicDisk& disk)
{
    if (PlatformWriteAt(file, kHeaderOffset, &disk.header, sizeof disk.header) != sizeof disk.header) {
        return false;
    }
    const auto locators = static_cast<uint32_t>(disk.locatorData.size());
    if (locators > 0 && PlatformWriteAt(file, disk.tableEnd, disk.locatorData.data(), locators) != locators) {
        return false;
    }
    const int64_t padded = PaddedEntries(disk);
    const std::vector<uint32_t> unallocated(static_cast<size_t>(std::min<int64_t>(padded, kEntriesPerWrite)),
                                            kUnallocatedEntry);
    for (int64_t first = 0; first < padded; first += kEntriesPerWrite) {
        const auto count = static_cast<uint32_t>(std::min<int64_t>(padded - first, kEntriesPerWrite));
        if (WriteEntries(file, kTableOffset, static_cast<uint64_t>(first), unallocated.data(), count) != 4 * count) {
            return false;
        }
    }
    return WriteFooters(file, disk.footer, disk.blocksFrom);
}
