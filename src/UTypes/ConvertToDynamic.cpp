// conv2dyn: the virtual disk of a raw image, or of a fixed, dynamic or
// differencing VHD (read through DiskReader.h as conv2img reads it), into a
// new dynamic VHD laid out by DynamicWriter.h.
//
// The blocks take the aligned layout: each block's 2 MiB of data on a 4 KiB
// boundary, with its bitmap (every bit set) in the sector just before and
// zeros between. They follow in block order, the footer right after the
// last one.
//
// Only blocks that hold a byte other than zero are written: holes of a
// sparse source and unallocated blocks are never read. Each block is one
// task of the transfer: a worker reads its data in pieces until it meets a
// byte other than zero, then takes the block's place, in block order, and
// writes the rest as it reads it; where the file system shares extents, it
// shares the source's data from there instead of reading it. The table is
// written on the command's thread as the blocks are placed.
//
// The header comes first, the table as its blocks are placed, the footers
// last. A failure removes the file.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "DiskReader.h"
#include "DynamicWriter.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdCommands.h"

namespace {

constexpr int64_t kBlock = kBlockSize;
constexpr int64_t kPage = 4096;                    // the page that ends with a block's bitmap
constexpr int64_t kPiece = int64_t{512} << 10;     // larger writes make the page cache take 2 MiB pages
constexpr int64_t kTableChunk = int64_t{1} << 16;  // table entries per write

// One block: the runs of its data, and where it was placed.
struct BlockTask {
    int64_t block = 0;
    uint64_t turn = 0;  // its place in the order of tasks
    std::vector<DataRun> runs;
    int64_t place = -1;  // its bitmap's position in the file; -1: all zeros
};

// The places of the blocks, taken in block order by the workers.
struct Places {
    std::mutex lock;
    std::condition_variable turned;
    uint64_t turn = 0;    // the task whose turn it is
    int64_t next = 0;     // where the next block placed goes
    int64_t last = -1;    // the last block placed
    std::string failure;  // the first; no block is placed or written after it
};

struct Job {
    const std::string& sourcePath;
    const VirtualDisk& disk;
    const OutputFile& out;
    const NewDynamicDisk& records;
    Places places{};
    uint64_t given = 0;             // tasks
    std::vector<uint32_t> table{};  // stored entries from tableFirst on
    int64_t tableFirst = 0;
};

std::string NameOf(const Job& job, PlatformFile* file)
{
    for (const Layer& layer : job.disk.layers) {
        if (layer.file == file) {
            return layer.name;
        }
    }
    return job.sourcePath;
}

bool Failed(Places& places)
{
    const std::lock_guard<std::mutex> hold(places.lock);
    return !places.failure.empty();
}

void Fail(Places& places, const std::string& failure)
{
    const std::lock_guard<std::mutex> hold(places.lock);
    if (places.failure.empty()) {
        places.failure = failure;
    }
}

// Ends a task's turn once the task is done with it, however it ends: a
// block of data takes the next place then, one of zeros none. Gives the
// place, or -1.
struct Turn {
    Places& places;
    const BlockTask& task;
    bool taken = false;

