// Test files: a scratch folder, VHD images made from the format's rules (never with dravik's routines), a folder's
// description.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kBlock = 2 * kMiB;
constexpr uint32_t kFree = 0xFFFFFFFF;  // an unallocated table entry

struct Scratch {
    fs::path path = (fs::is_directory("/dev/shm")     ? fs::path("/dev/shm")
                     : fs::is_directory("Z:/dev/shm") ? fs::path("Z:/dev/shm")
                                                      : fs::temp_directory_path()) /
                    ("dravik-test-" + std::to_string(std::random_device()()));
    Scratch() { fs::create_directories(path); }
    ~Scratch() { fs::remove_all(path); }
    Scratch(const Scratch&) = delete;
};

// The current folder for a scope: Windows removes no folder in use.
struct InFolder {
    fs::path home = fs::current_path();
    explicit InFolder(const fs::path& folder) { fs::current_path(folder); }
    ~InFolder() { fs::current_path(home); }
    InFolder(const InFolder&) = delete;
};

inline std::string ReadFile(const fs::path& path, int64_t at = 0, int64_t count = -1)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const int64_t end = in ? int64_t(in.tellg()) : 0;
    std::string bytes(size_t(std::clamp<int64_t>(count < 0 ? end - at : count, 0, end - at)), '\0');
    in.seekg(at).read(bytes.data(), std::ssize(bytes));
    return bytes;
}

// Writes `bytes` at `at`, making the file (sparse up to there).
inline void Put(const fs::path& path, int64_t at, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::app).flush();
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
        .seekp(at)
        .write(bytes.data(), std::ssize(bytes));
}

inline std::string Be(uint64_t value, int width)
{
    std::string bytes(size_t(width), '\0');
    for (int i = width - 1; i >= 0; --i)
        bytes[size_t(i)] = char(value >> (8 * (width - 1 - i)));
    return bytes;
}

inline std::string Entries(std::initializer_list<uint32_t> entries)
{
    std::string bytes;
    for (const uint32_t entry : entries)
        bytes += Be(entry, 4);
    return bytes;
}

// Stores at `at` the one's complement of the byte sum taken with zeros there.
inline std::string& SetChecksum(std::string& record, size_t at)
{
    uint32_t sum = 0;
    for (const char c : record.replace(at, 4, 4, '\0'))
        sum += uint8_t(c);
    return record.replace(at, 4, Be(~sum, 4));
}

// A footer of 16 heads (as every disk under 31.5 GiB has), Unique Id zero.
inline std::string Footer(uint32_t diskType, int64_t size, int64_t dataOffset = -1, const char* cookie = "conectix")
{
    const auto bytes = uint64_t(size);
    std::string f = std::string(cookie, 8) + Be(2, 4) + Be(0x10000, 4) + Be(uint64_t(dataOffset), 8) + Be(0, 4) +
                    "hack" + Be(0x10000, 4) + "Wi2k" + Be(bytes, 8) + Be(bytes, 8) + Be(bytes / 512 / 16 / 63 + 1, 2) +
                    "\x10\x3F" + Be(diskType, 4) + std::string(448, '\0');
    return SetChecksum(f, 64);
}

inline std::string Header(uint32_t entries, int64_t tableOffset = 1536, uint32_t blockSize = kBlock)
{
    std::string h = "cxsparse" + Be(~uint64_t{0}, 8) + Be(uint64_t(tableOffset), 8) + Be(0x10000, 4) + Be(entries, 4) +
                    Be(blockSize, 4) + std::string(988, '\0');
    return SetChecksum(h, 36);
}

// Bytes never zero that differ from sector to sector and seed to seed.
inline const std::string& Pattern(int64_t size, int seed)
{
    static std::map<std::pair<int64_t, int>, std::string> made;
    std::string& data = made[{size, seed}];
    for (size_t i = data.size(); i < size_t(size); ++i)
        data += char((i * 7 + i / 512 * 13 + size_t(seed) * 31) % 251 + 1);
    return data;
}

