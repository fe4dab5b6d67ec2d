// The VHD records, byte for byte, and the small routines every command
// uses on them: byte order, checksum, file size, footer recognition and the
// builders of a new footer and a new dynamic disk header.
//
// Every number in these records is big-endian. The records keep file byte
// order in memory; fields are converted where they are used
// (Swap32(footer.diskType) == 3) and written through the Swap routines into
// a zero-filled record, checksum last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
constexpr uint32_t kSectorSize = 512;

struct HardDiskFooter {
    char cookie[8];              // "conectix"
    uint32_t features;
    uint32_t fileFormatVersion;
    uint64_t dataOffset;         // position of the dynamic disk header, or all ones
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
static_assert(sizeof(HardDiskFooter) == 512);
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

// Fills all 512 bytes of a footer for a disk of `size` bytes: Disk Type
// `diskType`, Data Offset `dataOffset` (0 stands for a disk without a
// dynamic disk header and is stored as all ones), the geometry derived
// from the size, a fresh Unique Id, the Checksum last.
void BuildFooter(HardDiskFooter& footer, int32_t diskType, int64_t size, int64_t dataOffset);

// The Disk Type of a block that is a footer dravik handles: 2 (fixed) or 3
// (dynamic) when the cookie is exactly "conectix" and the Disk Type is one
// of those; 0 for anything else. Nothing else is checked, not even the
// Checksum.
uint32_t RecogniseFooter(const HardDiskFooter& footer);

// ---- dynamic disk header and block allocation table ------------------------

constexpr uint32_t kBlockSize = 0x00200000;       // 2 MiB of data per block
constexpr uint32_t kSectorsPerBlock = kBlockSize / kSectorSize;
constexpr uint32_t kBitmapSize = 512;             // one bit per data sector
constexpr int64_t kTableOffset = 1536;            // where dravik puts the table
constexpr uint32_t kUnallocatedEntry = 0xFFFFFFFF;

struct DynamicDiskHeader {
    char cookie[8];              // "cxsparse"
    uint64_t dataOffset;         // all ones
    uint64_t tableOffset;
    uint32_t headerVersion;
    uint32_t maxTableEntries;
    uint32_t blockSize;
    uint32_t checksum;
    uint8_t parentAndReserved[984];  // parent fields and reserved bytes, zero
};
static_assert(sizeof(DynamicDiskHeader) == 1024);
static_assert(offsetof(DynamicDiskHeader, dataOffset) == 8);
static_assert(offsetof(DynamicDiskHeader, tableOffset) == 16);
static_assert(offsetof(DynamicDiskHeader, headerVersion) == 24);
static_assert(offsetof(DynamicDiskHeader, maxTableEntries) == 28);
static_assert(offsetof(DynamicDiskHeader, blockSize) == 32);
static_assert(offsetof(DynamicDiskHeader, checksum) == 36);
static_assert(offsetof(DynamicDiskHeader, parentAndReserved) == 40);

// Fills all 1024 bytes of the header dravik writes: table at 1536,
// `maxTableEntries` entries of 2 MiB blocks, the Checksum last.
void BuildDynamicHeader(DynamicDiskHeader& header, uint32_t maxTableEntries);

// True when the header's cookie is exactly "cxsparse".
bool IsDynamicHeader(const DynamicDiskHeader& header);

// Where block data may start: tableOffset + 4 x entries, rounded up to the
// next multiple of 512 (unchanged when it is one already).
int64_t FirstBlockOffset(int64_t tableOffset, uint32_t entries);

// A position rounded up to the next multiple of 512, with signed division
// truncating toward zero; arithmetic wraps rather than overflows, so a
// hostile value gives a wrong number, never undefined behaviour.
int64_t RoundUpToSector(int64_t position);

// ---- sector bitmap ------------------------------------------------------------

// The binary digits of |value| (32-bit two's complement; -2,147,483,648
// keeps its pattern), most significant first, without leading zeros: 5
// gives "101", 255 "11111111". 0 gives 32 zeros, not one. The raw export
// walks a sector bitmap byte through it, padded in front to 8 digits.
std::string IntToBinStr(int32_t value);
