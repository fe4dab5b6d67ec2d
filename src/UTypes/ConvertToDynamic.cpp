// conv2dyn: the virtual disk of a raw image, or of a fixed, dynamic or
// differencing VHD (read through DiskReader.h as conv2img reads it), into a
// new dynamic VHD laid out by DynamicWriter.h.
//
// Each block's 2 MiB of data starts on the first 4 KiB boundary after the
// table or the previous block's data, with its bitmap (every bit set) in
// the sector just before and zeros between: a guest's 4 KiB reads and
// writes then fall on 4 KiB pages of the file, and file systems that share
// extents can share the data. The blocks follow in block order, the footer
// right after the last one.
//
// Only blocks that hold a byte other than zero are written: holes of a
// sparse source and unallocated blocks are never read. Each block is one
// task of the transfer: a worker reads its data in pieces until it meets a
// byte other than zero, then takes the block's place, in block order, and
// writes the rest as it reads it; where the file system shares extents, it
// shares the source's data from there instead of reading it. The table is
// written on the command's thread as the blocks are placed.
//
// The header comes first, the table as its blocks are placed, then the
// blocks, the footer copy at 0 and the footer at the end last: a file cut
// short at any point has no footer, and no reader takes it for a whole
// disk. A failure removes the file.
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
constexpr int64_t kPage = 4096;                            // the page that ends with a block's bitmap
constexpr int64_t kPiece = int64_t{512} << 10;             // larger writes make the page cache take 2 MiB pages
constexpr int64_t kTableChunk = int64_t{1} << 16;          // table entries per write
constexpr uint64_t kSectorLimit = kFirstUnallocatedEntry;  // the first sector a table entry cannot name

// One block: the runs of its data, and where it was placed.
struct BlockTask {
    int64_t block = 0;
    uint64_t turn = 0;  // its place in the order of tasks
    std::vector<DataRun> runs;
    int64_t placedAt = -1;  // its data's position in the file; -1: all zeros
};

// The places of the blocks, taken in block order by the workers.
struct Places {
    std::mutex lock;
    std::condition_variable turned;
    uint64_t turn = 0;  // the task whose turn it is
    int64_t next = 0;   // where the next block placed starts its data
    uint64_t placed = 0;
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
            return &layer == &job.disk.layers[0] ? job.sourcePath : layer.name;
        }
    }
    return job.sourcePath;
}

// Each byte equal to the one after it, and the first zero: one pass of the
// C library's fastest compare, and it stops at the first other byte.
bool AllZero(const uint8_t* bytes, int64_t length)
{
    return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, static_cast<size_t>(length - 1)) == 0);
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
        if (!data || !places.failure.empty()) {
            return -1;
        }
        const int64_t at = places.next;
        if (static_cast<uint64_t>(at - kBitmapSize) / kSectorSize >= kSectorLimit) {
            places.failure = "the disk holds more blocks than the table of a dynamic VHD can address";
            return -1;
        }
        places.next += kBlock + kPage;
        ++places.placed;
        return at;
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
        std::fill(bytes.end() - kBitmapSize, bytes.end(), uint8_t{0xFF});
        return bytes;
    }();
    return page.data();
}

// Shares the block's runs from `from` (a position in the block) on, where
// the file system shares extents and each run's two positions are equally
// aligned to a page. Gives false when it does not.
bool ShareRest(Job& job, const BlockTask& task, int64_t at, int64_t from, bool& failed)
{
    PlatformFile* out = job.out.file.get();
    const int64_t start = task.block * kBlock;
    for (const DataRun& run : task.runs) {
        if (!PlatformSharesExtents(run.file, out) || (run.from - (at + run.at - start)) % kPage != 0) {
            return false;
        }
    }
    for (const DataRun& run : task.runs) {
        const int64_t skip = std::clamp<int64_t>(start + from - run.at, 0, run.length);
        const int64_t length = run.length - skip;
        if (length > 0 &&
            PlatformCopyRange(run.file, run.from + skip, out, at + run.at - start + skip, length) != length) {
            Fail(job.places, "could not copy " + NameOf(job, run.file) + " at byte " + std::to_string(run.from + skip) +
                                 " into " + job.out.path + ": " + PlatformErrorText());
            failed = true;
            break;
        }
    }
    return true;
}

