#include "VhdRecords.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Platform/Platform.h"

uint32_t VhdChecksum(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += bytes[i];
    }
    return ~sum;
}

int64_t QueryFileSize(const std::string& path)
{
    return PlatformFileSize(path);
}

std::string FieldText(const char* field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

DiskGeometry GeometryFor(int64_t size)
{
    const int64_t sectors = size / kSectorSize;
    if (sectors >= int64_t{65535} * 255 * 63) {
        return kLargestGeometry;
    }
    // Each threshold reached overrides the one before, so a count equal to
    // a threshold takes the higher value.
    uint32_t heads = 16;
    if (sectors >= 66059280) {  // 65,535 x 16 x 63
        heads = 64;
    }
    if (sectors >= 134215680) {  // 65,535 x 2,048
        heads = 128;
    }
    if (sectors >= 528474240) {  // 65,535 x 128 x 63
        heads = 255;
    }
    constexpr uint32_t kSectorsPerTrack = 63;
    // Truncating divisions: a negative size gives a cylinder count of at most 1.
    const int64_t cylinders = sectors / heads / kSectorsPerTrack + 1;
    return {static_cast<uint32_t>(cylinders) & 0xFFFFu, heads, kSectorsPerTrack};
}

void BuildFooter(HardDiskFooter& footer, int32_t diskType, int64_t size, int64_t dataOffset, const DiskGeometry* stored)
{
    if (dataOffset == 0) {
        dataOffset = -1;
    }
    std::memset(&footer, 0, sizeof footer);
    const DiskGeometry geometry = stored != nullptr ? *stored : GeometryFor(size);

    std::memcpy(footer.cookie, "conectix", 8);
    footer.features = Swap32(2);
    footer.fileFormatVersion = Swap32(0x00010000);
    footer.dataOffset = Swap64(static_cast<uint64_t>(dataOffset));
    footer.timeStamp = 0;
    std::memcpy(footer.creatorApplication, "hack", 4);
    footer.creatorVersion = Swap32(0x00010000);
    std::memcpy(footer.creatorHostOs, "Wi2k", 4);
    footer.originalSize = Swap64(static_cast<uint64_t>(size));
    footer.currentSize = Swap64(static_cast<uint64_t>(size));
    footer.cylinders = static_cast<uint16_t>(Swap16(geometry.cylinders));
    footer.heads = static_cast<uint8_t>(geometry.heads);
    footer.sectorsPerTrack = static_cast<uint8_t>(geometry.sectorsPerTrack);
    footer.diskType = Swap32(static_cast<uint32_t>(diskType));
    PlatformNewGuid(footer.uniqueId);
    footer.savedState = 0;
    footer.checksum = Swap32(FooterChecksum(footer));
}

uint32_t RecogniseFooter(const HardDiskFooter& footer)
{
    if (FieldText(footer.cookie, sizeof footer.cookie) != "conectix") {
        return 0;
    }
    const uint32_t diskType = Swap32(footer.diskType);
    return diskType == kDiskTypeFixed || diskType == kDiskTypeDynamic || diskType == kDiskTypeDifferencing ? diskType
                                                                                                           : 0;
}

void BuildDynamicHeader(DynamicDiskHeader& header, uint32_t maxTableEntries)
{
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.cookie, "cxsparse", 8);
    header.dataOffset = ~uint64_t{0};
    header.tableOffset = Swap64(static_cast<uint64_t>(kTableOffset));
    header.headerVersion = Swap32(0x00010000);
    header.maxTableEntries = Swap32(maxTableEntries);
    header.blockSize = Swap32(kBlockSize);
    header.checksum = Swap32(HeaderChecksum(header));
}

void SetParent(DynamicDiskHeader& header, const HardDiskFooter& parent, const std::string& name,
               const std::vector<LocatorEntry>& locators)
{
    std::memcpy(header.parentUniqueId, parent.uniqueId, sizeof header.parentUniqueId);
    header.parentTimeStamp = parent.timeStamp;  // both big-endian
    std::u16string units = Utf8ToUtf16(name);
    constexpr size_t kLongest = sizeof header.parentUnicodeName / 2;
    if (units.size() > kLongest) {
        const size_t separator = name.find_last_of("/\\");
        units = Utf8ToUtf16(separator == std::string::npos ? name : name.substr(separator + 1));
        units.resize(std::min(units.size(), kLongest));
    }
    std::memset(header.parentUnicodeName, 0, sizeof header.parentUnicodeName);
    for (size_t i = 0; i < units.size(); ++i) {
        header.parentUnicodeName[2 * i] = static_cast<uint8_t>(units[i] >> 8);
        header.parentUnicodeName[2 * i + 1] = static_cast<uint8_t>(units[i]);
    }
    for (const LocatorEntry& entry : locators) {
        ParentLocator* slot = nullptr;
        for (ParentLocator& locator : header.parentLocators) {
            const bool free = FieldText(locator.platformCode, sizeof locator.platformCode).empty();
            if (std::memcmp(locator.platformCode, entry.code, 4) == 0 || (slot == nullptr && free)) {
                slot = &locator;
            }
        }
        if (slot != nullptr) {
            std::memcpy(slot->platformCode, entry.code, sizeof slot->platformCode);
            slot->dataSpace = Swap32(entry.space);
            slot->dataLength = Swap32(entry.length);
            slot->reserved = 0;
            slot->dataOffset = Swap64(entry.offset);
        }
    }
    header.checksum = 0;
    header.checksum = Swap32(HeaderChecksum(header));
}

