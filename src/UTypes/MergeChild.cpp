// merge: the sectors a differencing disk holds, written into its parent in
// place. The child is only read.
//
// While the child stays unchanged on top, what the chain reads does not
// depend on how far the merge has come: each step need only keep the parent
// a disk that readers open, each of its sectors reading as before or as the
// child's. So the merge makes three passes over the child's own sectors,
// and no reader of the parent looks at what the first two write:
//  1. The blocks the parent lacks are reserved past its last block, all at
//     once: its footer goes to the new end first, so that the file always
//     ends with a footer (a parent is found by its trailing footer), and is
//     on the device before anything is written where it was.
//  2. The child's sectors go into the parent's blocks, present and reserved.
//  3. The bitmaps and the table entries, each block's bitmap before its
//     entry: from here on a reader sees the child's sectors. Where a bit
//     that was clear is set in a block the parent had, or a new block of a
//     differencing parent leaves sectors to the parent's parent, the
//     sectors are on the device first, so that no power cut leaves a bit
//     set over what was never written. A new block of a dynamic parent
//     needs no such wait: until its data is written it reads as zeros,
//     which is what the parent read there.
// A merge stopped at any point is completed by running it again; blocks it
// reserved and did not enter are left unused.
#include <algorithm>
#include <functional>
#include <utility>

#include "DiskReader.h"
#include "DynamicWriter.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdCommands.h"

