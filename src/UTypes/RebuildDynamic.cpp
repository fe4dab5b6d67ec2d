// The rebuild of a dynamic VHD at a new size. The new file is laid out as
// dravik writes every dynamic disk (DynamicWriter.h): footer copy at 0,
// header at 512, table at 1536 sized for the new disk, the allocated blocks
// packed from the first block offset in the order they lie in the source,
// closing footer. It is written in that writer's order, the footers last,
// so that a rebuild stopped or failed part way leaves no footer at either
// end.
//
// The source may come from another tool: its header says where its table
// is and how long, its blocks may lie in any order with gaps between them,
// and its Current Size need not be a whole number of blocks. Each block is
// found through its own table entry, so every sector keeps its data.
//
// Data moves in large transfers: the table in one write, each block in
// one move of the transfer (Transfer.h; shared extents where the file
// system has them). When a large write fails or comes back short the rest
// of it goes piece by piece (each table entry, each bitmap, each data area)
// with one "WriteFile failed" per piece that fails, as if it had gone that
// way from the start.
#include "RebuildDynamic.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "DynamicWriter.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"

namespace {

constexpr int64_t kBlocksPerRun = 256;  // 512 MiB between two looks of the progress line
constexpr int64_t kBlockInFile = kWrittenBlocks.InFile();
constexpr uint32_t kBitmapSize = kWrittenBlocks.bitmapBytes;

struct SourceBlock {
    int64_t position;  // of its bitmap in the source
    uint32_t entry;
};

// One write of a piece, judged by its count as every write of the rebuild is.
bool WritePiece(PlatformFile* out, int64_t position, const void* data, uint32_t count)
{
    if (PlatformWriteAt(out, position, data, count) != count) {
        ReportFailure("WriteFile failed");
        return false;
    }
    return true;
}

// The two files of a rebuild, and what went wrong reading the source.
struct RebuildFiles {
    PlatformFile* source;
    int64_t sourceSize;
    PlatformFile* out;
    bool readFailed = false;
    std::string readError{};
};

// A block that lies wholly within the source.
bool Whole(const RebuildFiles& files, const SourceBlock& block)
{
    return block.position <= files.sourceSize - kBlockInFile;
}

// The table: the source's entries moved to their blocks' new places,
// then unallocated entries up to the new count and on to a whole sector.
// "block_cnt=" comes between the source's entries and the rest, after
// any failure line of the former and before any of the latter.
void WriteTable(const RebuildFiles& files, const std::vector<uint32_t>& moved, int64_t paddedEntries,
                uint32_t allocated)
{
    const auto oldEntries = static_cast<uint32_t>(moved.size());
    bool countShown = false;
    auto reach = [&](int64_t entry) {
        if (!countShown && entry >= oldEntries) {
            ReportLine("block_cnt=" + std::to_string(allocated));
            countShown = true;
        }
    };
    std::vector<uint32_t> chunk(static_cast<size_t>(std::min<int64_t>(paddedEntries, kEntriesPerWrite)));
    for (int64_t start = 0; start < paddedEntries;) {
        const int64_t count = std::min<int64_t>(paddedEntries - start, kEntriesPerWrite);
        for (int64_t i = 0; i < count; ++i) {
            chunk[static_cast<size_t>(i)] =
                start + i < oldEntries ? moved[static_cast<size_t>(start + i)] : kUnallocatedEntry;
        }
        const int64_t written = WriteEntries(files.out, kTableOffset, static_cast<uint64_t>(start), chunk.data(),
                                             static_cast<uint32_t>(count));
        for (int64_t i = std::max<int64_t>(written, 0) / 4; i < count; ++i) {
            reach(start + i);
            WritePiece(files.out, kTableOffset + 4 * (start + i), &chunk[static_cast<size_t>(i)], 4);
        }
        start += count;
    }
    reach(oldEntries);
}

// Through the buffer; what the source cannot supply, because the block
// runs past its end, is written as zeros.
void CopyPiece(RebuildFiles& files, int64_t from, int64_t to, uint32_t count, uint8_t* buffer)
{
    const int64_t available = std::clamp<int64_t>(files.sourceSize - from, 0, count);
    if (available == 0 && files.out != nullptr) {
        // Wholly beyond the source: left as a hole, which reads as the
        // zeros it stands for (the closing footer gives the file its
        // length). A hostile table of blocks past the end costs no I/O.
        return;
    }
    std::memset(buffer, 0, count);
    if (files.out != nullptr && available > 0 &&
        PlatformReadAt(files.source, from, buffer, static_cast<uint32_t>(available)) != available) {
        files.readFailed = true;
        files.readError = PlatformErrorText();
    }
    WritePiece(files.out, to, buffer, count);
}

// Piece by piece, from `done` bytes into the block on: its bitmap unless
// that was done, then its data area.
void CopyBlockPieces(RebuildFiles& files, int64_t from, int64_t to, int64_t done, uint8_t* buffer)
{
    if (done < kBitmapSize) {
        CopyPiece(files, from, to, kBitmapSize, buffer);
    }
    CopyPiece(files, from + kBitmapSize, to + kBitmapSize, kBlockSize, buffer);
}

// The blocks in the order of their source positions, packed from
// `firstBlock`, one task each. A block that falls short, because it failed
// or runs past the end of the source, goes piece by piece. The progress line moves on at
// every run of blocks that lie back to back in the source, 256 at most.
void CopyBlocks(RebuildFiles& files, const std::vector<SourceBlock>& blocks, int64_t firstBlock, uint8_t* buffer)
{
    const auto total = static_cast<int64_t>(blocks.size());
    const ProgressScope progress("resize", total * kBlockInFile);
    auto at = [&](int64_t b) { return blocks[static_cast<size_t>(b)]; };
    Transfer transfer(files.out);
    for (int64_t first = 0; first < total;) {
        ProgressUpdate(first * kBlockInFile);
        int64_t end = first + 1;
        while (Whole(files, at(first)) && end < total && end - first < kBlocksPerRun && Whole(files, at(end)) &&
               at(end).position == at(end - 1).position + kBlockInFile) {
            ++end;
        }
        for (int64_t b = first; b < end; ++b) {
            const int64_t from = at(b).position;
            const int64_t to = firstBlock + b * kBlockInFile;
            TransferGive(transfer, {{files.source, from, to, kBlockInFile}},
                         [&files, from, to, buffer](const MovesDone& result) {
                             if (result.move == 0) {  // it fell short
                                 CopyBlockPieces(files, from, to, result.done, buffer);
                             }
                             return true;
                         });
        }
        first = end;
    }
    TransferFinish(transfer);
}

}  // namespace

