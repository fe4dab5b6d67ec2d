// Dynamic VHD images for tests, in dravik's own layout or in the layouts
// other tools write, and a reader of a dynamic image's virtual sectors to
// compare two images by content. Both work through callbacks, so the same
// code serves the fake platform and real files.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "UTypes/VhdRecords.h"

using PutAt = std::function<void(int64_t position, const std::string& bytes)>;
using GetAt = std::function<std::string(int64_t position, int64_t count)>;

struct TestBlock {
    uint32_t entry;      // table index
    int64_t position;    // file position of its bitmap
    uint8_t bitmapByte;  // every bitmap byte
    uint8_t seed;        // picks the data pattern
};

struct TestDynamic {
    int64_t currentSize = 0;
    uint32_t entries = 0;          // Max Table Entries
    int64_t headerOffset = 512;    // the footer's Data Offset
    int64_t tableOffset = 1536;
    uint32_t blockSize = kBlockSize;
    std::vector<TestBlock> blocks;
    int64_t length = 0;            // file length with the closing footer; 0: right after the last block
};

constexpr int64_t kTestBlockBytes = int64_t{kBitmapSize} + kBlockSize;

template <typename Record>
inline std::string Bytes(const Record& record)
{
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

// 2 MiB that differ in every sector and from seed to seed.
inline std::string BlockData(uint8_t seed)
{
    std::string data(kBlockSize, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(seed * 37 + i / 512 * 3 + i % 251);
    }
    return data;
}

// The layout dravik writes: table at 1536, one entry per whole block of
// Current Size, blocks back to back from the first block offset in the
// order given.
inline TestDynamic PlainDynamic(int64_t currentSize, const std::vector<uint32_t>& entriesInFileOrder)
{
    TestDynamic image;
    image.currentSize = currentSize;
    image.entries = static_cast<uint32_t>(currentSize / kBlockSize);
    int64_t position = FirstBlockOffset(kTableOffset, image.entries);
    uint8_t seed = 1;
    for (uint32_t entry : entriesInFileOrder) {
        image.blocks.push_back({entry, position, 0xFF, seed++});
        position += kTestBlockBytes;
    }
    return image;
}

inline int64_t WriteDynamic(const TestDynamic& image, const PutAt& put)
{
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeDynamic, image.currentSize, image.headerOffset);
    DynamicDiskHeader header;
    BuildDynamicHeader(header, image.entries);
    header.tableOffset = Swap64(static_cast<uint64_t>(image.tableOffset));
    header.blockSize = Swap32(image.blockSize);
    header.checksum = 0;
    header.checksum = Swap32(VhdChecksum(&header, sizeof header));

    std::vector<uint32_t> table(image.entries, kUnallocatedEntry);
    int64_t end = FirstBlockOffset(image.tableOffset, image.entries);
    for (const TestBlock& block : image.blocks) {
        table[block.entry] = Swap32(static_cast<uint32_t>(block.position / 512));
        put(block.position, std::string(kBitmapSize, static_cast<char>(block.bitmapByte)));
        put(block.position + kBitmapSize, BlockData(block.seed));
        end = std::max(end, block.position + kTestBlockBytes);
    }
    put(0, Bytes(footer));
    put(image.headerOffset, Bytes(header));
    put(image.tableOffset, std::string(reinterpret_cast<const char*>(table.data()), table.size() * 4));
    const int64_t length = image.length != 0 ? image.length : end + 512;
    put(length - 512, Bytes(footer));
    return length;
}

// Reads a dynamic image as a disk: the footer at its end, the header at
// the footer's Data Offset, the table where the header says.
class VirtualReader {
public:
    VirtualReader(GetAt get, int64_t length) : get_(std::move(get))
    {
        std::memcpy(&footer_, get_(length - 512, 512).data(), 512);
        DynamicDiskHeader header;
        std::memcpy(&header, get_(static_cast<int64_t>(Swap64(footer_.dataOffset)), 1024).data(), 1024);
        const std::string table =
            get_(static_cast<int64_t>(Swap64(header.tableOffset)), 4 * int64_t{Swap32(header.maxTableEntries)});
        table_.resize(table.size() / 4);
        std::memcpy(table_.data(), table.data(), table.size());
    }

    int64_t Size() const { return static_cast<int64_t>(Swap64(footer_.currentSize)); }
    const std::vector<uint32_t>& Table() const { return table_; }  // file byte order

    std::string Sector(int64_t sector) const
    {
        const auto block = static_cast<size_t>(sector / kSectorsPerBlock);
        const int64_t inBlock = sector % kSectorsPerBlock;
        if (block >= table_.size() || table_[block] == kUnallocatedEntry) {
            return std::string(512, '\0');
        }
        const int64_t start = int64_t{Swap32(table_[block])} * 512;
        const std::string bitmap = get_(start + inBlock / 8, 1);
        if (bitmap.empty() || (static_cast<uint8_t>(bitmap[0]) & (0x80 >> (inBlock % 8))) == 0) {
            return std::string(512, '\0');
        }
        std::string data = get_(start + kBitmapSize + inBlock * 512, 512);
        data.resize(512, '\0');
        return data;
    }

private:
    GetAt get_;
    HardDiskFooter footer_{};
    std::vector<uint32_t> table_;
};

// The first sector below `sectors` at which the two disks differ, or -1.
inline int64_t FirstDifference(const VirtualReader& a, const VirtualReader& b, int64_t sectors)
{
    for (int64_t sector = 0; sector < sectors; ++sector) {
        if (a.Sector(sector) != b.Sector(sector)) {
            return sector;
        }
    }
    return -1;
}
