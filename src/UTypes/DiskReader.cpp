#include "DiskReader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "Report.h"

namespace {

constexpr int64_t kSector = kSectorSize;

// What each sector of a piece comes from: the index of the layer that
// holds it, with kBeyondEnd added when that layer's file ends before the
// sector (it reads as zeros), or kNothing (a hole).
constexpr uint8_t kNothing = 0xFF;
constexpr uint8_t kBeyondEnd = 0x80;
static_assert(kLongestChain < kBeyondEnd);

// Table entry `block` of a layer; unallocated past the entries read.
uint32_t Entry(const Layer& layer, uint64_t block)
{
    return block < layer.present ? reinterpret_cast<const uint32_t*>(layer.table.get())[block] : kUnallocatedEntry;
}

// An entry whose block's bitmap lies within the layer's file.
bool Readable(const Layer& layer, uint32_t entry)
{
    return entry < kFirstUnallocatedEntry && static_cast<int64_t>(entry) * kSector < layer.size;
}

// Reads the table of a dynamic or differencing layer whose header is
// `header`. Only the entries present in the file are held: a header that
// claims more makes dravik allocate nothing for them. Counts the entries
// that lie past the end of the file, and those whose block does.
void ReadLayerTable(Layer& layer, const DynamicDiskHeader& header)
{
    const uint64_t tableOffset = Swap64(header.tableOffset);
    const uint32_t entries = Swap32(header.maxTableEntries);
    const auto size = static_cast<uint64_t>(layer.size);
    layer.present = tableOffset >= size ? 0 : std::min<uint64_t>(entries, (size - tableOffset) / 4);
    layer.table = ObtainMemory(layer.present * 4, "reading the block allocation table");
    auto* table = reinterpret_cast<uint32_t*>(layer.table.get());
    const uint64_t failed = ReadTable(layer.file, tableOffset, table, layer.present);
    if (failed > 0) {
        ReportProblem("could not read " + std::to_string(failed) + " entries of the block allocation table" +
                      (layer.isSource ? "" : " of " + layer.name) + " (" + PlatformErrorText() + "); " +
                      (layer.type == kDiskTypeDifferencing ? "their blocks come from its parent"
                                                           : "their blocks are zeros in the image"));
    }
    layer.cutShort = entries - layer.present;
    const auto inFile = static_cast<uint64_t>(layer.blocks.InFile());
    for (uint64_t i = 0; i < layer.present; ++i) {
        layer.cutShort += table[i] < kFirstUnallocatedEntry && uint64_t{table[i]} * kSector + inFile > size ? 1 : 0;
    }
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

// The bitmap of block `block` of a layer, whose entry is `entry`: read
// once, and kept while the walk stays in the block. One that cannot be read
// is zeros, and `problems` says so.
const uint8_t* Bitmap(Layer& layer, uint64_t block, uint32_t entry, std::vector<std::string>& problems)
{
    if (layer.bitmapOf != static_cast<int64_t>(block)) {
        layer.bitmap.assign(layer.blocks.bitmapBytes, 0);
        const int64_t at = static_cast<int64_t>(entry) * kSector;
        if (PlatformReadAt(layer.file, at, layer.bitmap.data(), layer.blocks.bitmapBytes) < 0) {
            std::fill(layer.bitmap.begin(), layer.bitmap.end(), uint8_t{0});
            problems.push_back("could not read the sector bitmap at byte " + std::to_string(at) + " of " +
                               (layer.isSource ? "the source" : layer.name) + " (" + PlatformErrorText() + "); " +
                               (layer.type == kDiskTypeDifferencing ? "its sectors come from its parent"
                                                                    : "its block is zeros in the image"));
        }
        layer.bitmapOf = static_cast<int64_t>(block);
    }
    return layer.bitmap.data();
}

// Gives layer `index` the sectors of the piece at `at` (owners[s] is image
// sector at / 512 + s) that it holds and no nearer layer took. Gives true
// when no layer under it is asked: it is the base. The sectors are looked
// at eight at a time where they can be.
bool Supply(Layer& layer, uint8_t index, int64_t at, std::vector<uint8_t>& owners, bool& any,
            std::vector<std::string>& problems)
{
    const auto count = static_cast<int64_t>(owners.size());
    uint8_t* owner = owners.data();
    if (layer.type == kDiskTypeFixed) {
        const int64_t end = std::clamp<int64_t>((layer.dataEnd - at) / kSector, 0, count);
        for (int64_t s = 0; s < end; ++s) {
            if (s % 8 == 0 && s + 8 <= end && EightAt(owner + s) == Eight(kNothing)) {
                std::memset(owner + s, index, 8);
                s += 7;
            } else if (owner[s] == kNothing) {
                owner[s] = index;
            }
        }
        any = any || end > 0;
        return true;
    }
    const BlockGeometry& geometry = layer.blocks;
    const int64_t pieceEnd = at + count * kSector;
    for (int64_t position = at; position < pieceEnd;) {
        const auto block = static_cast<uint64_t>(position) / geometry.dataBytes;
        const int64_t blockStart = static_cast<int64_t>(block * geometry.dataBytes);
        const int64_t stop = std::min(pieceEnd, blockStart + geometry.dataBytes);
        const uint32_t entry = Entry(layer, block);
        if (Readable(layer, entry)) {
            const uint8_t* bitmap = Bitmap(layer, block, entry, problems);
            const int64_t data = static_cast<int64_t>(entry) * kSector + geometry.bitmapBytes;
            const int64_t available = std::clamp<int64_t>((layer.size - data) / kSector, 0, geometry.sectors);
            const int64_t shift = (blockStart - at) / kSector;  // piece sector of block sector 0
            for (int64_t k = (position - blockStart) / kSector; k < (stop - blockStart) / kSector; ++k) {
                const uint8_t byte = bitmap[k / 8];
                uint8_t* eight = owner + shift + k;
                if (k % 8 == 0 && (byte == 0 || (byte == 0xFF && k + 8 <= available && shift + k + 8 <= count &&
                                                 EightAt(eight) == Eight(kNothing)))) {
                    if (byte != 0) {
                        std::memset(eight, index, 8);
                        any = true;
                    }
                    k += 7;  // eight sectors at once; a piece ends on a whole byte of an absent one too
                    continue;
                }
                if (((byte >> (7 - k % 8)) & 1) != 0 && *eight == kNothing) {
                    *eight = static_cast<uint8_t>(index | (k < available ? 0 : kBeyondEnd));
                    any = true;
                }
            }
        }
        position = stop;
    }
    return layer.type != kDiskTypeDifferencing;
}

// The end of the run of sectors that starts at `s` and come from one layer.
int64_t RunEnd(const std::vector<uint8_t>& owners, int64_t s)
{
    const auto count = static_cast<int64_t>(owners.size());
    const uint8_t code = owners[static_cast<size_t>(s)];
    const uint64_t eight = Eight(code);
    int64_t end = s + 1;
    while (end + 8 <= count && EightAt(&owners[static_cast<size_t>(end)]) == eight) {
        end += 8;
    }
    while (end < count && owners[static_cast<size_t>(end)] == code) {
        ++end;
    }
    return end;
}

// The runs of a mapped piece: each stretch of sectors from one layer, cut
// where that layer's blocks end, since its next block lies elsewhere.
void PieceRuns(const VirtualDisk& disk, const std::vector<uint8_t>& owners, DiskPiece& piece)
{
    const auto count = static_cast<int64_t>(owners.size());
    for (int64_t s = 0; s < count;) {
        const uint8_t code = owners[static_cast<size_t>(s)];
        const int64_t end = RunEnd(owners, s);
        if (code == kNothing) {
            s = end;
            continue;
        }
        const Layer& layer = disk.layers[code & ~kBeyondEnd];
        while (s < end) {
            const int64_t position = piece.at + s * kSector;
            int64_t stop = end;
            int64_t from = position;
            if (layer.type != kDiskTypeFixed) {
                const auto block = static_cast<uint64_t>(position) / layer.blocks.dataBytes;
                const int64_t blockStart = static_cast<int64_t>(block * layer.blocks.dataBytes);
                stop = std::min(end, (blockStart + layer.blocks.dataBytes - piece.at) / kSector);
                from = static_cast<int64_t>(Entry(layer, block)) * kSector + layer.blocks.bitmapBytes + position -
                       blockStart;
            }
            // The last sector of a disk whose size is not whole sectors ends with it.
            const int64_t length = std::min((stop - s) * kSector, piece.at + piece.length - position);
            piece.runs.push_back({position, length, (code & kBeyondEnd) != 0 ? nullptr : layer.file, from});
            s = stop;
        }
    }
}

}  // namespace

std::string ForeignFormat(PlatformFile* file)
{
    uint8_t head[72] = {};
    PlatformReadAt(file, 0, head, sizeof head);
    auto at = [&](size_t offset, const char* text, size_t length) {
        return std::memcmp(head + offset, text, length) == 0;
    };
    if (at(0, "vhdxfile", 8)) {
        return "VHDX";
    }
    if (at(0, "QFI\xFB", 4)) {
        return head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] == 1 ? "qcow" : "qcow2";
    }
    if (at(0, "QED\0", 4)) {
        return "QED";
    }
    if (at(0, "KDMV", 4) || at(0, "# Disk DescriptorFile", 21)) {
        return "VMDK";
    }
    if (at(64, "\x7F\x10\xDA\xBE", 4)) {
        return "VDI";
    }
    return {};
}