void RebuildDynamic(const std::string& sourcePath, PlatformFile* source, int64_t sourceSize, const DiskRecords& records,
                    int64_t newSize)
{
    if (newSize % 2048 != 0) {
        ReportFailure("mod 2048<>0");
        return;
    }
    const auto oldDiskSize = static_cast<int64_t>(Swap64(records.footer.currentSize));
    if (newSize < 0 || newSize < oldDiskSize) {
        ReportFailure("new size smaller than current size");
        return;
    }

    // Everything about the source is checked before "new.vhd" is touched.
    if (!records.headerError.empty()) {
        // Said here, or the layout message below would be all the user sees.
        ReportProblem("could not read the dynamic disk header of " + sourcePath + ": " + records.headerError);
    }
    const DynamicDiskHeader& header = records.header;
    const uint32_t oldEntries = Swap32(header.maxTableEntries);
    const auto tableOffset = static_cast<int64_t>(Swap64(header.tableOffset));
    const bool tableInFile = tableOffset >= 0 && tableOffset <= sourceSize &&
                             4 * uint64_t{oldEntries} <= static_cast<uint64_t>(sourceSize - tableOffset);
    // Never fewer entries than the source has.
    NewDynamicDisk disk;
    if (!records.hasHeader || Swap32(header.blockSize) != kBlockSize || !tableInFile ||
        !PlanDynamicDisk(newSize, oldEntries, disk)) {
        ReportFailure("unsupported dynamic disk layout");
        return;
    }

    std::vector<uint32_t> table(oldEntries);
    if (ReadTable(source, static_cast<uint64_t>(tableOffset), table.data(), oldEntries) > 0) {
        ReportProblem("could not read the block allocation table of " + sourcePath + ": " + PlatformErrorText());
        return;
    }
    std::vector<SourceBlock> blocks;
    for (uint32_t i = 0; i < oldEntries; ++i) {
        if (table[i] < kFirstUnallocatedEntry) {
            blocks.push_back({int64_t{table[i]} * kSectorSize, i});
        }
    }
    std::stable_sort(blocks.begin(), blocks.end(),
                     [](const SourceBlock& a, const SourceBlock& b) { return a.position < b.position; });
    const auto allocated = static_cast<uint32_t>(blocks.size());
    // Blocks that share bytes are a damaged table: no layout gives them
    // each their own data, and copying every one would let a small file
    // claim the same bytes over and over.
    const bool overlapping =
        std::adjacent_find(blocks.begin(), blocks.end(), [](const SourceBlock& a, const SourceBlock& b) {
            return b.position < a.position + kBlockInFile;
        }) != blocks.end();
    // Each block keeps its own entry, placed by the packed layout.
    std::vector<uint32_t> moved(oldEntries, kUnallocatedEntry);
    int64_t place = FirstBlockPlace(disk, BlockLayout::Packed);
    const int64_t firstBlock = place;
    bool addressable = true;
    for (uint32_t k = 0; k < allocated && addressable; ++k) {
        addressable = EntryFor(place, &moved[blocks[k].entry]);
        place = NextBlockPlace(place, BlockLayout::Packed);
    }
    if (overlapping || !addressable) {
        ReportFailure("unsupported dynamic disk layout");
        return;
    }

    const std::string newPath = PlatformDirectoryPart(sourcePath) + "new.vhd";
    if (PlatformSameFile(sourcePath, newPath)) {
        ReportFailure("source file is new.vhd");
        return;
    }
    if (!MayCreate(newPath)) {
        return;  // an earlier new.vhd may be the user's
    }
    OutputFile output = CreateOutputFile(newPath, OpenMode::CreateNewWrite);
    PlatformFile* out = output.file.get();

    bool whole = WritePiece(out, kHeaderOffset, &disk.header, sizeof disk.header);
    RebuildFiles files{source, sourceSize, out};
    const bool failedBefore = RunFailed();
    WriteTable(files, moved, PaddedEntries(disk), allocated);

    const Memory buffer = ObtainMemory(kBlockSize, "rebuilding " + sourcePath + " into " + newPath);
    CopyBlocks(files, blocks, firstBlock, buffer.get());
    whole = whole && RunFailed() == failedBefore;
    const int64_t end = allocated > 0 ? FooterPlace(firstBlock + int64_t{allocated - 1} * kBlockInFile) : disk.tableEnd;
    // The footers only when every write before them succeeded; else zeros
    // at the footer's place, so that a reader takes the file for no disk.
    static const HardDiskFooter kNoFooter{};
    if (!whole) {
        WritePiece(out, end, &kNoFooter, sizeof kNoFooter);
    } else if (!WriteFooters(out, disk.footer, end)) {
        ReportFailure("WriteFile failed");
    }
    output.file.reset();

    if (files.readFailed) {
        ReportProblem("could not read every block of " + sourcePath + "; what could not be read is zeros in " +
                      newPath + ": " + files.readError);
    }
    WarnIfBeyondPeers(newSize);
}