std::u16string Utf8ToUtf16(const std::string& text)
{
    std::u16string units;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
        uint32_t point = length == 1 ? lead : length == 0 ? 0 : lead & (0x7F >> length);
        size_t k = 1;
        for (; length > 1 && k < length && i + k < text.size() && (static_cast<uint8_t>(text[i + k]) >> 6) == 2; ++k) {
            point = point << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        }
        if (length == 0 || k != std::max<size_t>(length, 1)) {
            units += u'\uFFFD';
            i += std::max<size_t>(k, 1);
            continue;
        }
        if (point >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(point);
        }
        i += length;
    }
    return units;
}

uint64_t DynamicTableEntries(int64_t size)
{
    const DiskGeometry geometry = GeometryFor(size);
    const uint64_t covered = uint64_t{geometry.cylinders} * geometry.heads * geometry.sectorsPerTrack * kSectorSize;
    const uint64_t bytes = std::max<uint64_t>(covered, static_cast<uint64_t>(std::max<int64_t>(size, 0)));
    return (bytes + kBlockSize - 1) / kBlockSize;
}

uint32_t FooterChecksum(const HardDiskFooter& footer)
{
    HardDiskFooter copy = footer;
    copy.checksum = 0;
    return VhdChecksum(&copy, sizeof copy);
}

int64_t GeometrySize(const HardDiskFooter& footer)
{
    // Each literal's fourth byte is compared too: "tap"'s is its zero.
    for (const char* creator : {"win ", "qem2", "d2v ", "CTXS", "tap"}) {
        if (std::memcmp(footer.creatorApplication, creator, 4) == 0) {
            return -1;
        }
    }
    const uint32_t cylinders = Swap16(footer.cylinders);
    if (cylinders == kLargestGeometry.cylinders && footer.heads == kLargestGeometry.heads &&
        footer.sectorsPerTrack == kLargestGeometry.sectorsPerTrack) {
        return -1;
    }
    return int64_t{cylinders} * footer.heads * footer.sectorsPerTrack * kSectorSize;
}

int64_t ReadFooter(PlatformFile* file, int64_t position, HardDiskFooter& footer)
{
    std::memset(&footer, 0, sizeof footer);
    return PlatformReadAt(file, position, &footer, sizeof footer);
}

bool IsDynamicHeader(const DynamicDiskHeader& header)
{
    return FieldText(header.cookie, sizeof header.cookie) == "cxsparse";
}

uint32_t HeaderChecksum(const DynamicDiskHeader& header)
{
    DynamicDiskHeader copy = header;
    copy.checksum = 0;
    return VhdChecksum(&copy, sizeof copy);
}

bool BlockGeometryFor(uint32_t blockSize, BlockGeometry* geometry)
{
    constexpr uint32_t kLargest = uint32_t{256} << 20;
    if (blockSize < kSectorSize || blockSize > kLargest || (blockSize & (blockSize - 1)) != 0) {
        return false;
    }
    geometry->dataBytes = blockSize;
    geometry->sectors = blockSize / kSectorSize;
    // One bit per sector, in whole sectors: a sector of bitmap for every 2 MiB of data.
    constexpr uint32_t kSectorsPerBitmapSector = 8 * kSectorSize;
    geometry->bitmapBytes = (geometry->sectors + kSectorsPerBitmapSector - 1) / kSectorsPerBitmapSector * kSectorSize;
    return true;
}

int64_t ReadDynamicHeader(PlatformFile* file, int64_t position, DynamicDiskHeader& header)
{
    std::memset(&header, 0, sizeof header);
    return PlatformReadAt(file, position, &header, sizeof header);
}

