// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TempDir {
public:
    TempDir()
    {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("dravik-test-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const std::string& path, int64_t position = 0, int64_t count = -1)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(position);
    if (count < 0) {
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string bytes(static_cast<size_t>(count), '\0');
    in.read(bytes.data(), count);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}
