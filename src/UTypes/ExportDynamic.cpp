// conv2img: the raw export of a dynamic or differencing disk, read through
// DiskReader.h.
//
// The image is the concatenation, in table order, of one piece per table
// entry: Block Size zero bytes for an unallocated entry, 4,096 sectors for
// an allocated one, each sector copied (present) or zero (absent). Every
// sector is written at its own place, whatever failed before it.
//
// Data moves in large pieces: each run of sectors from one disk in one move
// of the transfer (Transfer.h); zero runs and unallocated blocks are left
// as holes that the final length fills. When a move fails or comes back
// short, the rest of the block goes piece by piece, a read and a write per
// sector with the sector's own test and message, so standard output is
// exactly what the sector-by-sector walk prints.
#include "ExportDynamic.h"

#include <cstring>
#include <memory>
#include <vector>

#include "DiskReader.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"

namespace {

constexpr int kSectors = static_cast<int>(kSectorsPerBlock);
constexpr int64_t kSector = kSectorSize;
constexpr int64_t kBlockData = kBlockSize;  // an allocated block's piece, whatever Block Size says

struct Export {
    const VirtualDisk& disk;
    const OutputFile& image;
};

// Writes the sectors of one block from sector `s` on, each on its own, a
// read and a write, as the sector-by-sector walk does. A failed sector
// abandons the rest of its bitmap byte, whose sectors stay zero.
void WalkSectors(const Export& job, const BlockMap& map, int64_t imagePosition, int s)
{
    PlatformFile* image = job.image.file.get();
    while (s < kSectors) {
        const uint8_t code = map.layer[static_cast<size_t>(s)];
        if (code == kNothing) {
            ++s;
            continue;
        }
        const int byteEnd = (s / 8 + 1) * 8;
        const int64_t at = imagePosition + s * kSector;
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
            PlatformReadAt(job.disk.layers[code].file, map.data[code] + s * kSector, sector, kSectorSize);
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

// One block of the image, at `imagePosition`: its runs as one task of the
// transfer, the walk taking over from a run that falls short. An image
// that could not be created gets the walk itself, which says what fails
// sector by sector. A bitmap that cannot be read is said once what the
// tasks before it print is out.
void ExportBlock(const Export& job, Transfer& transfer, uint64_t block, int64_t imagePosition)
{
    auto map = std::make_shared<BlockMap>();
    std::vector<std::string> problems;
    MapBlock(job.disk, block, *map, problems);
    if (!problems.empty()) {
        TransferFinish(transfer);
        for (const std::string& problem : problems) {
            ReportProblem(problem);
        }
    }
    if (!map->any) {
        return;  // all zeros: a hole
    }
    if (!job.image.file) {
        WalkSectors(job, *map, imagePosition, 0);
        return;
    }
    std::vector<DataRun> runs;
    std::vector<int> firstSectors;
    BlockRuns(job.disk, *map, imagePosition, runs, firstSectors);
    if (runs.empty()) {
        return;  // every sector lies beyond the end of its disk: holes
    }
    std::vector<Move> moves;
    for (const DataRun& run : runs) {
        moves.push_back({run.file, run.from, run.at, run.length});
    }
    TransferGive(transfer, std::move(moves), [&job, map, imagePosition, firstSectors](const MovesDone& result) {
        if (result.move < firstSectors.size()) {
            const int s = firstSectors[result.move] + static_cast<int>(result.done / kSector);
            WalkSectors(job, *map, imagePosition, s);
        }
        return true;
    });
}

}  // namespace

void ExportDynamic(const SourceDisk& source, const std::string& destination)
{
    if (!HasSourceHeader(source)) {
        return;
    }
    ReportLine(source.kind == DiskKind::Differencing ? "disk_type=differencing" : "disk_type=dynamic");
    const VirtualDisk disk = LayeredDisk(source);
    const OutputFile image = CreateOutputFile(destination, OpenMode::CreateNewReadWrite);
    const Export job{disk, image};

    // Unallocated entries and blocks that lie beyond the end of the source
    // come out as zeros: only the image position moves, per entry with no
    // call at all, and for the claimed entries beyond what any disk holds in
    // one step. In a chain, the parents may supply what the source does not.
    const Layer& layer = disk.layers[0];
    const ProgressScope progress("conv2img", static_cast<int64_t>(disk.blocks * disk.blockSize));
    Transfer transfer(image.file.get());
    uint64_t imagePosition = 0;
    for (uint64_t i = 0; i < disk.blocks; ++i) {
        const uint32_t entry = Entry(layer, i);
        const bool readable = Readable(layer, entry);
        if (disk.layers.size() == 1 && !readable) {  // a dynamic disk alone
            imagePosition += entry >= kFirstUnallocatedEntry ? disk.blockSize : kBlockData;
            continue;
        }
        if (readable && !PlatformSeek(layer.file, static_cast<int64_t>(entry) * kSector)) {
            // The message for a block it cannot reach; the walk ends.
            const std::string why = PlatformErrorText();
            TransferFinish(transfer);
            ReportFailure("writefile error:" + why);
            SetOutputLength(image, imagePosition);
            return;
        }
        // Beyond 2^63 negative: the image's calls then fail.
        ExportBlock(job, transfer, i, static_cast<int64_t>(imagePosition));
        imagePosition += kBlockData;
        ProgressUpdate(static_cast<int64_t>(imagePosition));
    }
    TransferFinish(transfer);
    imagePosition += (disk.maxEntries - disk.blocks) * disk.blockSize;
    SetOutputLength(image, imagePosition);
}