// Data throughout up to 16 MiB, else in the first and last MiB only.
inline void Raw(const fs::path& path, int64_t size, int seed = 1)
{
    Put(path, 0, Pattern(size <= 16 * kMiB ? size : kMiB, seed));
    if (size > 16 * kMiB)
        Put(path, size - kMiB, Pattern(kMiB, seed + 1));
}

inline void Fixed(const fs::path& path, int64_t size)
{
    Raw(path, size);
    Put(path, size, Footer(2, size));
}

struct DynamicLayout {
    int64_t tableOffset = 1536;
    int64_t headerAt = 512;  // the footers' Data Offset
    uint32_t blockSize = kBlock;
    int64_t entries = -1;               // Max Table Entries; -1: one per whole block
    uint8_t bitmap = 0xFF;              // every bitmap byte of every block not in `bitmaps`
    std::vector<uint8_t> bitmaps = {};  // the k-th: every bitmap byte of the k-th block
    int64_t firstBlock = -1;            // -1: right after the table
    int64_t length = 0;                 // with the closing footer; 0: after the last block
};

// A dynamic disk: footer, header, table, blocks back to back (the k-th holds Pattern(bs, k + 1) for entry
// inFileOrder[k], or none for -1), footer. A block is a sector of bitmap per 2 MiB or part of it, then bs = Block Size
// bytes where that is a power of two from 512 bytes to 256 MiB; else a sector, then 2 MiB. Gives the file's length.
inline int64_t Dynamic(const fs::path& path, int64_t size, const std::vector<int>& inFileOrder,
                       const DynamicLayout& layout = {})
{
    const int64_t bs = layout.blockSize;
    const bool sound = bs >= 512 && bs <= 256 * kMiB && (bs & (bs - 1)) == 0;
    const int64_t block = sound ? bs : kBlock, bitmap = sound ? (bs + kBlock - 1) / kBlock * 512 : 512;
    const auto entries = uint32_t(layout.entries >= 0 ? layout.entries : size / block);
    std::string table(size_t((4 * int64_t{entries} + 511) / 512 * 512), '\xFF');
    int64_t at = layout.firstBlock >= 0 ? layout.firstBlock : layout.tableOffset + std::ssize(table);
    for (size_t k = 0; k < inFileOrder.size(); ++k) {
        if (inFileOrder[k] >= 0)
            table.replace(4 * size_t(inFileOrder[k]), 4, Be(uint64_t(at / 512), 4));
        const uint8_t bits = k < layout.bitmaps.size() ? layout.bitmaps[k] : layout.bitmap;
        Put(path, at, std::string(size_t(bitmap), char(bits)) + Pattern(block, int(k) + 1));
        at += bitmap + block;
    }
    const int64_t length = layout.length != 0 ? layout.length : at + 512;
    Put(path, 0, Footer(3, size, layout.headerAt));
    Put(path, layout.headerAt, Header(entries, layout.tableOffset, layout.blockSize));
    Put(path, layout.tableOffset, table);
    fs::resize_file(path, uintmax_t(length - 512));
    Put(path, length - 512, Footer(3, size, layout.headerAt));
    return length;
}

inline std::string Utf16(const std::u16string& text, bool bigEndian = false)
{
    std::string bytes;
    for (const char16_t c : text)
        bytes += bigEndian ? Be(c, 2) : std::string{char(c & 0xFF), char(c >> 8)};
    return bytes;
}

// Puts `bytes` at `at` in both footers of a disk.
inline void PatchFooters(const fs::path& path, size_t at, const std::string& bytes)
{
    const auto length = int64_t(fs::file_size(path));
    for (const int64_t footerAt : {int64_t{0}, length - 512}) {
        std::string footer = ReadFile(path, footerAt, 512);
        if (footer.starts_with("conectix"))
            Put(path, footerAt, SetChecksum(footer.replace(at, bytes.size(), bytes), 64));
    }
}

