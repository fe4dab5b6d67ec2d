// The one reader of a virtual disk's contents. conv2img's raw export and
// conv2dyn both read their source through it: the same recognition, the
// same chain, the same walk over the same table, the same answer for every
// sector.
//
// A source is recognised by its records (RecogniseDisk, VhdRecords.h):
// the footer at its end, or the copy at its start of a dynamic or
// differencing disk. A raw image is a file that is no VHD, where the
// command takes one.
//
// A dynamic or differencing disk is read as layers: the source first, then
// the parents of its chain. Each sector comes from the first layer that
// holds it: a differencing disk holds the sectors its bitmaps mark present;
// a dynamic disk, the base of a chain, gives its present sectors and zeros
// elsewhere; a fixed disk gives its bytes, and zeros past its end. Each
// layer places sectors by its own Block Size.
//
// The image of a dynamic or differencing disk is Current Size bytes: one
// piece per table entry of the source, in table order, each Block Size
// bytes of the disk, and zeros after the table's end. The image of a raw
// image or a fixed disk is its data. What the reader gives is runs:
// stretches of the image whose bytes lie back to back in one file.
// Everything between runs reads as zeros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DiskChain.h"
#include "OutputFile.h"

enum class DiskKind { None, Raw, Foreign, Fixed, Dynamic, Differencing };

struct SourceDisk {
    FileHandle file{nullptr, PlatformClose};
    std::string path;
    int64_t size = 0;                // of the file
    DiskKind kind = DiskKind::None;  // None: no VHD, or one dravik cannot read, as `failure` says
    DiskRecords records;             // its footer and, for a dynamic or differencing disk, header and blocks
    DiskChain chain;                 // a differencing disk's parents
    std::string failure;             // why it cannot be read: a Block Size, a chain, another format
};

// Recognises the source at `path`, open as `file`, of `size` bytes, and
// finds the chain of a differencing disk. A VHD has whole sectors. With
// `rawImages`, any other file is a raw image, unless it begins with the
// signature of another disk-image format (Foreign).
SourceDisk RecogniseSource(const std::string& path, FileHandle file, int64_t size, bool rawImages);

// The format whose signature a file begins with ("VHDX", "qcow2", ...), or
// nothing. The text of a Foreign source's failure names it.
std::string ForeignFormat(PlatformFile* file);

// True when `path` names a parent of the source's chain, by any name or link.
bool IsParentDisk(const SourceDisk& source, const std::string& path);

// Whether a dynamic or differencing source has a dynamic disk header. Says
// on standard error when it has none.
bool HasSourceHeader(const SourceDisk& source);

// One disk the reader reads: the source, or a parent of its chain.
struct Layer {
    PlatformFile* file;
    int64_t size;           // of the file
    uint32_t type;          // kDiskTypeFixed for a raw image too
    std::string name;       // its path, in messages
    bool isSource = false;  // the disk named, not a parent
    int64_t dataEnd = 0;    // a fixed disk's or raw image's data: its first dataEnd bytes
    BlockGeometry blocks{};
    uint64_t present = 0;  // table entries read: those that lie in the file
    Memory table{nullptr, PlatformFreer{0}};
    uint64_t cutShort = 0;          // table entries whose entry or block lies past the end of the file
    int64_t bitmapOf = -1;          // the block whose bitmap `bitmap` holds
    std::vector<uint8_t> bitmap{};  // the last one read
};

struct VirtualDisk {
    std::vector<Layer> layers;  // the source first
    bool flat = false;          // a raw image or fixed disk: its bytes are the image
    int64_t imageEnd = 0;       // the image's length
    uint64_t entries = 0;       // source table entries worth walking; only zeros come after them
};

// The disk a recognised source holds: the bytes of a raw image or the data
// area of a fixed disk, or the layers of a dynamic or differencing disk,
// every layer's table read, up to Current Size. A table that cannot be read
// whole is said on standard error, and its blocks that could not be read
// are unallocated. With `ownSectors`, a differencing disk gives only the
// sectors it holds itself: its runs are its bitmaps' present sectors.
// REQUIRES: a dynamic or differencing source has a header and a Block Size
// dravik reads.
VirtualDisk DiskOf(const SourceDisk& source, bool ownSectors = false);

// Says on standard error, for each disk of the chain whose blocks or table
// lie past the end of its file, that it is cut short. Gives true when one is.
bool ReportCutShort(const VirtualDisk& disk);

// A run: `length` bytes of the image from position `at` on, which are the
// bytes of `file` from `from` on; or, where `file` is null, sectors a disk
// holds past the end of its file, which read as zeros.
struct DataRun {
    int64_t at;
    int64_t length;
    PlatformFile* file;
    int64_t from;
};

// A piece of the image: a table entry's of a dynamic or differencing disk,
// or a data stretch of a flat one, and its runs in image order.
struct DiskPiece {
    int64_t at = 0;
    int64_t length = 0;
    int64_t sourceBlock = -1;  // where the source's own block lies in its file; -1: none
    std::vector<DataRun> runs;
};

// Where a walk over the disk's pieces stands.
struct DiskCursor {
    uint64_t entry = 0;  // a layered disk's next table entry
    int64_t at = 0;      // a flat disk's next position
};

// The next piece of the disk that has runs, or a block of the source's own:
// the next table entry's of a layered disk, the next data stretch of a flat
// one (holes of a sparse file are no piece). Gives false when only zeros
// follow. A bitmap that cannot be read leaves its sectors to the layers
// under it, and `problems` says so.
bool NextPiece(VirtualDisk& disk, DiskCursor& cursor, DiskPiece& piece, std::vector<std::string>& problems);
