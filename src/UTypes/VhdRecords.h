// The VHD records, byte for byte, and every rule of the format the commands
// use: byte order, checksum, sizes and places, footer recognition, the
// builders of a new footer and dynamic disk header, and the one reader each
// of the footer, the dynamic disk header and the block allocation table.
//
// Every number in these records is big-endian. The records keep file byte
// order in memory; fields are converted where they are used
// (Swap32(footer.diskType) == 3) and written through the Swap routines into
// a zero-filled record, checksum last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PlatformFile;

// ---- byte order and checksum ----------------------------------------------

// Exchanges the two low-order bytes; the two high-order bytes stay.
constexpr uint32_t Swap16(uint32_t value)
{
    return (value & 0xFFFF0000u) | ((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu);
}

constexpr uint32_t Swap32(uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

constexpr uint64_t Swap64(uint64_t value)
{
    return (static_cast<uint64_t>(Swap32(static_cast<uint32_t>(value))) << 32) |
           Swap32(static_cast<uint32_t>(value >> 32));
}

// The one's complement of the 32-bit sum of all bytes of the range.
uint32_t VhdChecksum(const void* data, size_t length);

// The size of the file a path names, or -1 when there is none.
int64_t QueryFileSize(const std::string& path);

// A fixed-width text field (cookie, creator fields): its characters up to
// the first zero byte, at most the field's width.
std::string FieldText(const char* field, size_t width);

// ---- hard disk footer -------------------------------------------------------

constexpr uint32_t kDiskTypeFixed = 2;
constexpr uint32_t kDiskTypeDynamic = 3;
constexpr uint32_t kDiskTypeDifferencing = 4;  // laid out as a dynamic disk; absent sectors come from its parent
constexpr uint32_t kSectorSize = 512;          // disk data comes in sectors; sizes are checked against it
// The largest disk the format allows, 0xFF000000 sectors (2040 GiB):
// Hyper-V and qemu-img refuse larger VHDs.
constexpr int64_t kLargestDisk = int64_t{0xFF000000} * kSectorSize;

struct HardDiskFooter {
    char cookie[8];  // "conectix"
    uint32_t features;
    uint32_t fileFormatVersion;
    uint64_t dataOffset;  // position of the dynamic disk header, or all ones
    uint32_t timeStamp;
    char creatorApplication[4];
    uint32_t creatorVersion;
    char creatorHostOs[4];
    uint64_t originalSize;
    uint64_t currentSize;
    uint16_t cylinders;
    uint8_t heads;
    uint8_t sectorsPerTrack;
    uint32_t diskType;
    uint32_t checksum;
    uint8_t uniqueId[16];
    uint8_t savedState;
    uint8_t reserved[427];
};
constexpr int64_t kFooterSize = 512;  // at the end of every image, a copy at the start of a dynamic one
static_assert(sizeof(HardDiskFooter) == kFooterSize);
static_assert(offsetof(HardDiskFooter, features) == 8);
static_assert(offsetof(HardDiskFooter, fileFormatVersion) == 12);
static_assert(offsetof(HardDiskFooter, dataOffset) == 16);
static_assert(offsetof(HardDiskFooter, timeStamp) == 24);
static_assert(offsetof(HardDiskFooter, creatorApplication) == 28);
static_assert(offsetof(HardDiskFooter, creatorVersion) == 32);
static_assert(offsetof(HardDiskFooter, creatorHostOs) == 36);
static_assert(offsetof(HardDiskFooter, originalSize) == 40);
static_assert(offsetof(HardDiskFooter, currentSize) == 48);
static_assert(offsetof(HardDiskFooter, cylinders) == 56);
static_assert(offsetof(HardDiskFooter, heads) == 58);
static_assert(offsetof(HardDiskFooter, sectorsPerTrack) == 59);
static_assert(offsetof(HardDiskFooter, diskType) == 60);
static_assert(offsetof(HardDiskFooter, checksum) == 64);
static_assert(offsetof(HardDiskFooter, uniqueId) == 68);
static_assert(offsetof(HardDiskFooter, savedState) == 84);
static_assert(offsetof(HardDiskFooter, reserved) == 85);

// The disk geometry dravik stores for a disk of `size` bytes: 63 sectors
// per track, 16, 64, 128 or 255 heads by the sector count, and one
// cylinder more than the data needs, so that the geometry always covers
// the disk. From 65,535 x 255 x 63 sectors on no such geometry fits the
// 16-bit cylinder field, and the format's largest one is stored instead
// (65,535 cylinders, 16 heads, 255 sectors per track): readers that size a
// disk by its geometry take that one to mean "see Current Size".
struct DiskGeometry {
    uint32_t cylinders;
    uint32_t heads;
    uint32_t sectorsPerTrack;
};
DiskGeometry GeometryFor(int64_t size);
constexpr DiskGeometry kLargestGeometry = {65535, 16, 255};

// Fills all 512 bytes of a footer for a disk of `size` bytes: Disk Type
// `diskType`, Data Offset `dataOffset` (0 stands for a disk without a
// dynamic disk header and is stored as all ones), `geometry` or else
// GeometryFor(size), a fresh Unique Id, the Checksum last.
void BuildFooter(HardDiskFooter& footer, int32_t diskType, int64_t size, int64_t dataOffset,
                 const DiskGeometry* geometry = nullptr);

// The Disk Type of a block that is a footer dravik handles: 2 (fixed), 3
// (dynamic) or 4 (differencing) when the cookie is exactly "conectix" and
// the Disk Type is one of those; 0 for anything else. Nothing else is
// checked, not even the Checksum.
uint32_t RecogniseFooter(const HardDiskFooter& footer);

// The Checksum a footer should store: VhdChecksum of its 512 bytes, taken
// with the Checksum field zero. Likewise for the 1024 bytes of a dynamic
// disk header, below.
uint32_t FooterChecksum(const HardDiskFooter& footer);

// The size in bytes that readers who go by the disk geometry (qemu-img
// among them) give the disk: cylinders x heads x sectors per track
// sectors. They take Current Size instead, and this gives -1, for the
// creators whose disks they know to be sized so ("win ", "qem2", "d2v ",
// "CTXS", and "tap" with a zero byte) and for the largest geometry.
int64_t GeometrySize(const HardDiskFooter& footer);

// Reads a footer's 512 bytes at `position` into a zero-filled record: a
// read that delivers nothing (a failed open, a position before the start)
// leaves zeros, which no recognition accepts. Gives what the read gives.
int64_t ReadFooter(PlatformFile* file, int64_t position, HardDiskFooter& footer);

// ---- dynamic disk header and block allocation table ------------------------

constexpr int64_t kHeaderOffset = 512;  // where dravik puts the dynamic disk header, and info looks for it
constexpr int64_t kTableOffset = 1536;  // where dravik puts the table
// A table entry is a block's sector number, or kUnallocatedEntry: no block.
// Readers take every entry from kFirstUnallocatedEntry on for no block too,
// so that no entry a writer gives may reach it.
constexpr uint32_t kUnallocatedEntry = 0xFFFFFFFF;
constexpr uint32_t kFirstUnallocatedEntry = 0xFFFFFE00;

// The shape of a dynamic disk's blocks, from its Block Size: `dataBytes`
// of data, `sectors` of 512 bytes, after a sector bitmap of one bit per
// sector (the first sector's the most significant bit of byte 0) padded to
// whole sectors, `bitmapBytes`. Every reader places blocks by it alone.
struct BlockGeometry {
    uint32_t dataBytes = 0;
    uint32_t sectors = 0;
    uint32_t bitmapBytes = 0;
    constexpr int64_t InFile() const { return int64_t{bitmapBytes} + dataBytes; }  // a block as it lies in the file
};

// The geometry of a Block Size that dravik reads, a power of two from 512
// bytes to 256 MiB; false for any other.
bool BlockGeometryFor(uint32_t blockSize, BlockGeometry* geometry);

// The blocks dravik writes: 2 MiB of data after a bitmap of one sector.
constexpr uint32_t kBlockSize = 0x00200000;
constexpr BlockGeometry kWrittenBlocks = {kBlockSize, kBlockSize / kSectorSize, 512};

// Where a differencing disk's parent may be found: a path or URL of
// `dataLength` bytes at `dataOffset` in the file. Writers disagree on
// whether `dataSpace` counts bytes or sectors; dravik does not use it.
struct ParentLocator {
    char platformCode[4];  // "W2ru", "W2ku", "MacX", or another; zero: no entry
    uint32_t dataSpace;
    uint32_t dataLength;
    uint32_t reserved;
    uint64_t dataOffset;
};
static_assert(sizeof(ParentLocator) == 24);
static_assert(offsetof(ParentLocator, dataLength) == 8);
static_assert(offsetof(ParentLocator, dataOffset) == 16);

struct DynamicDiskHeader {
    char cookie[8];       // "cxsparse"
    uint64_t dataOffset;  // all ones
    uint64_t tableOffset;
    uint32_t headerVersion;
    uint32_t maxTableEntries;
    uint32_t blockSize;
    uint32_t checksum;
    // The parent of a differencing disk; zero in the others.
    uint8_t parentUniqueId[16];  // the parent footer's Unique Id
    uint32_t parentTimeStamp;    // seconds since 2000-01-01 UTC
    uint32_t reserved1;
    uint8_t parentUnicodeName[512];  // UTF-16 big-endian, ends at a zero unit
    ParentLocator parentLocators[8];
    uint8_t reserved2[256];
};
static_assert(sizeof(DynamicDiskHeader) == 1024);
static_assert(offsetof(DynamicDiskHeader, dataOffset) == 8);
static_assert(offsetof(DynamicDiskHeader, tableOffset) == 16);
static_assert(offsetof(DynamicDiskHeader, headerVersion) == 24);
static_assert(offsetof(DynamicDiskHeader, maxTableEntries) == 28);
static_assert(offsetof(DynamicDiskHeader, blockSize) == 32);
static_assert(offsetof(DynamicDiskHeader, checksum) == 36);
static_assert(offsetof(DynamicDiskHeader, parentUniqueId) == 40);
static_assert(offsetof(DynamicDiskHeader, parentTimeStamp) == 56);
static_assert(offsetof(DynamicDiskHeader, parentUnicodeName) == 64);
static_assert(offsetof(DynamicDiskHeader, parentLocators) == 576);
static_assert(offsetof(DynamicDiskHeader, reserved2) == 768);

// Fills all 1024 bytes of the header dravik writes: table at 1536,
// `maxTableEntries` entries of kWrittenBlocks, the Checksum last.
void BuildDynamicHeader(DynamicDiskHeader& header, uint32_t maxTableEntries);

// A parent locator as a differencing disk's header stores it: `space`
// bytes reserved (as Hyper-V and Virtual PC store it, in bytes, not
// sectors) at `offset`, of which the path takes `length`.
struct LocatorEntry {
    const char* code;  // "W2ku" or "W2ru"
    uint32_t space;
    uint32_t length;
    uint64_t offset;
};

// Makes a header name the parent whose footer is `parent`: its Unique Id
// and Time Stamp, its Unicode Name `name` (its last component where the
// whole is longer than the field's 256 units), and `locators`, each in the
// entry of its code, or else in the first free one; other entries stay.
// The Checksum last.
void SetParent(DynamicDiskHeader& header, const HardDiskFooter& parent, const std::string& name,
               const std::vector<LocatorEntry>& locators);

// UTF-8 text in UTF-16 units; a byte that starts no character becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);

// The table entries of a dynamic disk of `size` bytes as dravik writes it:
// enough 2 MiB blocks for Current Size and for all that GeometryFor(size)
// covers, since readers that size a disk by its geometry refuse a table
// shorter than that. Above UINT32_MAX no table can hold the disk.
uint64_t DynamicTableEntries(int64_t size);

// True when the header's cookie is exactly "cxsparse".
bool IsDynamicHeader(const DynamicDiskHeader& header);

uint32_t HeaderChecksum(const DynamicDiskHeader& header);

// Reads a dynamic disk header at `position` into a zero-filled record; what
// lies beyond the end of the file stays zero. Gives what the read gives.
int64_t ReadDynamicHeader(PlatformFile* file, int64_t position, DynamicDiskHeader& header);

// Reads `count` table entries at `tableOffset` into `table`, in host byte
// order, in large reads; a large read that fails or comes back short goes
// on entry by entry. An entry whose read fails reads as kUnallocatedEntry,
// and so does every entry from where the file ends. Gives the number of
// entries whose read failed.
uint64_t ReadTable(PlatformFile* file, uint64_t tableOffset, uint32_t* table, uint64_t count);

// The Parent Unicode Name of a differencing disk's header, in UTF-8.
std::string ParentName(const DynamicDiskHeader& header);

// The text a parent locator stores, in UTF-8: the path of a "W2ru"
// (relative) or "W2ku" (absolute) locator, stored in UTF-16 little-endian,
// or the file URL of a "MacX" locator, stored in UTF-8. Gives false, and
// no text, for other codes and for a locator whose data lies outside the
// file of `fileSize` bytes, is longer than 64 KiB or cannot be read.
bool ReadLocatorText(PlatformFile* file, int64_t fileSize, const ParentLocator& locator, std::string* text);

// Where block data may start after `tableBytes` bytes of table at
// `tableOffset`: their end, rounded up to a whole sector (with signed
// division truncating toward zero). Arithmetic wraps rather than
// overflows, so a hostile value gives a wrong number, never undefined
// behaviour.
int64_t FirstBlockOffset(int64_t tableOffset, uint64_t tableBytes);

// ---- recognition -------------------------------------------------------------

// Where a reader looks for a disk's footer: at the end of the file, where a
// parent's is always found; or also, where the end holds none, in the copy
// at the start that a dynamic or differencing disk has (never a fixed one).
enum class FooterAt { End, EndOrStart };

// What a file is by its records: the footer that readers take, and for a
// dynamic or differencing disk the header at the footer's Data Offset and
// the blocks its Block Size gives.
struct DiskRecords {
    uint32_t type = 0;           // of the footer taken, as RecogniseFooter gives it; 0: no VHD
    HardDiskFooter footer{};     // the footer taken: the trailing one, or the copy at the start
    HardDiskFooter trailing{};   // the last 512 bytes as read
    bool fromCopy = false;       // the footer taken is the copy at the start
    DynamicDiskHeader header{};  // a dynamic or differencing disk's
    bool hasHeader = false;      // the header's cookie is "cxsparse"
    bool blocksKnown = false;    // and its Block Size is one dravik reads:
    BlockGeometry blocks{};      // the geometry of its blocks
    std::string readError;       // why a footer could not be read, when one could not
    std::string headerError;     // likewise the header
};

// Recognises the file `file` of `size` bytes (nothing when it is null: no
// record reads, and zeros are no VHD).
DiskRecords RecogniseDisk(PlatformFile* file, int64_t size, FooterAt where);
