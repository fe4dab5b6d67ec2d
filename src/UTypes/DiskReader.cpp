#include "DiskReader.h"

#include <algorithm>
#include <cstring>

#include "Report.h"

namespace {

constexpr int kSectors = static_cast<int>(kSectorsPerBlock);
constexpr int64_t kSector = kSectorSize;
constexpr int64_t kBlockData = kBlockSize;  // an allocated block's piece, whatever Block Size says

// Number of table entries that lie wholly in the file; the others cannot
// be read and count as unallocated.
uint64_t PresentEntries(uint64_t tableOffset, uint32_t maxEntries, int64_t fileSize)
{
    const auto size = static_cast<uint64_t>(fileSize);
    if (tableOffset >= size) {
        return 0;
    }
    return std::min<uint64_t>(maxEntries, (size - tableOffset) / 4);
}

// Reads the table of a dynamic or differencing disk whose header is `header`.
// Only the entries present in the file are held: a header that claims more
// makes dravik allocate nothing for them.
void ReadLayerTable(Layer& layer, const DynamicDiskHeader& header)
{
    const uint64_t tableOffset = Swap64(header.tableOffset);
    layer.present = PresentEntries(tableOffset, Swap32(header.maxTableEntries), layer.size);
    layer.table = ObtainMemory(layer.present * 4, "reading the block allocation table");
    const uint64_t failed =
        ReadTable(layer.file, tableOffset, reinterpret_cast<uint32_t*>(layer.table.get()), layer.present);
    if (failed > 0) {
        ReportProblem("could not read " + std::to_string(failed) + " entries of the block allocation table" +
                      (layer.name == "the source" ? "" : " of " + layer.name) + " (" + PlatformErrorText() + "); " +
                      (layer.type == kDiskTypeDifferencing ? "their blocks come from its parent"
                                                           : "their blocks are zeros in the image"));
    }
    layer.blocks = layer.present;
}

// Eight sectors of the same code, as one word.
uint64_t Eight(uint8_t code)
{
    return uint64_t{code} * 0x0101010101010101u;
}

uint64_t EightAt(const uint8_t* bytes)
{
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// What layer `index` gives to block `block`: the sectors no nearer layer
// took that it holds. A dynamic or fixed disk, the base of a chain, gives
// every sector left (a fixed one up to its end); a differencing disk leaves
// the rest to its parent. Gives true when no sector is left. The sectors
// are looked at eight at a time where they can be.
bool Supply(const Layer& layer, uint8_t index, uint64_t block, BlockMap& map, std::vector<std::string>& problems)
{
    uint8_t* owner = map.layer.data();
    if (layer.type == kDiskTypeFixed) {
        map.data[index] = static_cast<int64_t>(block) * kBlockData;
        const auto end = std::clamp<int64_t>((layer.dataEnd - map.data[index]) / kSector, 0, kSectors);
        for (size_t s = 0; s < static_cast<size_t>(end); s += 8) {
            if (s + 8 <= static_cast<size_t>(end) && EightAt(owner + s) == Eight(kNothing)) {
                std::memset(owner + s, index, 8);
                continue;
            }
            for (size_t t = s; t < std::min<size_t>(s + 8, static_cast<size_t>(end)); ++t) {
                owner[t] = owner[t] == kNothing ? index : owner[t];
            }
        }
        map.any = map.any || end > 0;
        return true;
    }
    const uint32_t entry = Entry(layer, block);
    if (Readable(layer, entry)) {
        const int64_t bitmapPosition = static_cast<int64_t>(entry) * kSector;
        uint8_t bitmap[kBitmapSize] = {};
        if (PlatformReadAt(layer.file, bitmapPosition, bitmap, kBitmapSize) < 0) {
            problems.push_back("could not read the sector bitmap at byte " + std::to_string(bitmapPosition) + " of " +
                               layer.name + " (" + PlatformErrorText() + "); " +
                               (layer.type == kDiskTypeDifferencing ? "its sectors come from its parent"
                                                                    : "its block is zeros in the image"));
        }
        map.data[index] = bitmapPosition + kBitmapSize;
        const auto available =
            static_cast<size_t>(std::clamp<int64_t>((layer.size - map.data[index]) / kSector, 0, kSectors));
        for (size_t i = 0; i < kBitmapSize; ++i) {
            if (i % 8 == 0 && EightAt(bitmap + i) == 0) {
                i += 7;  // 64 absent sectors
                continue;
            }
            uint8_t* eight = owner + 8 * i;
            if (bitmap[i] == 0xFF && 8 * i + 8 <= available && EightAt(eight) == Eight(kNothing)) {
                std::memset(eight, index, 8);
                map.any = true;
                continue;
            }
            for (size_t bit = 0; bitmap[i] != 0 && bit < 8; ++bit) {
                if (((bitmap[i] >> (7 - bit)) & 1) != 0 && eight[bit] == kNothing) {
                    eight[bit] = static_cast<uint8_t>(index | (8 * i + bit < available ? 0 : kBeyondEnd));
                    map.any = true;
                }
            }
        }
    }
    return layer.type != kDiskTypeDifferencing;
}

}  // namespace

SourceDisk RecogniseSource(const std::string& path, FileHandle file, int64_t size)
{
    SourceDisk source;
    source.file = std::move(file);
    source.size = size;
    source.dataEnd = size;

    // The last record wins: a trailing footer overrides the copy at the start.
    HardDiskFooter record;
    auto read = [&](int64_t position) {
        if (ReadFooter(source.file.get(), position, record) < 0 && position >= 0) {
            source.readError = PlatformErrorText();
        }
        return RecogniseFooter(record);
    };
    const uint32_t first = read(0);
    if (first == kDiskTypeDynamic || first == kDiskTypeDifferencing) {
        source.kind = first == kDiskTypeDynamic ? DiskKind::Dynamic : DiskKind::Differencing;
        source.headerPosition = Swap64(record.dataOffset);
        source.footer = record;
    }
    const uint32_t last = read(size - kFooterSize);
    if (last == kDiskTypeFixed) {
        source.kind = DiskKind::Fixed;
        source.dataEnd = size - kFooterSize;
        source.footer = record;
    } else if (last == kDiskTypeDynamic || last == kDiskTypeDifferencing) {
        source.kind = last == kDiskTypeDynamic ? DiskKind::Dynamic : DiskKind::Differencing;
        source.headerPosition = Swap64(record.dataOffset);
        source.footer = record;
    }

    // Beyond 2^63 the position is negative, and the read fails. A
    // differencing disk without a dynamic disk header goes on as a dynamic
    // disk's would; one whose chain cannot be read is no disk.
    if (source.kind == DiskKind::Dynamic || source.kind == DiskKind::Differencing) {
        ReadDynamicHeader(source.file.get(), static_cast<int64_t>(source.headerPosition), source.header);
    }
    if (source.kind == DiskKind::Differencing) {
        if (IsDynamicHeader(source.header)) {
            source.chain = FindParents(path, source.file.get(), size, source.header);
        }
        if (!source.chain.failure.empty()) {
            source.kind = DiskKind::None;
        }
    }
    return source;
}

bool IsParentDisk(const SourceDisk& source, const std::string& path)
{
    return std::any_of(source.chain.parents.begin(), source.chain.parents.end(),
                       [&](const ChainDisk& disk) { return PlatformSameFile(disk.path, path); });
}

bool HasSourceHeader(const SourceDisk& source)
{
    if (!IsDynamicHeader(source.header)) {
        ReportProblem("no dynamic disk header (cookie \"cxsparse\") at byte " + std::to_string(source.headerPosition) +
                      " of the source");
        return false;
    }
    return true;
}

VirtualDisk FlatDisk(PlatformFile* source, int64_t size, int64_t dataEnd)
{
    VirtualDisk disk;
    disk.flat = true;
    disk.layers.push_back({source, size, kDiskTypeFixed, "the source", dataEnd});
    return disk;
}

VirtualDisk LayeredDisk(const SourceDisk& source)
{
    const DynamicDiskHeader& header = source.header;
    const bool chain = source.kind == DiskKind::Differencing;
    VirtualDisk disk;
    disk.maxEntries = Swap32(header.maxTableEntries);
    disk.blockSize = Swap32(header.blockSize);
    disk.layers.push_back(
        {source.file.get(), source.size, chain ? kDiskTypeDifferencing : kDiskTypeDynamic, "the source"});
    ReadLayerTable(disk.layers[0], header);
    disk.blocks = disk.layers[0].present;
    if (!chain) {
        return disk;
    }
    for (const ChainDisk& parent : source.chain.parents) {
        Layer layer{parent.file.get(), parent.size, RecogniseFooter(parent.footer), parent.path,
                    parent.size - kFooterSize};
        if (layer.type == kDiskTypeFixed) {
            layer.blocks = static_cast<uint64_t>(layer.dataEnd + kBlockData - 1) / kBlockData;
        } else {
            ReadLayerTable(layer, parent.header);
        }
        disk.blocks = std::max(disk.blocks, layer.blocks);
        disk.layers.push_back(std::move(layer));
    }
    disk.blocks = std::min<uint64_t>(disk.blocks, disk.maxEntries);
    return disk;
}

uint32_t Entry(const Layer& layer, uint64_t block)
{
    return block < layer.present ? reinterpret_cast<const uint32_t*>(layer.table.get())[block] : kUnallocatedEntry;
}

bool Readable(const Layer& layer, uint32_t entry)
{
    return entry < kFirstUnallocatedEntry && static_cast<int64_t>(entry) * kSector < layer.size;
}

void MapBlock(const VirtualDisk& disk, uint64_t block, BlockMap& map, std::vector<std::string>& problems)
{
    map.layer.fill(kNothing);
    map.any = false;
    for (size_t i = 0; i < disk.layers.size(); ++i) {
        if (Supply(disk.layers[i], static_cast<uint8_t>(i), block, map, problems)) {
            break;
        }
    }
}

int RunEnd(const BlockMap& map, int s)
{
    const uint8_t code = map.layer[static_cast<size_t>(s)];
    const uint64_t eight = Eight(code);
    auto end = static_cast<size_t>(s) + 1;
    while (end + 8 <= kSectors && EightAt(&map.layer[end]) == eight) {
        end += 8;
    }
    while (end < kSectors && map.layer[end] == code) {
        ++end;
    }
    return static_cast<int>(end);
}

void BlockRuns(const VirtualDisk& disk, const BlockMap& map, int64_t at, std::vector<DataRun>& runs,
               std::vector<int>& firstSectors)
{
    for (int s = 0; s < kSectors;) {
        const uint8_t code = map.layer[static_cast<size_t>(s)];
        const int end = RunEnd(map, s);
        if ((code & kBeyondEnd) == 0) {  // kNothing has it too
            runs.push_back(
                {at + s * kSector, (end - s) * kSector, disk.layers[code].file, map.data[code] + s * kSector});
            firstSectors.push_back(s);
        }
        s = end;
    }
}

bool NextRuns(const VirtualDisk& disk, DiskCursor& cursor, std::vector<DataRun>& runs,
              std::vector<std::string>& problems)
{
    runs.clear();
    if (disk.flat) {
        const Layer& layer = disk.layers[0];
        int64_t start = 0;
        int64_t end = 0;
        const int found = cursor.at < layer.dataEnd ? PlatformNextData(layer.file, cursor.at, &start, &end) : 0;
        if (found < 0) {
            // Where the data lies is unknown: all the rest may be data.
            start = cursor.at;
            end = layer.dataEnd;
        } else if (found == 0 || start >= layer.dataEnd) {
            return false;
        }
        end = std::min(end, layer.dataEnd);
        runs.push_back({start, end - start, layer.file, start});
        cursor.at = end;
        return true;
    }
    const Layer& source = disk.layers[0];
    BlockMap map;
    std::vector<int> firstSectors;
    for (; cursor.entry < disk.blocks; ++cursor.entry) {
        const uint32_t entry = Entry(source, cursor.entry);
        const int64_t at = cursor.at;
        if (disk.layers.size() == 1 && !Readable(source, entry)) {
            cursor.at += entry >= kFirstUnallocatedEntry ? disk.blockSize : kBlockData;
            continue;
        }
        cursor.at += kBlockData;
        MapBlock(disk, cursor.entry, map, problems);
        if (map.any) {
            BlockRuns(disk, map, at, runs, firstSectors);
        }
        if (!runs.empty()) {
            ++cursor.entry;
            return true;
        }
    }
    return false;
}