SourceDisk RecogniseSource(const std::string& path, FileHandle file, int64_t size, bool rawImages)
{
    SourceDisk source;
    source.file = std::move(file);
    source.path = path;
    source.size = size;
    if (size % kSectorSize == 0) {
        source.records = RecogniseDisk(source.file.get(), size, FooterAt::EndOrStart);
    }
    const DiskRecords& records = source.records;
    switch (records.type) {
    case kDiskTypeFixed: source.kind = DiskKind::Fixed; break;
    case kDiskTypeDynamic: source.kind = DiskKind::Dynamic; break;
    case kDiskTypeDifferencing: source.kind = DiskKind::Differencing; break;
    default:
        if (!records.readError.empty()) {
            // A VHD whose footer could not be read must not pass for a raw image.
            source.failure = "could not read " + path + ": " + records.readError;
        } else if (rawImages) {
            const std::string format = ForeignFormat(source.file.get());
            source.kind = format.empty() ? DiskKind::Raw : DiskKind::Foreign;
            source.failure = format.empty() ? "" : path + " is a " + format + " image, not a raw image";
        }
        return source;
    }
    // A disk without a dynamic disk header goes on, for the command to say so.
    if (records.hasHeader && !records.blocksKnown) {
        source.kind = DiskKind::None;
        source.failure = WhyUnreadable(path, records.header);
    } else if (source.kind == DiskKind::Differencing && records.hasHeader) {
        source.chain = FindParents(path, source.file.get(), size, records.header);
        if (!source.chain.failure.empty()) {
            source.kind = DiskKind::None;
            source.failure = source.chain.failure;
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
    if (!source.records.hasHeader) {
        ReportProblem("no dynamic disk header (cookie \"cxsparse\") at byte " +
                      std::to_string(Swap64(source.records.footer.dataOffset)) + " of the source");
        return false;
    }
    return true;
}

VirtualDisk DiskOf(const SourceDisk& source, bool ownSectors)
{
    VirtualDisk disk;
    if (source.kind == DiskKind::Raw || source.kind == DiskKind::Fixed) {
        disk.flat = true;
        disk.imageEnd = source.kind == DiskKind::Fixed ? source.size - kFooterSize : source.size;
        disk.layers.push_back({source.file.get(), source.size, kDiskTypeFixed, source.path, true, disk.imageEnd});
        return disk;
    }
    const DiskRecords& records = source.records;
    const uint64_t currentSize = Swap64(records.footer.currentSize);
    disk.imageEnd = static_cast<int64_t>(std::min<uint64_t>(currentSize, std::numeric_limits<int64_t>::max()));
    const uint32_t sourceType = source.kind == DiskKind::Differencing ? kDiskTypeDifferencing : kDiskTypeDynamic;
    disk.layers.push_back({source.file.get(), source.size, sourceType, source.path, true, 0, records.blocks});
    ReadLayerTable(disk.layers[0], records.header);
    for (size_t i = 0; !ownSectors && i < source.chain.parents.size(); ++i) {
        const ChainDisk& parent = source.chain.parents[i];
        Layer layer{parent.file.get(),         parent.size,          parent.records.type, parent.path, false,
                    parent.size - kFooterSize, parent.records.blocks};
        if (layer.type != kDiskTypeFixed) {
            ReadLayerTable(layer, parent.records.header);
        }
        disk.layers.push_back(std::move(layer));
    }
    // Only zeros come after what any layer may supply.
    uint64_t supplied = 0;
    for (const Layer& layer : disk.layers) {
        supplied = std::max<uint64_t>(supplied, layer.type == kDiskTypeFixed ? static_cast<uint64_t>(layer.dataEnd)
                                                                             : layer.present * layer.blocks.dataBytes);
    }
    const uint64_t blockBytes = records.blocks.dataBytes;
    const uint64_t walked = std::min(supplied, static_cast<uint64_t>(disk.imageEnd));
    disk.entries = std::min<uint64_t>(Swap32(records.header.maxTableEntries), (walked + blockBytes - 1) / blockBytes);
    return disk;
}

bool ReportCutShort(const VirtualDisk& disk)
{
    bool any = false;
    for (const Layer& layer : disk.layers) {
        if (layer.cutShort > 0) {
            ReportProblem(layer.name + " is cut short: " + std::to_string(layer.cutShort) +
                          " of its blocks or its table lie past its end and read as zeros");
            any = true;
        }
    }
    return any;
}

bool NextPiece(VirtualDisk& disk, DiskCursor& cursor, DiskPiece& piece, std::vector<std::string>& problems)
{
    piece.runs.clear();
    piece.sourceBlock = -1;
    Layer& source = disk.layers[0];
    if (disk.flat) {
        int64_t start = 0;
        int64_t end = 0;
        const int found = cursor.at < disk.imageEnd ? PlatformNextData(source.file, cursor.at, &start, &end) : 0;
        if (found < 0) {
            // Where the data lies is unknown: all the rest may be data.
            start = cursor.at;
            end = disk.imageEnd;
        } else if (found == 0 || start >= disk.imageEnd) {
            return false;
        }
        end = std::min(end, disk.imageEnd);
        piece.at = start;
        piece.length = end - start;
        piece.runs.push_back({start, end - start, source.file, start});
        cursor.at = end;
        return true;
    }
    const int64_t blockBytes = source.blocks.dataBytes;
    static thread_local std::vector<uint8_t> owners;
    for (; cursor.entry < disk.entries; ++cursor.entry) {
        const uint32_t entry = Entry(source, cursor.entry);
        const bool readable = Readable(source, entry);
        if (disk.layers.size() == 1 && !readable) {
            continue;  // a dynamic disk alone: zeros
        }
        piece.at = static_cast<int64_t>(cursor.entry) * blockBytes;
        piece.length = std::min(blockBytes, disk.imageEnd - piece.at);
        piece.sourceBlock = readable ? static_cast<int64_t>(entry) * kSector : -1;
        owners.assign(static_cast<size_t>((piece.length + kSector - 1) / kSector), kNothing);
        bool any = false;
        for (size_t i = 0; i < disk.layers.size(); ++i) {
            if (Supply(disk.layers[i], static_cast<uint8_t>(i), piece.at, owners, any, problems)) {
                break;
            }
        }
        if (any) {
            PieceRuns(disk, owners, piece);
        }
        if (!piece.runs.empty() || readable) {
            ++cursor.entry;
            return true;
        }
    }
    return false;
}
