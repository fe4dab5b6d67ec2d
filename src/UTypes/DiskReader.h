// The one reader of a virtual disk's contents. conv2img's raw export and
// conv2dyn both read their source through it: the same recognition, the
// same chain, the same answer for every sector.
//
// A source is recognised by its first and last 512 bytes: a fixed footer at
// the end makes a fixed disk; a dynamic or differencing footer at either end
// (the one at the end winning) a dynamic or differencing disk, whose header
// lies at the footer's Data Offset. Anything else is no VHD.
//
// The disk is read as layers: the source first, then the parents of its
// chain. Each sector comes from the first layer that holds it: a
// differencing disk holds the sectors its bitmaps mark present; a dynamic
// disk, the base of a chain, gives its present sectors and zeros elsewhere;
// a fixed disk or raw image gives its bytes, and zeros past its end.
//
// The image of a dynamic or differencing disk is the concatenation, in
// table order, of one piece per table entry: Block Size zero bytes for an
// unallocated entry, 4,096 sectors for an allocated one. What the reader
// gives is runs: stretches of the image whose bytes lie back to back in one
// file. Everything between runs reads as zeros.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "DiskChain.h"
#include "OutputFile.h"

enum class DiskKind { None, Raw, Fixed, Dynamic, Differencing };

struct SourceDisk {
    FileHandle file{nullptr, PlatformClose};
    int64_t size = 0;                // of the file
    DiskKind kind = DiskKind::None;  // None: no VHD, or a chain that cannot be read
    int64_t dataEnd = 0;             // a fixed disk's: where its footer starts
    uint64_t headerPosition = 0;     // a dynamic or differencing disk's: the winning footer's Data Offset
    HardDiskFooter footer{};         // the footer that decided the kind
    DynamicDiskHeader header{};      // a dynamic or differencing disk's, at headerPosition
    DiskChain chain;                 // a differencing disk's parents, or why they cannot be read
    std::string readError;           // why a record could not be read, when one could not
};

// Recognises the source at `path`, open as `file`, of `size` bytes (a
// whole number of sectors), and finds the chain of a differencing disk.
SourceDisk RecogniseSource(const std::string& path, FileHandle file, int64_t size);

// True when `path` names a parent of the source's chain, by any name or link.
bool IsParentDisk(const SourceDisk& source, const std::string& path);

// Whether a dynamic or differencing source has a dynamic disk header. Says
// on standard error when it has none.
bool HasSourceHeader(const SourceDisk& source);

// One disk the reader reads: the source, or a parent of its chain.
struct Layer {
    PlatformFile* file;
    int64_t size;          // of the file
    uint32_t type;         // kDiskTypeFixed for a raw image too
    std::string name;      // in messages
    int64_t dataEnd = 0;   // a fixed disk's or raw image's data: its first dataEnd bytes
    uint64_t present = 0;  // table entries read
    Memory table{nullptr, PlatformFreer{0}};
    uint64_t blocks = 0;  // blocks it may supply
};

struct VirtualDisk {
    std::vector<Layer> layers;  // the source first
    bool flat = false;          // a raw image or fixed disk: its bytes are the image
    uint32_t maxEntries = 0;    // the source header's
    uint32_t blockSize = 0;     // the source header's: an unallocated entry's piece
    uint64_t blocks = 0;        // table entries worth walking; only zeros come after them
};

// The disk of a raw image or a fixed disk: `dataEnd` bytes of `source`.
VirtualDisk FlatDisk(PlatformFile* source, int64_t size, int64_t dataEnd);

// The disk of a dynamic or differencing source, every layer's table read. A table that cannot be read whole is said on
// standard error, and its blocks that could not be read are unallocated.
VirtualDisk LayeredDisk(const SourceDisk& source);

// Table entry `block` of a layer; unallocated past the entries read.
uint32_t Entry(const Layer& layer, uint64_t block);

// An entry whose block's bitmap lies within the layer's file.
bool Readable(const Layer& layer, uint32_t entry);

// What each sector of one block of the image comes from: the index of the
// layer that holds it, with kBeyondEnd added when that layer ends before
// the sector (it reads as zeros), or kNothing (a hole); and where the
// block's data starts in each layer.
constexpr uint8_t kNothing = 0xFF;
constexpr uint8_t kBeyondEnd = 0x80;
static_assert(kLongestChain < kBeyondEnd);
struct BlockMap {
    std::array<uint8_t, kSectorsPerBlock> layer;
    std::array<int64_t, kLongestChain> data;
    bool any = false;  // a sector comes from somewhere
};

// Maps block `block` of a layered disk. A bitmap that cannot be read leaves
// its sectors to the layers under it, and `problems` says so.
void MapBlock(const VirtualDisk& disk, uint64_t block, BlockMap& map, std::vector<std::string>& problems);

// The end of the run of sectors that starts at `s` and come from one layer.
int RunEnd(const BlockMap& map, int s);

// A run: `length` bytes of the image from position `at` on, which are the
// bytes of `file` from `from` on.
struct DataRun {
    int64_t at;
    int64_t length;
    PlatformFile* file;
    int64_t from;
};

// The runs of a mapped block whose piece of the image starts at `at`, and
// the first sector of each.
void BlockRuns(const VirtualDisk& disk, const BlockMap& map, int64_t at, std::vector<DataRun>& runs,
               std::vector<int>& firstSectors);

// Where a walk over the disk's runs stands.
struct DiskCursor {
    uint64_t entry = 0;  // a layered disk's next table entry
    int64_t at = 0;      // the image position it stands at
};

// The next runs of the disk, in image order: the runs of the next table
// entry that holds data, or the next data stretch of a flat disk (holes of
// a sparse file are no run). Gives false when only zeros follow.
bool NextRuns(const VirtualDisk& disk, DiskCursor& cursor, std::vector<DataRun>& runs,
              std::vector<std::string>& problems);
