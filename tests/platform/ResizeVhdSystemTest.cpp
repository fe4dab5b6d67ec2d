// resize on real files, through the real platform layer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "InProcess.h"
#include "TempDir.h"
#include "VhdTestImages.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = 1 << 20;

PutAt FileWriter(const std::string& path)
{
    std::ofstream(path, std::ios::binary | std::ios::app).flush();
    return [path](int64_t position, const std::string& bytes) {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(position);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
}

VirtualReader FileDisk(const std::string& path)
{
    return VirtualReader([path](int64_t position, int64_t count) { return ReadBytes(path, position, count); },
                         static_cast<int64_t>(fs::file_size(path)));
}

HardDiskFooter FooterAt(const std::string& path, int64_t position)
{
    HardDiskFooter footer{};
    const std::string bytes = ReadBytes(path, position, 512);
    std::memcpy(&footer, bytes.data(), std::min<size_t>(bytes.size(), sizeof footer));
    return footer;
}

TEST(ResizeVhdSystem, GrowsASparseFixedDiskPast4GiBInPlace)
{
    TempDir dir;
    const std::string path = dir / "fixed.vhd";
    WriteBytes(path, "first sector");
    fs::resize_file(path, 10 * kMiB);
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeFixed, 10 * kMiB, 0);
    FileWriter(path)(10 * kMiB, Bytes(footer));

    const RunResult run = RunInProcess({"resize", path, "4096"});
    EXPECT_EQ(run.out, Lines({"resizing vhd file to 4096", "filesize=10486272", "done"}));
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(fs::file_size(path), (uint64_t{1} << 32) + 512);
    EXPECT_EQ(ReadBytes(path, 0, 12), "first sector");
    EXPECT_EQ(ReadBytes(path, 10 * kMiB, 512), std::string(512, '\0'));
    const HardDiskFooter now = FooterAt(path, int64_t{1} << 32);
    EXPECT_EQ(RecogniseFooter(now), kDiskTypeFixed);
    EXPECT_EQ(Swap64(now.currentSize), uint64_t{1} << 32);
}

TEST(ResizeVhdSystem, RebuildsAnotherToolsLayoutBesideTheSourceWithEverySector)
{
    TempDir dir;
    const std::string path = dir / "src.vhd";
    TestDynamic image;
    image.currentSize = 9 * kMiB - 3 * 512;
    image.entries = 5;
    image.tableOffset = 2048;
    image.blocks = {{3, 3072, 0xFF, 1}, {0, 3072 + 2 * kTestBlockBytes, 0x5A, 2}, {4, 3072 + kTestBlockBytes, 0xFF, 3}};
    WriteDynamic(image, FileWriter(path));
    const std::string source = ReadBytes(path);

    const RunResult run = RunInProcess({"resize", path, "16"});
    EXPECT_EQ(run.out, Lines({"resizing vhd file to 16", "filesize=" + std::to_string(source.size()), "block_cnt=3",
                              "done"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadBytes(path) == source);
    const std::string rebuilt = dir / "new.vhd";
    ASSERT_EQ(fs::file_size(rebuilt), uint64_t{2048 + 3 * kTestBlockBytes + 512});
    EXPECT_EQ(ReadBytes(rebuilt, 0, 512), ReadBytes(rebuilt, 2048 + 3 * kTestBlockBytes, 512));
    const VirtualReader after = FileDisk(rebuilt);
    EXPECT_EQ(after.Size(), 16 * kMiB);
    EXPECT_EQ(after.Table().size(), 8u);
    EXPECT_EQ(FirstDifference(FileDisk(path), after, 16 * 2048), -1);
}

#ifndef _WIN32
TEST(ResizeVhdSystem, NeverDeletesASourceThatIsNewVhdUnderAnotherName)
{
    TempDir dir;
    const std::string path = dir / "src.vhd";
    WriteDynamic(PlainDynamic(4 * kMiB, {1}), FileWriter(path));
    const std::string source = ReadBytes(path);
    for (bool symbolic : {false, true}) {
        fs::remove(dir / "new.vhd");
        symbolic ? fs::create_symlink(path, dir / "new.vhd") : fs::create_hard_link(path, dir / "new.vhd");
        const RunResult run = RunInProcess({"resize", path, "8"});
        EXPECT_EQ(run.out, Lines({"resizing vhd file to 8", "filesize=" + std::to_string(source.size()),
                                  "source file is new.vhd", "done"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(ReadBytes(path) == source);
        EXPECT_TRUE(fs::exists(dir / "new.vhd"));
    }
}

#endif

TEST(ResizeVhdSystem, WhatCannotBeOpenedForWritingIsLeftAloneWithAReason)
{
    TempDir dir;
    fs::create_directory(dir / "sub.vhd");
    const RunResult run = RunInProcess({"resize", dir / "sub.vhd", "8"});
    EXPECT_EQ(run.out, Lines({"resizing vhd file to 8", "filesize=0", "done"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("for reading and writing"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir / "sub.vhd"));
    EXPECT_FALSE(fs::exists(dir / "new.vhd"));
}

}  // namespace
