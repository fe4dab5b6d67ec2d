// conv2img: the raw export of a dynamic disk.
//
// The image is the concatenation, in table order, of one piece per table
// entry: Block Size zero bytes for an unallocated entry, 4,096 sectors for
// an allocated one, each sector copied (bitmap bit set) or zero (clear).
// Every sector is written at its own place, whatever failed before it.
//
// Data moves in large pieces, inside the system: a block's bitmap in one
// read, then each run of present sectors in one copy (PlatformCopyRange),
// from the source to the image, without passing through dravik's memory;
// zero runs and unallocated blocks are left as holes that the final length
// fills. When a copy fails or comes back short, the rest of the block goes
// piece by piece, a read and a write per sector with the sector's own test
// and message, so standard output is exactly what the sector-by-sector
// walk prints.
#include "ExportDynamic.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "OutputFile.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdRecords.h"

namespace {

constexpr int kSectors = static_cast<int>(kSectorsPerBlock);
constexpr int64_t kSector = kSectorSize;
constexpr int64_t kBlockData = kBlockSize;  // an allocated block's piece, whatever Block Size says

struct Export {
    PlatformFile* source;
    int64_t sourceSize;
    const OutputFile& image;
};

int64_t ToPosition(uint64_t position)
{
    return static_cast<int64_t>(position);  // beyond 2^63 negative: the call then fails
}

// Number of table entries that lie wholly in the source; the others cannot
// be read and count as unallocated.
uint64_t PresentEntries(uint64_t tableOffset, uint32_t maxEntries, int64_t sourceSize)
{
    const auto size = static_cast<uint64_t>(sourceSize);
    if (tableOffset >= size) {
        return 0;
    }
    return std::min<uint64_t>(maxEntries, (size - tableOffset) / 4);
}

// The end of the run of present sectors that starts at `s`, within the
// first `available` sectors.
int RunEnd(const bool* present, int s, int available)
{
    while (s < available && present[s]) {
        ++s;
    }
    return s;
}

// The bitmap as one flag per data sector, byte 0 first, each byte's most
// significant bit first. Gives the count of sectors present.
int DecodeBitmap(const uint8_t* bitmap, bool* present)
{
    int count = 0;
    for (int sector = 0; sector < kSectors; ++sector) {
        present[sector] = ((bitmap[sector / 8] >> (7 - sector % 8)) & 1) != 0;
        count += present[sector] ? 1 : 0;
    }
    return count;
}

// Writes the present sectors of one block from sector `s` on: each run in
// one copy until a copy fails or falls short (`pieceByPiece`), then each
// sector on its own, a read and a write, as the sector-by-sector walk
// does. A failed sector abandons the rest of its bitmap byte, whose sectors
// stay zero.
void WalkSectors(const Export& job, const bool* present, int available, int64_t data, uint64_t imagePosition, int s,
                 bool pieceByPiece)
{
    PlatformFile* image = job.image.file.get();
    while (s < kSectors) {
        if (!present[s]) {
            ++s;
            continue;
        }
        const int byteEnd = (s / 8 + 1) * 8;
        const int64_t at = ToPosition(imagePosition + static_cast<uint64_t>(s) * kSector);
        if (s >= available) {
            // Beyond the end of the source: a zero sector, left as a hole.
            // The walk's empty read and its write of nothing fail only
            // where the image was never created.
            if (image == nullptr) {
                ReportFailure("writefile error:" + WriteErrorText(job.image));
                s = byteEnd;
            } else {
                ++s;
            }
            continue;
        }
        if (!pieceByPiece) {
            const int end = RunEnd(present, s, available);
            const int64_t bytes = (end - s) * kSector;
            const int64_t copied = PlatformCopyRange(job.source, data + s * kSector, image, at, bytes);
            if (copied == bytes) {
                s = end;
            } else {
                pieceByPiece = true;  // redo from the sector where it stopped
                s += static_cast<int>(std::max<int64_t>(copied, 0) / kSector);
            }
            continue;
        }
        uint8_t sector[kSectorSize];
        const int64_t got = PlatformReadAt(job.source, data + s * kSector, sector, kSectorSize);
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

// One allocated block whose bitmap lies at `bitmapPosition` in the source,
// written at `imagePosition`: its runs of present sectors go to the
// transfer as one task, and the walk takes over from a run that falls
// short. An image that could not be created gets the walk itself, which
// says what fails sector by sector.
void ExportBlock(const Export& job, Transfer& transfer, int64_t bitmapPosition, uint64_t imagePosition)
{
    std::array<uint8_t, kBitmapSize> bitmap{};
    if (PlatformReadAt(job.source, bitmapPosition, bitmap.data(), kBitmapSize) < 0) {
        // Standard output says nothing of it; the image would be wrong
        // without a word, so standard error does.
        const std::string why = PlatformErrorText();
        TransferFinish(transfer);
        ReportProblem("could not read the sector bitmap at byte " + std::to_string(bitmapPosition) +
                      " of the source (" + why + "); its block is zeros in the image");
    }
    bool present[kSectors];
    if (DecodeBitmap(bitmap.data(), present) == 0) {
        return;  // all zeros: a hole
    }
    const int64_t data = bitmapPosition + kBitmapSize;
    const int available = static_cast<int>(std::clamp<int64_t>((job.sourceSize - data) / kSector, 0, kSectors));
    if (!job.image.file) {
        WalkSectors(job, present, available, data, imagePosition, 0, false);
        return;
    }

    std::vector<Move> runs;
    std::vector<int> firstSectors;
    for (int s = 0; s < available;) {
        if (!present[s]) {
            ++s;
            continue;
        }
        const int end = RunEnd(present, s, available);
        runs.push_back({job.source, data + s * kSector, ToPosition(imagePosition + static_cast<uint64_t>(s) * kSector),
                        (end - s) * kSector});
        firstSectors.push_back(s);
        s = end;
    }
    if (runs.empty()) {
        return;  // every present sector lies beyond the source: holes
    }
    TransferGive(transfer, std::move(runs),
                 [&job, bitmap, data, imagePosition, available, firstSectors](const MovesDone& result) {
                     if (result.move < firstSectors.size()) {
                         bool sectors[kSectors];
                         DecodeBitmap(bitmap.data(), sectors);
                         const int s = firstSectors[result.move] + static_cast<int>(result.done / kSector);
                         WalkSectors(job, sectors, available, data, imagePosition, s, true);
                     }
                     return true;
                 });
}

}  // namespace

void ExportDynamic(PlatformFile* source, int64_t sourceSize, uint64_t headerPosition,
                   const std::string& destination)
{
    DynamicDiskHeader header;
    ReadDynamicHeader(source, ToPosition(headerPosition), header);
    if (!IsDynamicHeader(header)) {
        ReportProblem("no dynamic disk header (cookie \"cxsparse\") at byte " + std::to_string(headerPosition) +
                      " of the source");
        return;
    }
    const uint64_t tableOffset = Swap64(header.tableOffset);
    const uint32_t maxEntries = Swap32(header.maxTableEntries);
    const uint32_t blockSize = Swap32(header.blockSize);
    ReportLine("disk_type=dynamic");

    // Only the entries present in the file are held: a header that claims
    // more makes dravik allocate nothing for them.
    const uint64_t present = PresentEntries(tableOffset, maxEntries, sourceSize);
    const Memory tableMemory = ObtainMemory(present * 4, "reading the block allocation table");
    auto* table = reinterpret_cast<uint32_t*>(tableMemory.get());
    if (const uint64_t failed = ReadTable(source, tableOffset, table, present); failed > 0) {
        ReportProblem("could not read " + std::to_string(failed) + " entries of the block allocation table (" +
                      PlatformErrorText() + "); their blocks are zeros in the image");
    }

    auto readable = [&](uint32_t entry) {
        return entry < kFirstUnallocatedEntry && static_cast<int64_t>(entry) * kSector < sourceSize;
    };

    const OutputFile image = CreateOutputFile(destination, OpenMode::CreateNewReadWrite);
    const Export job{source, sourceSize, image};

    // Unallocated entries and blocks that lie beyond the end of the source
    // come out as zeros: only the image position moves, per entry with no
    // call at all, and for the claimed entries beyond the table in one step.
    const ProgressScope progress("conv2img", static_cast<int64_t>(present * blockSize));
    Transfer transfer(image.file.get());
    uint64_t imagePosition = 0;
    for (uint64_t i = 0; i < present; ++i) {
        const uint32_t entry = table[i];
        if (entry >= kFirstUnallocatedEntry) {
            imagePosition += blockSize;
            continue;
        }
        if (!readable(entry)) {
            imagePosition += kBlockData;
            continue;
        }
        const int64_t bitmapPosition = static_cast<int64_t>(entry) * kSector;
        if (!PlatformSeek(source, bitmapPosition)) {
            // The message for a block it cannot reach; the walk ends.
            const std::string why = PlatformErrorText();
            TransferFinish(transfer);
            ReportFailure("writefile error:" + why);
            SetOutputLength(image, imagePosition);
            return;
        }
        ExportBlock(job, transfer, bitmapPosition, imagePosition);
        imagePosition += kBlockData;
        ProgressUpdate(static_cast<int64_t>(imagePosition));
    }
    TransferFinish(transfer);
    imagePosition += (maxEntries - present) * blockSize;
    SetOutputLength(image, imagePosition);
}