namespace {

constexpr int64_t kSector = kSectorSize;
constexpr int64_t kMovesPerTask = int64_t{2} << 20;  // bytes of the child's sectors per task of the transfer

// The parent as the merge writes it: open for writing, its table as it
// stands and as it will stand, with the reserved blocks entered.
struct Parent {
    const ChainDisk& disk;
    FileHandle file{nullptr, PlatformClose};
    uint32_t type = 0;
    BlockGeometry blocks{};
    int64_t tableOffset = 0;
    std::vector<uint32_t> table{};    // host order
    std::vector<uint32_t> planned{};  // host order
    std::string failure{};            // the first write that failed
    bool flushed = false;             // the child's sectors are on the device
};

bool Unallocated(uint32_t entry)
{
    return entry >= kFirstUnallocatedEntry;
}

// Walks the sectors the child holds, in image order, as stretches that lie
// within one block of the parent (a fixed parent is one block): `visit`
// takes the block and the stretch, and gives false to stop. Gives false
// when it stopped, or a bitmap of the child could not be read.
bool WalkChild(VirtualDisk& child, Parent& parent, const std::function<bool(uint64_t, const DataRun&)>& visit)
{
    DiskCursor cursor;
    DiskPiece piece;
    std::vector<std::string> problems;
    while (NextPiece(child, cursor, piece, problems) && problems.empty()) {
        for (DataRun run : piece.runs) {
            while (run.file != nullptr && run.length > 0) {
                const bool fixed = parent.type == kDiskTypeFixed;
                const auto block = fixed ? 0 : static_cast<uint64_t>(run.at) / parent.blocks.dataBytes;
                const int64_t length =
                    fixed ? run.length
                          : std::min(run.length, static_cast<int64_t>((block + 1) * parent.blocks.dataBytes) - run.at);
                if (!visit(block, {run.at, length, run.file, run.from})) {
                    return false;
                }
                run.at += length;
                run.from += length;
                run.length -= length;
            }
        }
    }
    if (!problems.empty()) {
        parent.failure = problems.front();
    }
    return problems.empty();
}

// Where the data of image position `at`, in block `block`, goes in the parent.
int64_t Target(const Parent& parent, uint64_t block, int64_t at)
{
    if (parent.type == kDiskTypeFixed) {
        return at;
    }
    const int64_t start = static_cast<int64_t>(block * parent.blocks.dataBytes);
    return int64_t{parent.planned[block]} * kSector + parent.blocks.bitmapBytes + at - start;
}

bool Written(Parent& parent, bool done, int64_t at)
{
    if (!done && parent.failure.empty()) {
        parent.failure =
            "could not write " + parent.disk.path + " at byte " + std::to_string(at) + ": " + PlatformErrorText();
    }
    return parent.failure.empty();
}

// Pass 1: a place past the parent's last block for each block the child
// gives sectors to and the parent lacks, and the footer after them.
bool Reserve(VirtualDisk& child, Parent& parent)
{
    const int64_t footerAt = parent.disk.size - kFooterSize;
    int64_t end = footerAt;
    bool addressable = true;
    WalkChild(child, parent, [&](uint64_t block, const DataRun&) {
        if (Unallocated(parent.planned[block])) {
            uint32_t stored = 0;
            addressable = EntryFor(end, &stored);
            parent.planned[block] = Swap32(stored);
            end += parent.blocks.InFile();
        }
        return addressable;
    });
    if (!addressable) {
        parent.failure = parent.disk.path + " would hold more blocks than its table can address";
        return false;
    }
    if (end == footerAt || !parent.failure.empty()) {
        return parent.failure.empty();
    }
    return Written(parent, WriteFooterAt(parent.file.get(), parent.disk.records.footer, end), end) &&
           Written(parent, PlatformFlush(parent.file.get()), end);
}

// Pass 2: the child's sectors into their places, in tasks of the transfer.
bool CopySectors(VirtualDisk& child, Parent& parent)
{
    const ProgressScope progress("merge", child.imageEnd);
    Transfer transfer(parent.file.get());
    std::vector<Move> moves;
    int64_t bytes = 0;
    auto give = [&] {
        const int64_t first = moves.front().to;
        const size_t count = moves.size();
        TransferGive(transfer, std::exchange(moves, {}), [&parent, first, count](const MovesDone& result) {
            return Written(parent, result.move == count, first);
        });
        bytes = 0;
    };
    WalkChild(child, parent, [&](uint64_t block, const DataRun& run) {
        moves.push_back({run.file, run.from, Target(parent, block, run.at), run.length});
        bytes += run.length;
        if (bytes >= kMovesPerTask) {
            give();
            ProgressUpdate(run.at + run.length);
        }
        return parent.failure.empty();
    });
    if (!moves.empty() && parent.failure.empty()) {
        give();
    }
    TransferFinish(transfer);
    return parent.failure.empty();
}

// Pass 3, for one block the child gives the sectors marked in `bits`: its
// bitmap with them present, then, for a reserved block, its table entry. A
// dynamic parent's new block has every sector present: where the child has
// none it holds zeros, which is what the parent read there.
bool EnterBlock(Parent& parent, uint64_t block, const std::vector<uint8_t>& bits)
{
    const int64_t at = int64_t{parent.planned[block]} * kSector;
    const bool reserved = Unallocated(parent.table[block]);
    std::vector<uint8_t> bitmap(bits.size(), parent.type == kDiskTypeDynamic && reserved ? 0xFF : 0);
    if (!reserved && PlatformReadAt(parent.file.get(), at, bitmap.data(), parent.blocks.bitmapBytes) < 0) {
        return Written(parent, false, at);
    }
    bool changed = reserved;
    for (size_t i = 0; i < bits.size(); ++i) {
        changed = changed || (bitmap[i] | bits[i]) != bitmap[i];
        bitmap[i] |= bits[i];
    }
    const uint32_t stored = Swap32(parent.planned[block]);
    const int64_t entryAt = parent.tableOffset + static_cast<int64_t>(4 * block);
    if (changed && (!reserved || parent.type == kDiskTypeDifferencing) && !parent.flushed) {
        parent.flushed = Written(parent, PlatformFlush(parent.file.get()), at);
        if (!parent.flushed) {
            return false;
        }
    }
    return !changed ||
           (Written(parent,
                    PlatformWriteAt(parent.file.get(), at, bitmap.data(), parent.blocks.bitmapBytes) ==
                        parent.blocks.bitmapBytes,
                    at) &&
            (!reserved ||
             Written(parent, WriteEntries(parent.file.get(), parent.tableOffset, block, &stored, 1) == 4, entryAt)));
}

// Pass 3 over every block the child gives sectors to.
bool EnterBlocks(VirtualDisk& child, Parent& parent)
{
    std::vector<uint8_t> bits(parent.blocks.bitmapBytes);
    int64_t current = -1;
    const bool walked = WalkChild(child, parent, [&](uint64_t block, const DataRun& run) {
        if (static_cast<int64_t>(block) != current) {
            if (current >= 0 && !EnterBlock(parent, static_cast<uint64_t>(current), bits)) {
                return false;
            }
            current = static_cast<int64_t>(block);
            std::fill(bits.begin(), bits.end(), uint8_t{0});
        }
        const int64_t first = (run.at - static_cast<int64_t>(block * parent.blocks.dataBytes)) / kSector;
        for (int64_t s = first; s < first + (run.length + kSector - 1) / kSector; ++s) {
            bits[static_cast<size_t>(s / 8)] |= static_cast<uint8_t>(0x80 >> (s % 8));
        }
        return true;
    });
    return walked && (current < 0 || EnterBlock(parent, static_cast<uint64_t>(current), bits));
}

// Why the parent cannot take the child's sectors, or nothing; reads its table.
std::string Unfit(Parent& parent, int64_t size)
{
    const DiskRecords& records = parent.disk.records;
    const std::string& name = parent.disk.path;
    if (parent.type == kDiskTypeFixed) {
        return parent.disk.size - kFooterSize < size ? name + " holds less data than its Current Size" : "";
    }
    parent.blocks = records.blocks;
    parent.tableOffset = static_cast<int64_t>(Swap64(records.header.tableOffset));
    const uint32_t entries = Swap32(records.header.maxTableEntries);
    if (uint64_t{entries} * parent.blocks.dataBytes < static_cast<uint64_t>(size)) {
        return name + "'s table does not cover its Current Size";
    }
    if (parent.tableOffset < 0 || parent.tableOffset > parent.disk.size ||
        uint64_t{4} * entries > static_cast<uint64_t>(parent.disk.size - parent.tableOffset)) {
        return name + " is cut short: its table lies past its end";
    }
    parent.table.resize(entries);
    if (ReadTable(parent.disk.file.get(), static_cast<uint64_t>(parent.tableOffset), parent.table.data(), entries) >
        0) {
        return "could not read the table of " + name + ": " + PlatformErrorText();
    }
    for (const uint32_t entry : parent.table) {
        if (!Unallocated(entry) && int64_t{entry} * kSector + parent.blocks.InFile() > parent.disk.size) {
            return name + " is cut short: its blocks lie past its end";
        }
    }
    parent.planned = parent.table;
    return {};
}

}  // namespace