inline void SetUniqueId(const fs::path& path, char id)
{
    PatchFooters(path, 68, std::string(16, id));
}

// A differencing disk laid out as by Dynamic() in blocks of `blockSize`, over the disk of Unique Id 16 times `parent`,
// named by `name` and by `locators` {code, text}: W2ru and W2ku in UTF-16, MacX in ASCII, at the header's end.
using Locators = std::vector<std::pair<std::string, std::u16string>>;
inline void Differencing(const fs::path& path, int64_t size, const std::vector<int>& inFileOrder, uint8_t bitmap,
                         char parent, const std::u16string& name, const Locators& locators, uint32_t blockSize = kBlock)
{
    Dynamic(path, size, inFileOrder, {.blockSize = blockSize, .bitmap = bitmap});
    std::string header = ReadFile(path, 512, 1024).replace(40, 16, 16, parent);
    header.replace(64, 2 * name.size(), Utf16(name, true));
    size_t at = 768;
    for (size_t i = 0; i < locators.size(); ++i) {
        const auto& [code, text] = locators[i];
        const std::string data = code == "MacX" ? std::string(text.begin(), text.end()) : Utf16(text);
        header.replace(576 + 24 * i, 24, code + Be(data.size(), 4) + Be(data.size(), 4) + Be(0, 4) + Be(512 + at, 8));
        header.replace(at, data.size(), data);
        at += data.size();
    }
    Put(path, 512, SetChecksum(header, 36));
    PatchFooters(path, 60, Be(4, 4));
}

// "=LENGTH:DIGEST" of a file's bytes, past 16 MiB its first and last 8 MiB (cut here, unless `length` says they are),
// with a Unique Id of zeros in a sound footer at either end, as runs draw other ids.
inline std::string Described(std::string bytes, int64_t length = -1)
{
    if (length < 0 && (length = std::ssize(bytes)) > 16 * kMiB)
        bytes = bytes.substr(0, 8 * kMiB) + bytes.substr(size_t(length - 8 * kMiB));
    for (const size_t at : {size_t{0}, bytes.size() - std::min<size_t>(bytes.size(), 512)}) {
        std::string footer = bytes.substr(at, 512);
        if (footer.size() == 512 && footer.starts_with("conectix") && SetChecksum(footer, 64) == bytes.substr(at, 512))
            bytes.replace(at, 512, SetChecksum(footer.replace(68, 16, 16, '\0'), 64));
    }
    uint64_t digest = 14695981039346656037ull;  // FNV-1a, a word at a time
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
    for (size_t at = 0; at < bytes.size(); at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, 8);
        digest = (digest ^ word) * 1099511628211ull;
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", unsigned(digest ^ (digest >> 32)));
    return "=" + std::to_string(length) + ":" + hex;
}

// A folder's entries by name: "/" a folder, "@" a link, "?" neither nor a file, "=LENGTH:DIGEST" a file (Described).
using Folder = std::map<std::string, std::string>;
inline Folder DescribeFolder(const fs::path& folder)
{
    Folder entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const fs::file_status status = entry.symlink_status();
        const bool file = fs::is_regular_file(status);
        const auto length = int64_t(file ? entry.file_size() : 0);
        std::string bytes = !file ? ""
                            : length <= 16 * kMiB
                                ? ReadFile(entry.path())
                                : ReadFile(entry.path(), 0, 8 * kMiB) + ReadFile(entry.path(), length - 8 * kMiB);
        entries[entry.path().lexically_relative(folder).generic_string()] = file ? Described(std::move(bytes), length)
                                                                            : fs::is_symlink(status)   ? "@"
                                                                            : fs::is_directory(status) ? "/"
                                                                                                       : "?";
    }
    return entries;
}