// On a worker: reads the block's data in pieces, zeros between its runs,
// until a byte other than zero takes it a place; then writes that piece
// and every later one that holds a run. Pieces without a run stay holes.
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
        int64_t filled = 0;
        for (size_t r = first; r < task.runs.size() && task.runs[r].at < start + piece + kPiece; ++r) {
            const DataRun& run = task.runs[r];
            const int64_t from = std::max(run.at, start + piece);
            const int64_t to = std::min(run.at + run.length, start + piece + kPiece);
            const int64_t offset = from - start - piece;
            std::memset(buffer.data() + filled, 0, static_cast<size_t>(offset - filled));
            const int64_t got = PlatformReadAt(run.file, run.from + from - run.at, buffer.data() + offset,
                                               static_cast<uint32_t>(to - from));
            if (got != to - from) {
                Fail(job.places, "could not read " + NameOf(job, run.file) + " at byte " +
                                     std::to_string(run.from + from - run.at + std::max<int64_t>(got, 0)) + ": " +
                                     (got < 0 ? PlatformErrorText() : "it ended there"));
                return;
            }
            filled = to - start - piece;
        }
        if (task.placedAt < 0) {
            if (AllZero(buffer.data(), filled)) {
                continue;
            }
            task.placedAt = turn.Take(true);
            if (task.placedAt < 0) {
                return;
            }
            const int64_t pageStart = std::max(job.records.tableEnd, task.placedAt - kPage);
            if (!Write(job, pageStart, PageBefore() + kPage - (task.placedAt - pageStart), task.placedAt - pageStart)) {
                return;
            }
            bool failed = false;
            if (ShareRest(job, task, task.placedAt, piece, failed) || failed) {
                return;
            }
        }
        if (!Write(job, task.placedAt + piece, buffer.data(), filled)) {
            return;
        }
    }
}

// On the command's thread: writes the table's entries before `entry`,
// unallocated where no block was placed.
bool WriteTableUpTo(Job& job, int64_t entry)
{
    while (!Failed(job.places) && job.tableFirst + kTableChunk <= entry) {
        const int64_t count = std::min<int64_t>(kTableChunk, PaddedEntries(job.records) - job.tableFirst);
        Write(job, kTableOffset + 4 * job.tableFirst, reinterpret_cast<const uint8_t*>(job.table.data()), 4 * count);
        std::fill(job.table.begin(), job.table.end(), kUnallocatedEntry);
        job.tableFirst += kTableChunk;
    }
    return !Failed(job.places);
}

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
            if (task->placedAt >= 0 && WriteTableUpTo(job, task->block)) {
                job.table[static_cast<size_t>(task->block - job.tableFirst)] =
                    Swap32(static_cast<uint32_t>((task->placedAt - kBitmapSize) / kSectorSize));
            }
            return !Failed(job.places);
        });
}

