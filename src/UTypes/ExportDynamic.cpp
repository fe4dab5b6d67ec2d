// conv2img: the raw export of a dynamic or differencing disk, read through
// DiskReader.h as conv2dyn reads it.
//
// The image is Current Size bytes: the pieces of the source's table entries
// in table order, each sector copied (present) or zero (absent), and zeros
// after the table's end. Every sector is written at its own place,
// whatever failed before it.
//
// Data moves in large pieces: each piece's runs in one task of the
// transfer (Transfer.h), whose copies leave pages of zeros as holes, as
// they leave absent sectors and unallocated blocks; the final length fills
// them. When a move fails or comes back short, the rest of the piece goes
// sector by sector, a read and a write per sector with the sector's own
// test and message, so standard output is exactly what the sector-by-sector
// walk prints.
#include "ExportDynamic.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "DiskReader.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"

namespace {

constexpr int64_t kSector = kSectorSize;

// Writes the sectors of a piece from run `run`, `done` bytes into it, on,
// each on its own, a read and a write, as the sector-by-sector walk does. A
// failed sector abandons the rest of its bitmap byte (eight sectors of the
// piece), whose sectors stay zero.
void WalkSectors(const OutputFile& image, const DiskPiece& piece, size_t run, int64_t done)
{
    int64_t skipTo = 0;  // the end of an abandoned bitmap byte
    auto abandon = [&](int64_t position) {
        skipTo = piece.at + ((position - piece.at) / (8 * kSector) + 1) * 8 * kSector;
    };
    for (; run < piece.runs.size(); ++run, done = 0) {
        const DataRun& r = piece.runs[run];
        for (int64_t at = r.at + done / kSector * kSector; at < r.at + r.length; at += kSector) {
            if (at < skipTo) {
                continue;
            }
            if (r.file == nullptr) {
                // A zero sector, left as a hole. The walk's empty read and its
                // write of nothing fail only where the image was never created.
                if (!image.file) {
                    ReportFailure("writefile error:" + WriteErrorText(image));
                    abandon(at);
                }
                continue;
            }
            const int64_t length = std::min(kSector, r.at + r.length - at);
            uint8_t sector[kSectorSize];
            const int64_t got = PlatformReadAt(r.file, r.from + at - r.at, sector, static_cast<uint32_t>(length));
            if (got < 0) {
                ReportFailure("readfile error:" + PlatformErrorText());
                abandon(at);
                continue;
            }
            std::memset(sector + got, 0, static_cast<size_t>(kSector - got));  // what it could not supply
            if (PlatformWriteAt(image.file.get(), at, sector, static_cast<uint32_t>(length)) != length) {
                ReportFailure("writefile error:" + WriteErrorText(image));
                abandon(at);
            }
        }
    }
}

// One piece of the image: its runs as one task of the transfer, the walk
// taking over from a run that falls short. An image that could not be
// created gets the walk itself, which says what fails sector by sector.
void ExportPiece(const OutputFile& image, Transfer& transfer, const DiskPiece& piece)
{
    if (!image.file) {
        WalkSectors(image, piece, 0, 0);
        return;
    }
    std::vector<Move> moves;
    std::vector<size_t> runOf;  // the run of each move
    for (size_t i = 0; i < piece.runs.size(); ++i) {
        const DataRun& run = piece.runs[i];
        if (run.file != nullptr) {
            moves.push_back({run.file, run.from, run.at, run.length});
            runOf.push_back(i);
        }
    }
    if (moves.empty()) {
        return;  // zeros: holes
    }
    auto shared = std::make_shared<const DiskPiece>(piece);
    TransferGive(transfer, std::move(moves), [&image, shared, runOf](const MovesDone& result) {
        if (result.move < runOf.size()) {
            WalkSectors(image, *shared, runOf[result.move], result.done);
        }
        return true;
    });
}

}  // namespace

void ExportDynamic(const SourceDisk& source, const std::string& destination)
{
    ReportLine(source.kind == DiskKind::Differencing ? "disk_type=differencing" : "disk_type=dynamic");
    VirtualDisk disk = DiskOf(source);
    const OutputFile image = CreateOutputFile(destination, OpenMode::CreateNewReadWrite);

    // Unallocated entries and blocks that lie beyond the end of the source
    // come out as zeros with no call at all. In a chain, the parents may
    // supply what the source does not.
    const ProgressScope progress("conv2img", disk.imageEnd);
    Transfer transfer(image.file.get(), true);
    DiskCursor cursor;
    DiskPiece piece;
    std::vector<std::string> problems;
    auto sayProblems = [&] {
        // After what the tasks before them print.
        TransferFinish(transfer);
        for (const std::string& problem : problems) {
            ReportProblem(problem);
        }
        problems.clear();
    };
    while (NextPiece(disk, cursor, piece, problems)) {
        if (!problems.empty()) {
            sayProblems();
        }
        if (piece.sourceBlock >= 0 && !PlatformSeek(source.file.get(), piece.sourceBlock)) {
            // The message for a block it cannot reach; the walk ends.
            const std::string why = PlatformErrorText();
            TransferFinish(transfer);
            ReportFailure("writefile error:" + why);
            SetOutputLength(image, static_cast<uint64_t>(piece.at));
            return;
        }
        ExportPiece(image, transfer, piece);
        ProgressUpdate(piece.at + piece.length);
    }
    sayProblems();
    SetOutputLength(image, Swap64(source.records.footer.currentSize));
    ReportCutShort(disk);
}
