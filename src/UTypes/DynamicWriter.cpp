#include "DynamicWriter.h"

#include <algorithm>

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
    return true;
}

int64_t PaddedEntries(const NewDynamicDisk& disk)
{
    return (disk.tableEnd - kTableOffset) / 4;
}
