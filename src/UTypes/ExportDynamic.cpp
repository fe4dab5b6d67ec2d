// conv2img: the raw export of a dynamic or differencing disk.
//
// The image is the concatenation, in table order, of one piece per table
// entry: Block Size zero bytes for an unallocated entry, 4,096 sectors for
// an allocated one, each sector copied (bitmap bit set) or zero (clear).
// Every sector is written at its own place, whatever failed before it.
//
// A differencing disk holds only the sectors written since it was made:
// each sector comes from the first disk of its chain, child first, whose
// block is allocated and whose bitmap bit is set; a dynamic base gives its
// present sectors and zeros elsewhere, a fixed base its bytes and zeros past
// its end. Its table covers the image as a dynamic disk's does.
//
// Data moves in large pieces: a block's bitmaps in one read each, then each
// run of sectors from one disk in one move of the transfer (Transfer.h);
// zero runs and unallocated blocks are left as holes that the final length
// fills. When a move fails or comes back short, the rest of the block goes
// piece by piece, a read and a write per sector with the sector's own test
// and message, so standard output is exactly what the sector-by-sector
// walk prints.
#include "ExportDynamic.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "DiskChain.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdRecords.h"

namespace {

constexpr int kSectors = static_cast<int>(kSectorsPerBlock);
constexpr int64_t kSector = kSectorSize;
constexpr int64_t kBlockData = kBlockSize;  // an allocated block's piece, whatever Block Size says

int64_t ToPosition(uint64_t position)
{
    return static_cast<int64_t>(position);  // beyond 2^63 negative: the call then fails
}

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

// One disk the export reads: the source, or a parent of its chain.
struct Layer {
    PlatformFile* file;
    int64_t size;
    uint32_t type;
    std::string name;      // in messages
    uint64_t present = 0;  // table entries read
    Memory table{nullptr, PlatformFreer{0}};
    uint64_t blocks = 0;  // blocks it may supply
};

// Reads the table of a dynamic or differencing disk whose header is `header`.
void ReadLayerTable(Layer& layer, const DynamicDiskHeader& header, uint32_t maxEntries)
{
    const uint64_t tableOffset = Swap64(header.tableOffset);
    layer.present = PresentEntries(tableOffset, maxEntries, layer.size);
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

uint32_t Entry(const Layer& layer, uint64_t block)
{
    return block < layer.present ? reinterpret_cast<const uint32_t*>(layer.table.get())[block] : kUnallocatedEntry;
}

// An entry whose block's bitmap lies within the file.
bool Readable(const Layer& layer, uint32_t entry)
{
    return entry < kFirstUnallocatedEntry && static_cast<int64_t>(entry) * kSector < layer.size;
}

// What each sector of one block of the image comes from: the index of the
// layer that holds it, with kBeyondEnd added when that layer ends before
// the sector, or kNothing (a hole). And where the block's data starts in
// each layer. The sectors are looked at eight at a time where they can be.
constexpr uint8_t kNothing = 0xFF;
constexpr uint8_t kBeyondEnd = 0x80;
static_assert(kLongestChain < kBeyondEnd);
struct BlockSources {
    std::array<uint8_t, kSectors> layer;
    std::array<int64_t, kLongestChain> data;
    bool any = false;  // a sector comes from somewhere
};

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

// The end of the run of sectors that starts at `s` and lie back to back in
// one layer.
int RunEnd(const BlockSources& sources, int s)
{
    const uint8_t code = sources.layer[static_cast<size_t>(s)];
    const uint64_t eight = Eight(code);
    auto end = static_cast<size_t>(s) + 1;
    while (end + 8 <= kSectors && EightAt(&sources.layer[end]) == eight) {
        end += 8;
    }
    while (end < kSectors && sources.layer[end] == code) {
        ++end;
    }
    return static_cast<int>(end);
}

struct Export {
    const std::vector<Layer>& layers;  // the source first
    const OutputFile& image;
};

// Writes the sectors of one block from sector `s` on, each on its own, a
// read and a write, as the sector-by-sector walk does. A failed sector
// abandons the rest of its bitmap byte, whose sectors stay zero.
void WalkSectors(const Export& job, const BlockSources& sources, uint64_t imagePosition, int s)
{
    PlatformFile* image = job.image.file.get();
    while (s < kSectors) {
        const uint8_t code = sources.layer[static_cast<size_t>(s)];
        if (code == kNothing) {
            ++s;
            continue;
        }
        const int byteEnd = (s / 8 + 1) * 8;
        const int64_t at = ToPosition(imagePosition + static_cast<uint64_t>(s) * kSector);
        if ((code & kBeyondEnd) != 0) {
            // A zero sector, left as a hole. The walk's empty read and its
            // write of nothing fail only where the image was never created.
            if (image == nullptr) {
                ReportFailure("writefile error:" + WriteErrorText(job.image));
                s = byteEnd;
            } else {
                ++s;
            }
            continue;
        }
        uint8_t sector[kSectorSize];
        const int64_t got =
            PlatformReadAt(job.layers[code].file, sources.data[code] + s * kSector, sector, kSectorSize);
        if (got < 0) {
            ReportFailure("readfile error:" + PlatformErrorText());
            s = byteEnd;
            continue;
        }
        std::memset(sector + got, 0, static_cast<size_t>(kSector - got));  // what it could not supply
        if (PlatformWriteAt(image, at, sector, kSectorSize) != kSector) {
            ReportFailure("writefile error:" + WriteErrorText(job.image));
            s = byteEnd;
            continue;
        }
        ++s;
    }
}

// What layer `index` gives to block `block` of the image: the sectors no
// nearer layer took that its bitmap marks present. A dynamic or fixed disk,
// the base of a chain, gives every sector left (a fixed one up to its end);
// a differencing disk leaves the rest to its parent. Gives true when no
// sector is left.
bool Supply(const Layer& layer, uint8_t index, Transfer& transfer, uint64_t block, BlockSources& sources)
{
    uint8_t* owner = sources.layer.data();
    if (layer.type == kDiskTypeFixed) {
        sources.data[index] = static_cast<int64_t>(block) * kBlockData;
        const auto end = std::clamp<int64_t>((layer.size - kFooterSize - sources.data[index]) / kSector, 0, kSectors);
        for (size_t s = 0; s < static_cast<size_t>(end); s += 8) {
            if (s + 8 <= static_cast<size_t>(end) && EightAt(owner + s) == Eight(kNothing)) {
                std::memset(owner + s, index, 8);
                continue;
            }
            for (size_t t = s; t < std::min<size_t>(s + 8, static_cast<size_t>(end)); ++t) {
                owner[t] = owner[t] == kNothing ? index : owner[t];
            }
        }
        sources.any = sources.any || end > 0;
        return true;
    }
    const uint32_t entry = Entry(layer, block);
    if (Readable(layer, entry)) {
        const int64_t bitmapPosition = static_cast<int64_t>(entry) * kSector;
        uint8_t bitmap[kBitmapSize] = {};
        if (PlatformReadAt(layer.file, bitmapPosition, bitmap, kBitmapSize) < 0) {
            // Standard output says nothing of it; the image would be wrong
            // without a word, so standard error does.
            const std::string why = PlatformErrorText();
            TransferFinish(transfer);
            ReportProblem("could not read the sector bitmap at byte " + std::to_string(bitmapPosition) + " of " +
                          layer.name + " (" + why + "); " +
                          (layer.type == kDiskTypeDifferencing ? "its sectors come from its parent"
                                                               : "its block is zeros in the image"));
        }
        sources.data[index] = bitmapPosition + kBitmapSize;
        const auto available =
            static_cast<size_t>(std::clamp<int64_t>((layer.size - sources.data[index]) / kSector, 0, kSectors));
        for (size_t i = 0; i < kBitmapSize; ++i) {
            if (i % 8 == 0 && EightAt(bitmap + i) == 0) {
                i += 7;  // 64 absent sectors
                continue;
            }
            uint8_t* eight = owner + 8 * i;
            if (bitmap[i] == 0xFF && 8 * i + 8 <= available && EightAt(eight) == Eight(kNothing)) {
                std::memset(eight, index, 8);
                sources.any = true;
                continue;
            }
            for (size_t bit = 0; bitmap[i] != 0 && bit < 8; ++bit) {
                if (((bitmap[i] >> (7 - bit)) & 1) != 0 && eight[bit] == kNothing) {
                    eight[bit] = static_cast<uint8_t>(index | (8 * i + bit < available ? 0 : kBeyondEnd));
                    sources.any = true;
                }
            }
        }
    }
    return layer.type != kDiskTypeDifferencing;
}

// One block of the image, at `imagePosition`: its sectors from the layers
// that supply them, as one task of the transfer, the walk taking over from
// a run that falls short. An image that could not be created gets the walk
// itself, which says what fails sector by sector.
void ExportBlock(const Export& job, Transfer& transfer, uint64_t block, uint64_t imagePosition)
{
    auto sources = std::make_shared<BlockSources>();
    sources->layer.fill(kNothing);
    for (size_t i = 0; i < job.layers.size(); ++i) {
        if (Supply(job.layers[i], static_cast<uint8_t>(i), transfer, block, *sources)) {
            break;
        }
    }
    if (!sources->any) {
        return;  // all zeros: a hole
    }
    if (!job.image.file) {
        WalkSectors(job, *sources, imagePosition, 0);
        return;
    }

    std::vector<Move> runs;
    std::vector<int> firstSectors;
    for (int s = 0; s < kSectors;) {
        const uint8_t code = sources->layer[static_cast<size_t>(s)];
        const int end = RunEnd(*sources, s);
        if ((code & kBeyondEnd) == 0) {  // kNothing has it too
            runs.push_back({job.layers[code].file, sources->data[code] + s * kSector,
                            ToPosition(imagePosition + static_cast<uint64_t>(s) * kSector), (end - s) * kSector});
            firstSectors.push_back(s);
        }
        s = end;
    }
    if (runs.empty()) {
        return;  // every sector lies beyond the end of its disk: holes
    }
    TransferGive(transfer, std::move(runs), [&job, sources, imagePosition, firstSectors](const MovesDone& result) {
        if (result.move < firstSectors.size()) {
            const int s = firstSectors[result.move] + static_cast<int>(result.done / kSector);
            WalkSectors(job, *sources, imagePosition, s);
        }
        return true;
    });
}

// The parents of a chain as layers, each with its table read.
void AddParents(std::vector<Layer>& layers, const DiskChain& chain)
{
    for (const ChainDisk& disk : chain.parents) {
        Layer layer{disk.file.get(), disk.size, RecogniseFooter(disk.footer), disk.path};
        if (layer.type == kDiskTypeFixed) {
            layer.blocks = static_cast<uint64_t>(disk.size - kFooterSize + kBlockData - 1) / kBlockData;
        } else {
            ReadLayerTable(layer, disk.header, Swap32(disk.header.maxTableEntries));
        }
        layers.push_back(std::move(layer));
    }
}

}  // namespace

void ExportDynamic(PlatformFile* source, int64_t sourceSize, uint64_t headerPosition, const std::string& destination,
                   const DiskChain* chain)
{
    DynamicDiskHeader header;
    ReadDynamicHeader(source, ToPosition(headerPosition), header);
    if (!IsDynamicHeader(header)) {
        ReportProblem("no dynamic disk header (cookie \"cxsparse\") at byte " + std::to_string(headerPosition) +
                      " of the source");
        return;
    }
    const uint32_t maxEntries = Swap32(header.maxTableEntries);
    const uint32_t blockSize = Swap32(header.blockSize);
    ReportLine(chain != nullptr ? "disk_type=differencing" : "disk_type=dynamic");

    // Only the entries present in a file are held: a header that claims
    // more makes dravik allocate nothing for them.
    std::vector<Layer> layers;
    layers.push_back({source, sourceSize, chain != nullptr ? kDiskTypeDifferencing : kDiskTypeDynamic, "the source"});
    ReadLayerTable(layers[0], header, maxEntries);
    uint64_t blocks = layers[0].present;
    if (chain != nullptr) {
        AddParents(layers, *chain);
        for (const Layer& layer : layers) {
            blocks = std::max(blocks, layer.blocks);
        }
        blocks = std::min<uint64_t>(blocks, maxEntries);
    }

    const OutputFile image = CreateOutputFile(destination, OpenMode::CreateNewReadWrite);
    const Export job{layers, image};

    // Unallocated entries and blocks that lie beyond the end of the source
    // come out as zeros: only the image position moves, per entry with no
    // call at all, and for the claimed entries beyond what any disk holds in
    // one step. In a chain, the parents may supply what the source does not.
    const ProgressScope progress("conv2img", static_cast<int64_t>(blocks * blockSize));
    Transfer transfer(image.file.get());
    uint64_t imagePosition = 0;
    for (uint64_t i = 0; i < blocks; ++i) {
        const uint32_t entry = Entry(layers[0], i);
        const bool readable = Readable(layers[0], entry);
        if (chain == nullptr && !readable) {
            imagePosition += entry >= kFirstUnallocatedEntry ? blockSize : kBlockData;
            continue;
        }
        if (readable && !PlatformSeek(source, static_cast<int64_t>(entry) * kSector)) {
            // The message for a block it cannot reach; the walk ends.
            const std::string why = PlatformErrorText();
            TransferFinish(transfer);
            ReportFailure("writefile error:" + why);
            SetOutputLength(image, imagePosition);
            return;
        }
        ExportBlock(job, transfer, i, imagePosition);
        imagePosition += kBlockData;
        ProgressUpdate(static_cast<int64_t>(imagePosition));
    }
    TransferFinish(transfer);
    imagePosition += (maxEntries - blocks) * blockSize;
    SetOutputLength(image, imagePosition);
}