// Reads the disk's runs up to `size`, a task for each block that has any;
// then writes the rest of the table and the two footers.
void WriteDisk(Job& job, int64_t size)
{
    const ProgressScope progress("conv2dyn", size);
    Transfer transfer(job.out.file.get());
    DiskCursor cursor;
    std::vector<DataRun> runs;
    std::vector<std::string> problems;
    std::shared_ptr<BlockTask> task;
    bool more = true;
    while (more && !Failed(job.places) && NextRuns(job.disk, cursor, runs, problems)) {
        if (!problems.empty()) {
            Fail(job.places, problems.front());
            break;
        }
        for (DataRun run : runs) {
            run.length = std::min(run.length, size - run.at);
            more = run.length > 0;
            while (run.length > 0 && !Failed(job.places)) {
                const int64_t block = run.at / kBlock;
                if (task && task->block != block) {
                    GiveBlock(job, transfer, std::move(task));
                    ProgressUpdate(block * kBlock);
                }
                if (!task) {
                    task = std::make_shared<BlockTask>();
                    task->block = block;
                }
                const int64_t piece = std::min(run.length, (block + 1) * kBlock - run.at);
                task->runs.push_back({run.at, piece, run.file, run.from});
                run.at += piece;
                run.from += piece;
                run.length -= piece;
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
    const int64_t end = job.places.placed > 0 ? job.places.next - kPage : job.records.tableEnd;
    const auto* footer = reinterpret_cast<const uint8_t*>(&job.records.footer);
    Write(job, 0, footer, kFooterSize) && Write(job, end, footer, kFooterSize);
}

const char* TypeLine(DiskKind kind)
{
    switch (kind) {
    case DiskKind::Fixed: return "disk_type=fixed";
    case DiskKind::Dynamic: return "disk_type=dynamic";
    case DiskKind::Differencing: return "disk_type=differencing";
    case DiskKind::Raw:
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
    SourceDisk disk;
    if (length % kSectorSize == 0) {
        disk = RecogniseSource(source, std::move(file), length);
    } else {
        disk.file = std::move(file);
        disk.size = length;
    }
    if (IsParentDisk(disk, destination)) {
        ReportFailure("destination is the source file");
        RefuseExisting(destination);
        return;
    }
    if (PlatformFileSize(destination) >= 0) {
        RefuseExisting(destination);
        return;
    }
    if (disk.kind == DiskKind::None && !disk.chain.failure.empty()) {
        ReportFailure("file is not a vhd file and/or a fixed hard disk");
        ReportProblem(disk.chain.failure);
        return;
    }
    if (disk.kind == DiskKind::None && !disk.readError.empty()) {
        // A VHD whose footer could not be read must not pass for a raw image.
        ReportProblem("could not read " + source + ": " + disk.readError);
        return;
    }
    disk.kind = disk.kind == DiskKind::None ? DiskKind::Raw : disk.kind;
    const bool layered = disk.kind == DiskKind::Dynamic || disk.kind == DiskKind::Differencing;
    if (layered && !HasSourceHeader(disk)) {
        return;
    }

    // A raw image is its bytes, up to a whole sector; a VHD its Current Size.
    const bool raw = disk.kind == DiskKind::Raw;
    const uint64_t claimed = raw ? (static_cast<uint64_t>(length) + kSectorSize - 1) / kSectorSize * kSectorSize
                                 : Swap64(disk.footer.currentSize);
    const auto size = static_cast<int64_t>(claimed);
    NewDynamicDisk records;
    if (size < 0 || !PlanDynamicDisk(size, 0, records)) {
        ReportProblem("the disk of " + source + " has " + std::to_string(claimed) +
                      " bytes, more than a dynamic VHD holds");
        return;
    }
    ReportLine(TypeLine(disk.kind));
    const VirtualDisk contents =
        layered ? LayeredDisk(disk) : FlatDisk(disk.file.get(), length, std::min(size, raw ? length : disk.dataEnd));
    if (RunFailed()) {
        return;  // a table that could not be read; nothing is written
    }

    OutputFile out = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    if (!out.file) {
        return;
    }
    Job job{source, contents, out, records};
    job.places.next = (records.tableEnd + kBitmapSize + kPage - 1) / kPage * kPage;
    job.table.assign(static_cast<size_t>(kTableChunk), kUnallocatedEntry);
    if (Write(job, kHeaderOffset, reinterpret_cast<const uint8_t*>(&records.header), sizeof records.header)) {
        WriteDisk(job, size);
    }
    if (Failed(job.places)) {
        out.file.reset();
        PlatformRemoveFile(destination);
        ReportProblem(job.places.failure + "; " + destination + " was removed");
        return;
    }
    WarnIfBeyondPeers(size);
}