void MergeChild(const std::string& child)
{
    FileHandle file(PlatformOpen(child, OpenMode::ReadExisting), PlatformClose);
    int64_t length = 0;
    if (!file || !PlatformSeekEnd(file.get(), &length)) {
        ReportCannotOpen(child, PlatformErrorText() + "; nothing to merge");
        return;
    }
    const SourceDisk disk = RecogniseSource(child, std::move(file), length, false);
    if (disk.records.type != kDiskTypeDifferencing) {
        ReportProblem(child + " is no differencing disk; nothing to merge");
        return;
    }
    if (disk.kind == DiskKind::None) {
        ReportProblem(disk.failure);  // a Block Size or a chain that conv2img refuses
        return;
    }
    if (!HasSourceHeader(disk)) {
        return;
    }
    Parent parent{disk.chain.parents.front()};
    parent.type = parent.disk.records.type;
    const auto size = static_cast<int64_t>(Swap64(disk.records.footer.currentSize));
    const auto parentSize = static_cast<int64_t>(Swap64(parent.disk.records.footer.currentSize));
    if (size != parentSize) {
        ReportProblem("the Current Size of " + child + ", " + std::to_string(size) + " bytes, differs from that of " +
                      parent.disk.path + ", " + std::to_string(parentSize) + " bytes");
        return;
    }
    VirtualDisk sectors = DiskOf(disk, true);
    const std::string unfit = Unfit(parent, size);
    if (RunFailed() || ReportCutShort(sectors) || !unfit.empty()) {
        if (!unfit.empty()) {
            ReportProblem(unfit);
        }
        return;
    }
    parent.file.reset(PlatformOpen(parent.disk.path, OpenMode::ReadWriteExisting));
    if (!parent.file) {
        ReportProblem("cannot open " + parent.disk.path + " for writing: " + PlatformErrorText());
        return;
    }
    ReportLine("parent=" + Shown(parent.disk.path));
    if ((parent.type == kDiskTypeFixed || Reserve(sectors, parent)) && CopySectors(sectors, parent) &&
        (parent.type == kDiskTypeFixed || EnterBlocks(sectors, parent))) {
        return;
    }
    ReportProblem(parent.failure + "; " + parent.disk.path +
                  " reads as before where the merge did not reach it, and merging again completes it");
}
