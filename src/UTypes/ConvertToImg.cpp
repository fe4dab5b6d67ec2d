// conv2img: the checks of the source, the old destination removed only
// once the source is one conv2img exports, and the export of a fixed disk.
// The source is recognised and read through DiskReader.h; the export of a
// dynamic or differencing disk is in ExportDynamic.cpp.
//
// The fixed export copies the source's data stretches inside the system
// (PlatformCopyRange) and leaves its holes as holes, so a sparse image
// converts in time proportional to its data. Its output and messages are
// those of the plain 64 KiB read and write loop: a large copy that fails
// is redone from the 64 KiB chunk where it stopped, with that chunk's test
// and message for that chunk.
#include <algorithm>

#include "DiskReader.h"
#include "ExportDynamic.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Report.h"
#include "Transfer.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

namespace {

constexpr int64_t kChunk = 65536;  // the copy loop's chunk

// One chunk of the 64 KiB loop, at its own place: its read, then its write.
// Gives the image length that the loop would have left when it ends here,
// or -1 when the loop goes on after this chunk.
int64_t CopyChunk(PlatformFile* source, const OutputFile& image, uint8_t* buffer, int64_t chunkStart, int64_t dataEnd)
{
    const auto length = static_cast<uint32_t>(std::min(kChunk, dataEnd - chunkStart));
    const int64_t got = PlatformReadAt(source, chunkStart, buffer, length);
    if (got < 0) {
        ReportFailure("readfile error:" + PlatformErrorText());
        return chunkStart;
    }
    if (got == 0) {
        // The loop's normal end, a read of nothing; here before the data end
        // because the source has become shorter meanwhile.
        ReportProblem("the source ended at byte " + std::to_string(chunkStart) + ", before its data end " +
                      std::to_string(dataEnd));
        return chunkStart;
    }
    const int64_t put = PlatformWriteAt(image.file.get(), chunkStart, buffer, static_cast<uint32_t>(got));
    if (put != got) {
        ReportFailure("writefile error:" + WriteErrorText(image));
        return chunkStart + std::max<int64_t>(put, 0);
    }
    if (got < length) {
        ReportProblem("the source ended at byte " + std::to_string(chunkStart + got) + ", before its data end " +
                      std::to_string(dataEnd));
        return chunkStart + got;
    }
    return -1;
}

// After a copy of source bytes [at, to) to the same place in the image
// that copied `copied` bytes: the 64 KiB loop takes over from the chunk
// where it stopped, and copies go on after that chunk. Gives -1 when all
// was copied, else the image length at which the export ends.
int64_t GoOnAfterCopy(PlatformFile* source, const OutputFile& image, uint8_t* buffer, int64_t at, int64_t to,
                      int64_t copied, int64_t dataEnd)
{
    while (copied != to - at) {
        const int64_t chunkStart = (at + std::max<int64_t>(copied, 0)) / kChunk * kChunk;
        const int64_t stop = CopyChunk(source, image, buffer, chunkStart, dataEnd);
        if (stop >= 0) {
            return stop;
        }
        at = std::min(chunkStart + kChunk, dataEnd);
        if (at >= to) {
            break;
        }
        copied = PlatformCopyRange(source, at, image.file.get(), at, to - at);
    }
    return -1;
}

void ExportFixed(const SourceDisk& disk, const std::string& destination)
{
    PlatformFile* source = disk.file.get();
    const int64_t dataEnd = disk.size - kFooterSize;
    ReportLine("disk_type=fixed");
    const OutputFile image = CreateOutputFile(destination, OpenMode::CreateNewWrite);
    const Memory buffer = ObtainMemory(kChunk, "obtaining the copy buffer");

    if (!image.file) {
        // The loop's first pass: its read, then a write that cannot succeed.
        if (dataEnd > 0) {
            CopyChunk(source, image, buffer.get(), 0, dataEnd);
        }
        return;
    }

    // The data stretches go in moves of 8 MiB that end on a chunk; a move
    // that falls short is taken over by the 64 KiB loop from the chunk
    // where it stopped, with that chunk's test and message.
    constexpr int64_t kMove = int64_t{8} << 20;
    const ProgressScope progress("conv2img", dataEnd);
    Transfer transfer(image.file.get(), true);
    int64_t stop = -1;
    auto give = [&](int64_t from, int64_t to) {
        TransferGive(transfer, {{source, from, from, to - from}}, [&, from, to](const MovesDone& result) {
            if (result.move == 0) {  // the move fell short
                stop = GoOnAfterCopy(source, image, buffer.get(), from, to, result.done, dataEnd);
            }
            return stop < 0;
        });
    };
    VirtualDisk data = DiskOf(disk);
    DiskCursor cursor;
    DiskPiece piece;
    std::vector<std::string> none;  // a flat disk has no bitmaps
    while (stop < 0 && NextPiece(data, cursor, piece, none)) {
        // Where the system cannot tell, all the rest is one piece: the copy
        // reads it, and a source that cannot be read says so there.
        const int64_t end = piece.at + piece.length;
        for (int64_t at = piece.at; at < end && stop < 0;) {
            const int64_t next = std::min(end, (at + kMove) / kMove * kMove);
            give(at, next);
            ProgressUpdate(next);
            at = next;
        }
    }
    TransferFinish(transfer);
    // When the copy ended early the image keeps what the 64 KiB loop had
    // written by then, holes before it read as the zeros it wrote.
    SetOutputLength(image, static_cast<uint64_t>(stop >= 0 ? stop : dataEnd));
}

}  // namespace

void ConvertToImg(const std::string& source, const std::string& destination)
{
    if (PlatformSameFile(source, destination)) {
        ReportFailure("destination is the source file");
        return;
    }

    const int64_t size = QueryFileSize(source);
    if (size % kSectorSize != 0) {
        ReportFailure("mod 512 <>0");
        if (size < 0) {
            ReportCannotOpen(source, PlatformErrorText());
        }
        return;
    }
    FileHandle file(PlatformOpen(source, OpenMode::ReadExisting), PlatformClose);
    if (!file) {
        // Nothing is read then, and nothing recognised.
        ReportCannotOpen(source, PlatformErrorText());
    }
    const SourceDisk disk = RecogniseSource(source, std::move(file), size, false);

    // A destination that is a disk of the chain is refused as the source is.
    if (IsParentDisk(disk, destination)) {
        ReportFailure("destination is the source file");
        return;
    }
    switch (disk.kind) {
    case DiskKind::None:
    case DiskKind::Raw:
    case DiskKind::Foreign:
        ReportFailure("file is not a vhd file and/or a fixed hard disk");
        if (!disk.failure.empty()) {
            ReportProblem(disk.failure);
        }
        return;
    case DiskKind::Dynamic:
    case DiskKind::Differencing:
        if (!HasSourceHeader(disk)) {
            return;
        }
        break;
    case DiskKind::Fixed: break;
    }

    // Every input is checked: only now does the old destination go.
    PlatformRemoveFile(destination);  // a regular file or a link only; the result is not looked at
    if (disk.kind == DiskKind::Fixed) {
        ExportFixed(disk, destination);
    } else {
        ExportDynamic(disk, destination);
    }
}
