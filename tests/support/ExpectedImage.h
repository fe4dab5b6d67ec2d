// The image a VHD stands for, read by the VHD format's rules alone (never with dravik's routines): what conv2img is
// checked against. Plain and slow, for test files only. A parent: the disk in the same folder of the Parent Unique Id.
#pragma once

#include <stdexcept>

#include "TestFiles.h"

inline uint64_t Number(const std::string& bytes, size_t at, size_t width)
{
    uint64_t value = 0;
    for (size_t i = at; i < at + width; ++i)
        value = value << 8 | uint8_t(bytes[i]);
    return value;
}

// The last 512 bytes where they are the footer of a fixed, dynamic or differencing disk, else the first 512 where they
// are one of the latter two; else "".
inline std::string FooterOf(const fs::path& vhd)
{
    const auto length = int64_t(fs::file_size(vhd));
    for (const int64_t at : {length - 512, int64_t{0}}) {
        const std::string footer = at < 0 ? "" : ReadFile(vhd, at, 512);
        const uint64_t type = footer.size() == 512 && footer.starts_with("conectix") ? Number(footer, 60, 4) : 0;
        if (type <= 4 && type >= (at == length - 512 ? 2u : 3u))
            return footer;
    }
    return "";
}

inline std::string ExpectedImage(const fs::path& vhd, int depth = 0)
{
    const std::string footer = FooterOf(vhd);
    const uint64_t type = footer.empty() ? 0 : Number(footer, 60, 4), size = type ? Number(footer, 48, 8) : 0;
    if (type == 2)
        return ReadFile(vhd, 0, int64_t(fs::file_size(vhd)) - 512);
    const std::string header = type ? ReadFile(vhd, int64_t(Number(footer, 16, 8)), 1024) : "";
    const int64_t bs = header.size() == 1024 ? int64_t(Number(header, 32, 4)) : 0;
    if (!header.starts_with("cxsparse") || bs < 512 || bs > 256 * kMiB || (bs & (bs - 1)) != 0 || size > 256 * kMiB ||
        depth > 64)
        throw std::runtime_error("not a disk for the reference reader: " + vhd.string());
    std::string under;  // the parent's image
    bool found = type == 3;
    for (const auto& file : fs::directory_iterator(fs::absolute(vhd).parent_path())) {
        const auto end = int64_t(file.is_regular_file() ? file.file_size() : 0);
        const std::string last = type == 4 && end >= 512 ? ReadFile(file.path(), end - 512) : "";
        if (last.starts_with("conectix") && last.substr(68, 16) == header.substr(40, 16))
            under = ExpectedImage(file.path(), depth + 1), found = true;
    }
    if (!found)
        throw std::runtime_error("no parent of " + vhd.string());
    const int64_t table = int64_t(Number(header, 16, 8)), entries = int64_t(Number(header, 28, 4));
    const int64_t bitmapLength = (bs + kBlock - 1) / kBlock * 512;
    std::string image(size_t((int64_t(size) + bs - 1) / bs * bs), '\0');
    for (int64_t i = 0; i * bs < int64_t(size); ++i) {
        const std::string at = i < entries ? ReadFile(vhd, table + 4 * i, 4) : "";
        const int64_t entry = at.size() == 4 ? int64_t(Number(at, 0, 4)) : kFree;
        const std::string bitmap = entry < 0xFFFFFE00 ? ReadFile(vhd, entry * 512, bitmapLength) : "";
        const std::string data = bitmap.empty() ? "" : ReadFile(vhd, entry * 512 + bitmapLength, bs);
        for (int64_t s = 0; s < bs / 512; ++s) {
            const auto from = size_t(i * bs + s * 512);
            const bool set = size_t(s / 8) < bitmap.size() && (uint8_t(bitmap[size_t(s / 8)]) & (0x80 >> s % 8)) != 0;
            const std::string sector = set ? data.substr(std::min(data.size(), size_t(s * 512)), 512)
                                           : under.substr(std::min(under.size(), from), 512);
            image.replace(from, sector.size(), sector);
        }
    }
    image.resize(size_t(size));
    return image;
}