    Turn(Places& all, const BlockTask& mine) : places(all), task(mine) {}
    int64_t Take(bool data)
    {
        std::unique_lock<std::mutex> hold(places.lock);
        places.turned.wait(hold, [&] { return places.turn == task.turn; });
        taken = true;
        ++places.turn;
        places.turned.notify_all();
        uint32_t entry = 0;
        if (!data || !places.failure.empty()) {
            return -1;
        }
        if (!EntryFor(places.next, &entry)) {
            places.failure = "the disk holds more blocks than the table of a dynamic VHD can address";
            return -1;
        }
        places.last = places.next;
        places.next = NextBlockPlace(places.next, BlockLayout::Aligned);
        return places.last;
    }
    ~Turn()
    {
        if (!taken) {
            Take(false);
        }
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
};

// One write, of a piece, a table chunk or a record: at most kPiece bytes.
bool Write(Job& job, int64_t at, const uint8_t* bytes, int64_t length)
{
    if (PlatformWriteAt(job.out.file.get(), at, bytes, static_cast<uint32_t>(length)) != length) {
        Fail(job.places,
             "could not write " + job.out.path + " at byte " + std::to_string(at) + ": " + PlatformErrorText());
        return false;
    }
    return true;
}

// The page before a block's data: zeros, then the bitmap with every bit set.
const uint8_t* PageBefore()
{
    static const auto page = [] {
        std::vector<uint8_t> bytes(kPage, 0);
        std::fill(bytes.end() - kWrittenBlocks.bitmapBytes, bytes.end(), uint8_t{0xFF});
        return bytes;
    }();
    return page.data();
}

// Reads piece `piece` of the block (its bytes from there, kPiece of them
// or up to the last run) into `buffer`, zeros between its runs, from the
// run `first` on. Gives the bytes filled, 0 for a piece without a run, -1
// when a read failed.
int64_t ReadPiece(Job& job, const BlockTask& task, int64_t piece, size_t first, uint8_t* buffer)
{
    const int64_t start = task.block * kBlock + piece;
    int64_t filled = 0;
    for (size_t r = first; r < task.runs.size() && task.runs[r].at < start + kPiece; ++r) {
        const DataRun& run = task.runs[r];
        const int64_t from = std::max(run.at, start);
        const int64_t to = std::min(run.at + run.length, start + kPiece);
        std::memset(buffer + filled, 0, static_cast<size_t>(from - start - filled));
        const int64_t got =
            PlatformReadAt(run.file, run.from + from - run.at, buffer + from - start, static_cast<uint32_t>(to - from));
        if (got != to - from) {
            Fail(job.places, "could not read " + NameOf(job, run.file) + " at byte " +
                                 std::to_string(run.from + from - run.at + std::max<int64_t>(got, 0)) + ": " +
                                 (got < 0 ? PlatformErrorText() : "it ended there"));
            return -1;
        }
        filled = to - start;
    }
    return filled;
}

// Takes the block its place, in block order, and writes what lies before
// its data: zeros back to the page's start, then its bitmap.
bool PlaceBlock(Job& job, BlockTask& task, Turn& turn)
{
    task.place = turn.Take(true);
    if (task.place < 0) {
        return false;
    }
    const int64_t data = task.place + kWrittenBlocks.bitmapBytes;
    const int64_t pageStart = std::max(job.records.tableEnd, data - kPage);
    return Write(job, pageStart, PageBefore() + kPage - (data - pageStart), data - pageStart);
}

// Shares the block's runs from `from` (a position in the block) on, where
// the file system shares extents and each run's two positions are equally
// aligned to a page. Gives false when it does not.
bool ShareRest(Job& job, const BlockTask& task, int64_t from, bool& failed)
{
    PlatformFile* out = job.out.file.get();
    const int64_t start = task.block * kBlock;
    const int64_t data = task.place + kWrittenBlocks.bitmapBytes;
    for (const DataRun& run : task.runs) {
        if (!PlatformSharesExtents(run.file, out) || (run.from - (data + run.at - start)) % kPage != 0) {
            return false;
        }
    }
    for (const DataRun& run : task.runs) {
        const int64_t skip = std::clamp<int64_t>(start + from - run.at, 0, run.length);
        const int64_t length = run.length - skip;
        if (length > 0 &&
            PlatformCopyRange(run.file, run.from + skip, out, data + run.at - start + skip, length) != length) {
            Fail(job.places, "could not copy " + NameOf(job, run.file) + " at byte " + std::to_string(run.from + skip) +
                                 " into " + job.out.path + ": " + PlatformErrorText());
            failed = true;
            break;
        }
    }
    return true;
}

// On a worker: reads the block's data in pieces until a byte other than
// zero takes it a place; then writes that piece and every later one that
// holds a run, or shares the rest. Pieces without a run stay holes.
void CopyBlock(Job& job, BlockTask& task)
{
    thread_local std::vector<uint8_t> buffer;
    buffer.resize(static_cast<size_t>(kPiece));
    Turn turn{job.places, task};
    const int64_t start = task.block * kBlock;
    size_t first = 0;  // the first run that reaches into the piece
    for (int64_t piece = 0; piece < kBlock; piece += kPiece) {
        while (first < task.runs.size() && task.runs[first].at + task.runs[first].length <= start + piece) {
            ++first;
        }
        if (first == task.runs.size()) {
            break;
        }
        if (task.runs[first].at >= start + piece + kPiece) {
            continue;  // no run in it: zeros
        }
        const int64_t filled = ReadPiece(job, task, piece, first, buffer.data());
        if (filled < 0) {
            return;
        }
        if (task.place < 0) {
            bool failed = false;
            if (AllZero(buffer.data(), filled)) {
                continue;
            }
            if (!PlaceBlock(job, task, turn) || ShareRest(job, task, piece, failed) || failed) {
                return;
            }
        }
        if (!Write(job, task.place + kWrittenBlocks.bitmapBytes + piece, buffer.data(), filled)) {
            return;
        }
    }
}

// On the command's thread: writes the table's entries before `entry`,
// unallocated where no block was placed.
bool WriteTableUpTo(Job& job, int64_t entry)
{
    while (!Failed(job.places) && job.tableFirst + kTableChunk <= entry) {
        const auto count =
            static_cast<uint32_t>(std::min<int64_t>(kTableChunk, PaddedEntries(job.records) - job.tableFirst));
        if (WriteEntries(job.out.file.get(), kTableOffset, static_cast<uint64_t>(job.tableFirst), job.table.data(),
                         count) != 4 * int64_t{count}) {
            Fail(job.places, "could not write " + job.out.path + " at byte " +
                                 std::to_string(kTableOffset + 4 * job.tableFirst) + ": " + PlatformErrorText());
        }
        std::fill(job.table.begin(), job.table.end(), kUnallocatedEntry);
        job.tableFirst += kTableChunk;
    }
    return !Failed(job.places);
}

// Gives the task of a block to the transfer. The table is written in the
// task's `after`.
// REQUIRES: blocks are given in block order, so that the transfer, which
// hands tasks out and runs each `after` in the order given, places them in
// block order and writes the table chunk after chunk: a chunk is whole
// once the `after` of a block past it runs.
void GiveBlock(Job& job, Transfer& transfer, std::shared_ptr<BlockTask> task)
{
    task->turn = job.given++;
    TransferGiveWork(
        transfer,
        [&job, task] {
            CopyBlock(job, *task);
            return false;
        },
        [&job, task] {
            uint32_t entry = 0;
            if (task->place >= 0 && WriteTableUpTo(job, task->block) && EntryFor(task->place, &entry)) {
                job.table[static_cast<size_t>(task->block - job.tableFirst)] = entry;
            }
            return !Failed(job.places);
        });
}

// Reads the disk's runs up to `size`, a task for each block that has any;
// then writes the rest of the table and the two footers.
void WriteDisk(Job& job, VirtualDisk& disk, int64_t size)
{
    const ProgressScope progress("conv2dyn", size);
    Transfer transfer(job.out.file.get());
    DiskCursor cursor;
    DiskPiece piece;
    std::vector<std::string> problems;
    std::shared_ptr<BlockTask> task;
    bool more = true;
    while (more && !Failed(job.places) && NextPiece(disk, cursor, piece, problems)) {
        if (!problems.empty()) {
            Fail(job.places, problems.front());
            break;
        }
        for (DataRun run : piece.runs) {
            run.length = std::min(run.length, size - run.at);
            more = run.length > 0;
            while (run.file != nullptr && run.length > 0 && !Failed(job.places)) {
                const int64_t block = run.at / kBlock;
                if (task && task->block != block) {
                    GiveBlock(job, transfer, std::move(task));
                    ProgressUpdate(block * kBlock);
                }
                if (!task) {
                    task = std::make_shared<BlockTask>();
                    task->block = block;
                }
                const int64_t length = std::min(run.length, (block + 1) * kBlock - run.at);
                task->runs.push_back({run.at, length, run.file, run.from});
                run.at += length;
                run.from += length;
                run.length -= length;
            }
            if (!more) {
                break;
            }
        }
    }
    if (!problems.empty()) {
        Fail(job.places, problems.front());  // the bitmap of a block after the last with data
    }
    if (task && !Failed(job.places)) {
        GiveBlock(job, transfer, std::move(task));
    }
    TransferFinish(transfer);
    if (!WriteTableUpTo(job, PaddedEntries(job.records) + kTableChunk - 1)) {
        return;
    }
    const int64_t end = job.places.last >= 0 ? FooterPlace(job.places.last) : job.records.tableEnd;
    if (!WriteFooters(job.out.file.get(), job.records.footer, end)) {
        Fail(job.places, "could not write the footers of " + job.out.path + ": " + PlatformErrorText());
    }
}

const char* TypeLine(DiskKind kind)
{
    switch (kind) {
    case DiskKind::Fixed: return "disk_type=fixed";
    case DiskKind::Dynamic: return "disk_type=dynamic";
    case DiskKind::Differencing: return "disk_type=differencing";
    case DiskKind::Raw:
    case DiskKind::Foreign:
    case DiskKind::None: break;
    }
    return "disk_type=raw";
}

void RefuseExisting(const std::string& destination)
{
    ReportProblem(destination + " exists; conv2dyn writes a new file and never replaces one");
}

}  // namespace

void ConvertToDynamic(const std::string& source, const std::string& destination)
{
    if (PlatformSameFile(source, destination)) {
        ReportFailure("destination is the source file");
        RefuseExisting(destination);
        return;
    }
    FileHandle file(PlatformOpen(source, OpenMode::ReadExisting), PlatformClose);
    int64_t length = 0;
    if (!file || !PlatformSeekEnd(file.get(), &length)) {
        ReportCannotOpen(source, PlatformErrorText());
        return;
    }

    // A file that is no VHD, or not of whole sectors, is a raw image.
    const SourceDisk disk = RecogniseSource(source, std::move(file), length, true);
    if (IsParentDisk(disk, destination)) {
        ReportFailure("destination is the source file");
        RefuseExisting(destination);
        return;
    }
    if (PlatformFileSize(destination) >= 0) {
        RefuseExisting(destination);
        return;
    }
    if (disk.kind == DiskKind::None || disk.kind == DiskKind::Foreign) {
        if (disk.records.type != 0) {
            ReportFailure("file is not a vhd file and/or a fixed hard disk");
        }
        ReportProblem(disk.failure);
        return;
    }
    const bool layered = disk.kind == DiskKind::Dynamic || disk.kind == DiskKind::Differencing;
    if (layered && !HasSourceHeader(disk)) {
        return;
    }

    // A raw image is its bytes, up to a whole sector; a VHD its Current Size.
    const bool raw = disk.kind == DiskKind::Raw;
    const uint64_t claimed = raw ? (static_cast<uint64_t>(length) + kSectorSize - 1) / kSectorSize * kSectorSize
                                 : Swap64(disk.records.footer.currentSize);
    const auto size = static_cast<int64_t>(claimed);
    NewDynamicDisk records;
    if (size < 0 || !PlanDynamicDisk(size, 0, records)) {
        ReportProblem("the disk of " + source + " has " + std::to_string(claimed) +
                      " bytes, more than a dynamic VHD holds");
        return;
    }
    ReportLine(TypeLine(disk.kind));
    VirtualDisk contents = DiskOf(disk);
    if (RunFailed() || ReportCutShort(contents)) {
        return;  // a table that could not be read, or blocks that are not there; nothing is written
    }

    OutputFile out = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    if (!out.file) {
        return;
    }
    Job job{source, contents, out, records};
    job.places.next = FirstBlockPlace(records, BlockLayout::Aligned);
    job.table.assign(static_cast<size_t>(kTableChunk), kUnallocatedEntry);
    if (Write(job, kHeaderOffset, reinterpret_cast<const uint8_t*>(&records.header), sizeof records.header)) {
        WriteDisk(job, contents, size);
    }
    if (Failed(job.places)) {
        out.file.reset();
        PlatformRemoveFile(destination);
        ReportProblem(job.places.failure + "; " + destination + " was removed");
        return;
    }
    WarnIfBeyondPeers(size);
}
