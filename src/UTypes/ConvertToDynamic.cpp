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
// sparse source and unallocated blocks are never read, and present data is
// read once, on the transfer's workers, to find the blocks of zeros. What
// follows each block runs on the command's thread in block order: it places
// the block and writes it from what was read, or, where the file system
// shares extents, shares the source's data instead.
//
// The header comes first, the table as its blocks are placed, then the
// blocks, the footer copy at 0 and the footer at the end last: a file cut
// short at any point has no footer, and no reader takes it for a whole
// disk. A failure removes the file.
#include <algorithm>
#include <cstring>
#include <memory>

#include "DiskReader.h"
#include "DynamicWriter.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdCommands.h"

namespace {

constexpr int64_t kBlock = kBlockSize;
constexpr int64_t kPage = 4096;                            // the page that ends with a block's bitmap
constexpr int64_t kPiece = int64_t{512} << 10;             // a write: larger ones make the page cache take 2 MiB pages
constexpr int64_t kTableChunk = int64_t{1} << 16;          // table entries per write
constexpr uint64_t kSectorLimit = kFirstUnallocatedEntry;  // the first sector a table entry cannot name

// One block on its way: the runs of its data, the buffer they are read into
// (the page before the data, then the data), and what the reading found.
struct BlockTask {
    int64_t block = 0;
    std::vector<DataRun> runs;
    Memory buffer{nullptr, PlatformFreer{0}};
    bool data = false;    // a byte other than zero
    std::string failure;  // why it could not be read
};

struct Job {
    const std::string& sourcePath;
    const VirtualDisk& disk;
    const OutputFile& out;
    const NewDynamicDisk& records;
    int64_t nextData;  // where the next block placed starts its data
    uint64_t placed = 0;
    std::vector<uint32_t> table{};  // stored entries from tableFirst on
    int64_t tableFirst = 0;
    std::vector<Memory> spare{};  // buffers given back
    std::string failure{};        // the first; nothing is written after it
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

bool AllZero(const uint8_t* bytes, int64_t length)
{
    int64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + i, sizeof word);
        if (word != 0) {
            return false;
        }
    }
    for (; i < length; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// On a worker: reads the block's runs into its buffer, zeros between them,
// and looks for a byte other than zero.
void ReadBlock(const Job& job, BlockTask& task)
{
    uint8_t* data = task.buffer.get() + kPage;
    const int64_t start = task.block * kBlock;
    int64_t filled = 0;
    for (const DataRun& run : task.runs) {
        const int64_t offset = run.at - start;
        std::memset(data + filled, 0, static_cast<size_t>(offset - filled));
        const int64_t got = PlatformReadAt(run.file, run.from, data + offset, static_cast<uint32_t>(run.length));
        if (got != run.length) {
            task.failure = "could not read " + NameOf(job, run.file) + " at byte " +
                           std::to_string(run.from + std::max<int64_t>(got, 0)) + ": " +
                           (got < 0 ? PlatformErrorText() : "it ended there");
            return;
        }
        task.data = task.data || !AllZero(data + offset, run.length);
        filled = offset + run.length;
    }
    std::memset(data + filled, 0, static_cast<size_t>(kBlock - filled));
}

bool Write(Job& job, int64_t at, const uint8_t* bytes, int64_t length)
{
    for (int64_t done = 0; done < length;) {
        const int64_t piece = std::min(kPiece, length - done);
        if (PlatformWriteAt(job.out.file.get(), at + done, bytes + done, static_cast<uint32_t>(piece)) != piece) {
            job.failure = "could not write " + job.out.path + " at byte " + std::to_string(at + done) + ": " +
                          PlatformErrorText();
            return false;
        }
        done += piece;
    }
    return true;
}

// Writes the table's entries up to `entry` (not included), unallocated
// where no block was placed.
bool WriteTableUpTo(Job& job, int64_t entry)
{
    while (job.failure.empty() && job.tableFirst + kTableChunk <= entry) {
        const int64_t count = std::min<int64_t>(kTableChunk, PaddedEntries(job.records) - job.tableFirst);
        Write(job, kTableOffset + 4 * job.tableFirst, reinterpret_cast<const uint8_t*>(job.table.data()), 4 * count);
        std::fill(job.table.begin(), job.table.end(), kUnallocatedEntry);
        job.tableFirst += kTableChunk;
    }
    return job.failure.empty();
}

// On the command's thread, in block order: places a block that holds data
// and writes it, with the page before it (zeros, then the bitmap).
bool PlaceBlock(Job& job, BlockTask& task)
{
    if (!task.failure.empty()) {
        job.failure = task.failure;
        return false;
    }
    if (!task.data) {
        return true;
    }
    const int64_t at = job.nextData;
    if (static_cast<uint64_t>(at - kBitmapSize) / kSectorSize >= kSectorLimit) {
        job.failure = job.out.path + " would hold more blocks than the table of a dynamic VHD can address";
        return false;
    }
    if (!WriteTableUpTo(job, task.block)) {
        return false;
    }
    job.table[static_cast<size_t>(task.block - job.tableFirst)] =
        Swap32(static_cast<uint32_t>((at - kBitmapSize) / kSectorSize));
    const int64_t pageStart = std::max(job.records.tableEnd, at - kPage);  // the first block's page may hold table
    const uint8_t* page = task.buffer.get() + kPage - (at - pageStart);
    PlatformFile* out = job.out.file.get();
    const bool share = std::all_of(task.runs.begin(), task.runs.end(), [&](const DataRun& run) {
        return PlatformSharesExtents(run.file, out) && (run.from - (at + run.at - task.block * kBlock)) % kPage == 0;
    });
    if (!share) {
        Write(job, pageStart, page, at + kBlock - pageStart);
    } else if (Write(job, pageStart, page, at - pageStart)) {
        for (const DataRun& run : task.runs) {
            const int64_t to = at + run.at - task.block * kBlock;
            if (PlatformCopyRange(run.file, run.from, out, to, run.length) != run.length) {
                job.failure = "could not copy " + NameOf(job, run.file) + " at byte " + std::to_string(run.from) +
                              " into " + job.out.path + ": " + PlatformErrorText();
                break;
            }
        }
    }
    job.nextData = at + kBlock + kPage;
    ++job.placed;
    return job.failure.empty();
}

void GiveBlock(Job& job, Transfer& transfer, std::shared_ptr<BlockTask> task)
{
    if (job.spare.empty()) {
        job.spare.push_back(ObtainMemory(kPage + kBlock, "converting to a dynamic disk"));
        std::memset(job.spare.back().get() + kPage - kBitmapSize, 0xFF, kBitmapSize);
    }
    task->buffer = std::move(job.spare.back());
    job.spare.pop_back();
    TransferGiveWork(
        transfer,
        [&job, task] {
            ReadBlock(job, *task);
            return !task->failure.empty();
        },
        [&job, task] {
            const bool goOn = PlaceBlock(job, *task);
            job.spare.push_back(std::move(task->buffer));
            return goOn;
        });
}

// Reads the disk's runs up to `size` and gives a task for each block that
// has any; then the rest of the table and the two footers.
void WriteDisk(Job& job, int64_t size)
{
    const ProgressScope progress("conv2dyn", size);
    Transfer transfer(job.out.file.get());
    DiskCursor cursor;
    std::vector<DataRun> runs;
    std::vector<std::string> problems;
    std::shared_ptr<BlockTask> task;
    bool more = true;
    while (more && job.failure.empty() && NextRuns(job.disk, cursor, runs, problems)) {
        if (!problems.empty()) {
            job.failure = problems.front();
            break;
        }
        for (DataRun run : runs) {
            run.length = std::min(run.length, size - run.at);
            more = run.length > 0;
            while (run.length > 0 && job.failure.empty()) {
                const int64_t block = run.at / kBlock;
                if (task && task->block != block) {
                    GiveBlock(job, transfer, std::move(task));
                    ProgressUpdate(std::min(size, block * kBlock));
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
    if (task && job.failure.empty()) {
        GiveBlock(job, transfer, std::move(task));
    }
    TransferFinish(transfer);
    if (!WriteTableUpTo(job, PaddedEntries(job.records) + kTableChunk - 1)) {
        return;
    }
    const int64_t end = job.placed > 0 ? job.nextData - kPage : job.records.tableEnd;
    const HardDiskFooter& footer = job.records.footer;
    Write(job, 0, reinterpret_cast<const uint8_t*>(&footer), sizeof footer) &&
        Write(job, end, reinterpret_cast<const uint8_t*>(&footer), sizeof footer);
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
    disk.kind = disk.kind == DiskKind::None ? DiskKind::Raw : disk.kind;
    DynamicDiskHeader header;
    const bool layered = disk.kind == DiskKind::Dynamic || disk.kind == DiskKind::Differencing;
    if (layered && !ReadSourceHeader(disk, header)) {
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
    const VirtualDisk contents = layered
                                     ? LayeredDisk(disk, header)
                                     : FlatDisk(disk.file.get(), length, std::min(size, raw ? length : disk.dataEnd));
    if (RunFailed()) {
        return;  // a table that could not be read; nothing is written
    }

    OutputFile out = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    if (!out.file) {
        return;
    }
    Job job{source, contents, out, records, (records.tableEnd + kBitmapSize + kPage - 1) / kPage * kPage};
    job.table.assign(static_cast<size_t>(kTableChunk), kUnallocatedEntry);
    if (Write(job, kHeaderOffset, reinterpret_cast<const uint8_t*>(&records.header), sizeof records.header)) {
        WriteDisk(job, size);
    }
    if (!job.failure.empty()) {
        out.file.reset();
        PlatformRemoveFile(destination);
        ReportProblem(job.failure + "; " + destination + " was removed");
        return;
    }
    WarnIfBeyondPeers(size);
}