uint64_t ReadTable(PlatformFile* file, uint64_t tableOffset, uint32_t* table, uint64_t count)
{
    constexpr uint64_t kEntriesPerRead = uint64_t{1} << 22;  // 16 MiB of table
    uint64_t failed = 0;
    for (uint64_t done = 0; done < count;) {
        const uint64_t want = std::min(count - done, kEntriesPerRead);
        const auto position = static_cast<int64_t>(tableOffset + done * 4);  // beyond 2^63 negative: the read fails
        const int64_t got = PlatformReadAt(file, position, table + done, static_cast<uint32_t>(want * 4));
        for (uint64_t i = got > 0 ? static_cast<uint64_t>(got) / 4 : 0; i < want; ++i) {
            const int64_t one = PlatformReadAt(file, position + static_cast<int64_t>(i * 4), table + done + i, 4);
            if (one == 0) {
                std::fill(table + done + i, table + count, kUnallocatedEntry);  // the file ends here
                done = count;
                break;
            }
            if (one != 4) {
                table[done + i] = kUnallocatedEntry;
                ++failed;
            }
        }
        done = std::min(count, done + want);
    }
    for (uint64_t i = 0; i < count; ++i) {
        table[i] = Swap32(table[i]);
    }
    return failed;
}

namespace {

void AppendUtf8(std::string& text, uint32_t point)
{
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// UTF-16 text of `length` bytes, up to its first zero unit, in UTF-8. A
// surrogate without its pair becomes U+FFFD.
std::string Utf16ToUtf8(const uint8_t* bytes, size_t length, bool bigEndian)
{
    std::string text;
    const size_t units = length / 2;
    auto unit = [&](size_t i) {
        const uint32_t first = bytes[2 * i];
        const uint32_t second = bytes[2 * i + 1];
        return bigEndian ? (first << 8) | second : (second << 8) | first;
    };
    for (size_t i = 0; i < units && unit(i) != 0; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            AppendUtf8(text, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else {
            AppendUtf8(text, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
        }
    }
    return text;
}

}  // namespace

std::string ParentName(const DynamicDiskHeader& header)
{
    return Utf16ToUtf8(header.parentUnicodeName, sizeof header.parentUnicodeName, true);
}

bool ReadLocatorText(PlatformFile* file, int64_t fileSize, const ParentLocator& locator, std::string* text)
{
    constexpr uint32_t kLongestLocator = 64 << 10;
    const std::string code = FieldText(locator.platformCode, sizeof locator.platformCode);
    const uint32_t length = Swap32(locator.dataLength);
    const uint64_t offset = Swap64(locator.dataOffset);
    if ((code != "W2ru" && code != "W2ku" && code != "MacX") || length > kLongestLocator ||
        offset > static_cast<uint64_t>(std::max<int64_t>(fileSize, 0)) ||
        length > static_cast<uint64_t>(fileSize) - offset) {
        return false;
    }
    std::vector<uint8_t> data(length);
    if (PlatformReadAt(file, static_cast<int64_t>(offset), data.data(), length) != length) {
        return false;
    }
    if (code == "MacX") {
        *text = std::string(data.begin(), std::find(data.begin(), data.end(), 0));
    } else {
        *text = Utf16ToUtf8(data.data(), data.size(), false);
    }
    return true;
}

int64_t FirstBlockOffset(int64_t tableOffset, uint64_t tableBytes)
{
    const auto end = static_cast<int64_t>(static_cast<uint64_t>(tableOffset) + tableBytes);
    if (end % kSectorSize == 0) {
        return end;
    }
    return static_cast<int64_t>(static_cast<uint64_t>(end / kSectorSize + 1) * kSectorSize);
}

DiskRecords RecogniseDisk(PlatformFile* file, int64_t size, FooterAt where)
{
    DiskRecords disk;
    auto read = [&](int64_t position, HardDiskFooter& footer) {
        if (ReadFooter(file, position, footer) < 0 && position >= 0 && disk.readError.empty()) {
            disk.readError = PlatformErrorText();
        }
        return RecogniseFooter(footer);
    };
    disk.type = read(size - kFooterSize, disk.trailing);
    disk.footer = disk.trailing;
    if (disk.type == 0 && where == FooterAt::EndOrStart) {
        HardDiskFooter copy;
        const uint32_t type = read(0, copy);
        if (type == kDiskTypeDynamic || type == kDiskTypeDifferencing) {
            disk.type = type;
            disk.footer = copy;
            disk.fromCopy = true;
        }
    }
    if (disk.type == kDiskTypeDynamic || disk.type == kDiskTypeDifferencing) {
        // Beyond 2^63 the position is negative, and the read fails.
        const auto at = static_cast<int64_t>(Swap64(disk.footer.dataOffset));
        if (ReadDynamicHeader(file, at, disk.header) < 0 && at >= 0 && at < size) {
            disk.headerError = PlatformErrorText();
        }
        disk.hasHeader = IsDynamicHeader(disk.header);
        disk.blocksKnown = disk.hasHeader && BlockGeometryFor(Swap32(disk.header.blockSize), &disk.blocks);
    }
    return disk;
}
