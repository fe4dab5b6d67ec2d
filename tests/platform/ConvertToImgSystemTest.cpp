// conv2img on real files, through the real platform layer: sparse sources
// and images, blocks beyond 4 GiB, hostile headers, and destinations that
// name the source or are no regular file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "InProcess.h"
#include "TempDir.h"
#include "UTypes/VhdRecords.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kBlock = 2 * kMiB;
const std::string kProgress = "creating new img file";

void PutAt(const std::string& path, int64_t position, const std::string& bytes)
{
    if (!fs::exists(path)) {
        WriteBytes(path, "");
    }
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(position);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Be32(uint32_t value)
{
    const uint32_t stored = Swap32(value);
    return std::string(reinterpret_cast<const char*>(&stored), 4);
}

std::string Footer(uint32_t diskType, int64_t size, int64_t dataOffset)
{
    HardDiskFooter footer;
    BuildFooter(footer, static_cast<int32_t>(diskType), size, dataOffset);
    return std::string(reinterpret_cast<const char*>(&footer), sizeof footer);
}

std::string Header(uint32_t maxEntries, uint32_t blockSize)
{
    DynamicDiskHeader header;
    BuildDynamicHeader(header, maxEntries);
    header.blockSize = Swap32(blockSize);
    return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

std::string Pattern(int64_t size, int seed)
{
    std::string data(static_cast<size_t>(size), '\0');
    for (int64_t i = 0; i < size; ++i) {
        data[static_cast<size_t>(i)] = static_cast<char>((i * 5 + i / 512 + seed * 17) % 253 + 1);
    }
    return data;
}

// A dynamic VHD: footer copy, header, table at 1536, then whatever the test
// puts, and the trailing footer at `length` - 512.
void MakeDynamic(const std::string& path, const std::vector<uint32_t>& table, uint32_t maxEntries, uint32_t blockSize,
                 int64_t length)
{
    std::string entries;
    for (const uint32_t entry : table) {
        entries += Be32(entry);
    }
    PutAt(path, 0, Footer(kDiskTypeDynamic, int64_t{maxEntries} * kBlock, 512));
    PutAt(path, 512, Header(maxEntries, blockSize));
    PutAt(path, 1536, entries);
    PutAt(path, length - 512, Footer(kDiskTypeDynamic, int64_t{maxEntries} * kBlock, 512));
}

bool AllZero(const std::string& bytes)
{
    return bytes.find_first_not_of('\0') == std::string::npos;
}

// Bytes the file takes on disk, where the system tells; -1 elsewhere.
int64_t DiskUsage(const std::string& path)
{
#ifndef _WIN32
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? int64_t{info.st_blocks} * 512 : -1;
#else
    (void)path;
    return -1;
#endif
}

double SecondsFor(const std::vector<std::string>& args, RunResult* run)
{
    const auto started = std::chrono::steady_clock::now();
    *run = RunInProcess(args);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

TEST(ConvertToImgSystem, AFixedSparseImageKeepsItsHolesAndItsData)
{
    TempDir dir;
    const std::string vhd = dir / "fixed.vhd";
    const int64_t size = 1024 * kMiB;
    PutAt(vhd, 0, "first");
    PutAt(vhd, 700 * kMiB + 1, Pattern(3 * kMiB, 1));
    PutAt(vhd, size - 4, "last");
    PutAt(vhd, size, Footer(kDiskTypeFixed, size, 0));
    RunResult run;
    const double seconds = SecondsFor({"conv2img", vhd, dir / "out.img"}, &run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(dir / "out.img")), size);
    EXPECT_EQ(ReadBytes(dir / "out.img", 0, 6), std::string("first\0", 6));
    EXPECT_EQ(ReadBytes(dir / "out.img", 700 * kMiB + 1, 3 * kMiB), Pattern(3 * kMiB, 1));
    EXPECT_EQ(ReadBytes(dir / "out.img", size - 8, 8), std::string(4, '\0') + "last");
    const int64_t used = DiskUsage(dir / "out.img");
    if (used >= 0 && DiskUsage(vhd) < 64 * kMiB) {  // where the source is sparse, so is the image
        EXPECT_LT(used, 64 * kMiB);
        EXPECT_LT(seconds, 5.0);
    }
}

TEST(ConvertToImgSystem, ADynamicImageWithEveryKindOfBlockAndOneAboveFourGibibytes)
{
    TempDir dir;
    const std::string vhd = dir / "dynamic.vhd";
    // Entries: all ones at 4,096; unallocated; a partial bitmap; a block at
    // 2^32 (entry 0x00800000); one whose data runs past the end.
    const uint32_t full = 8;
    const uint32_t partial = 8 + 4097;
    const uint32_t high = 0x00800000;
    const int64_t highAt = int64_t{high} * 512;
    const uint32_t cut = static_cast<uint32_t>((highAt + 512 + kBlock) / 512);
    const int64_t length = int64_t{cut} * 512 + 512 + 4 * 512 + 512;  // its bitmap, 4 sectors, the footer
    MakeDynamic(vhd, {full, kUnallocatedEntry, partial, high, cut}, 5, kBlock, length);
    PutAt(vhd, int64_t{full} * 512, std::string(512, '\xFF') + Pattern(kBlock, 2));
    std::string bitmap(512, '\0');
    bitmap[0] = '\x80';
    bitmap[3] = '\x01';
    bitmap[100] = '\x3C';
    bitmap[511] = '\xFF';
    PutAt(vhd, int64_t{partial} * 512, bitmap + Pattern(kBlock, 3));
    PutAt(vhd, highAt, std::string(512, '\xFF') + Pattern(kBlock, 4));
    PutAt(vhd, int64_t{cut} * 512, std::string(512, '\xFF') + Pattern(4 * 512, 5));

    RunResult run;
    const double seconds = SecondsFor({"conv2img", vhd, dir / "out.img"}, &run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    const std::string out = dir / "out.img";
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(out)), 5 * kBlock);
    EXPECT_TRUE(ReadBytes(out, 0, kBlock) == Pattern(kBlock, 2));
    EXPECT_TRUE(AllZero(ReadBytes(out, kBlock, kBlock)));

    const std::string got = ReadBytes(out, 2 * kBlock, kBlock);
    const std::string data = Pattern(kBlock, 3);
    std::string expected(static_cast<size_t>(kBlock), '\0');
    for (int sector : {0, 31, 802, 803, 804, 805}) {
        expected.replace(static_cast<size_t>(sector) * 512, 512, data, static_cast<size_t>(sector) * 512, 512);
    }
    expected.replace(4088 * 512, 8 * 512, data, 4088 * 512, 8 * 512);
    EXPECT_TRUE(got == expected);

    EXPECT_TRUE(ReadBytes(out, 3 * kBlock, kBlock) == Pattern(kBlock, 4));
    EXPECT_EQ(ReadBytes(out, 4 * kBlock, 4 * 512), Pattern(4 * 512, 5));
    EXPECT_EQ(ReadBytes(out, 4 * kBlock + 4 * 512, 512), ReadBytes(vhd, length - 512, 512));  // the footer, as sector 4
    EXPECT_TRUE(AllZero(ReadBytes(out, 4 * kBlock + 5 * 512, kBlock - 5 * 512)));
    EXPECT_LT(seconds, 10.0);
}

TEST(ConvertToImgSystem, AnEmpty100GibibyteDynamicImageConvertsAtOnceIntoAHole)
{
    TempDir dir;
    const std::string vhd = dir / "empty.vhd";
    const uint32_t entries = 51200;
    const int64_t tableEnd = 1536 + int64_t{entries} * 4;
    MakeDynamic(vhd, std::vector<uint32_t>(entries, kUnallocatedEntry), entries, kBlock, tableEnd + 512);
    RunResult run;
    const double seconds = SecondsFor({"conv2img", vhd, dir / "out.img"}, &run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(dir / "out.img")), 100 * 1024 * kMiB);
    EXPECT_LT(seconds, 1.0);
    const int64_t used = DiskUsage(dir / "out.img");
    if (used >= 0) {
        EXPECT_LT(used, kMiB);
    }
}

TEST(ConvertToImgSystem, BillionsOfClaimedEntriesInAFourKibibyteFileEndWellUnderASecond)
{
    TempDir dir;
    const std::string vhd = dir / "hostile.vhd";
    for (const uint32_t blockSize : {uint32_t{kBlock}, 0xFFFFFFFFu}) {
        fs::remove(vhd);
        std::vector<uint32_t> table;
        for (uint32_t i = 0; i < 512; ++i) {
            table.push_back(i % 2 == 0 ? kUnallocatedEntry : 7 + i);  // no blocks, blocks past the end
        }
        MakeDynamic(vhd, table, 0xFFFFFFFF, blockSize, 4096);
        RunResult run;
        const double seconds = SecondsFor({"conv2img", vhd, dir / "out.img"}, &run);
        EXPECT_LT(seconds, 1.0) << blockSize;
        const std::string head = Lines({kProgress, "disk_type=dynamic"});
        EXPECT_EQ(run.out.substr(0, head.size()), head) << blockSize;
        if (blockSize != kBlock) {
            EXPECT_EQ(run.status, 1);  // no file reaches 2^64 bytes
            EXPECT_NE(run.err.find("could not give"), std::string::npos) << run.err;
        } else if (run.status != 0) {
            EXPECT_NE(run.err.find("its length of 9007199252643840 bytes"), std::string::npos) << run.err;
        }
        fs::remove(dir / "out.img");
    }
}

TEST(ConvertToImgSystem, ADestinationNamingTheSourceIsRefusedAndTheSourceSurvives)
{
    TempDir dir;
    const std::string vhd = dir / "in.vhd";
    const std::string content = Pattern(8192, 6) + Footer(kDiskTypeFixed, 8192, 0);
    WriteBytes(vhd, content);
    std::vector<std::string> names = {vhd, (dir.path() / "." / "in.vhd").string()};
#ifndef _WIN32
    fs::create_symlink(vhd, dir / "soft.img");
    fs::create_hard_link(vhd, dir / "hard.img");
    names.push_back(dir / "soft.img");
    names.push_back(dir / "hard.img");
#endif
    for (const std::string& name : names) {
        const RunResult run = RunInProcess({"conv2img", vhd, name});
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(run.out, Lines({kProgress, "destination is the source file", "done"})) << name;
        EXPECT_EQ(ReadBytes(vhd), content) << name;
        EXPECT_TRUE(fs::exists(name)) << name;
    }
}

TEST(ConvertToImgSystem, ADirectoryDestinationIsNeverDeleted)
{
    TempDir dir;
    WriteBytes(dir / "in.vhd", Pattern(8192, 7) + Footer(kDiskTypeFixed, 8192, 0));
    fs::create_directory(dir / "sub");
    const RunResult run = RunInProcess({"conv2img", dir / "in.vhd", dir / "sub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.substr(0, run.out.find("writefile error:")), Lines({kProgress, "disk_type=fixed"}));
    EXPECT_EQ(run.out.substr(run.out.size() - 6), "done\r\n");
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
}

#ifndef _WIN32
TEST(ConvertToImgSystem, SpecialFilesAreNeverDeletedAndLinksAreReplacedNotFollowed)
{
    TempDir dir;
    WriteBytes(dir / "in.vhd", Pattern(8192, 8) + Footer(kDiskTypeFixed, 8192, 0));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    RunResult run = RunInProcess({"conv2img", dir / "in.vhd", dir / "fifo"});
    EXPECT_EQ(run.status, 1);
    struct stat info {};
    ASSERT_EQ(lstat((dir / "fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    // A device node (root only): dravik runs as root on real systems.
    if (mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        run = RunInProcess({"conv2img", dir / "in.vhd", dir / "null"});
        EXPECT_EQ(run.status, 1);
        ASSERT_EQ(lstat((dir / "null").c_str(), &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode));
    }

    WriteBytes(dir / "target", "precious");
    fs::create_symlink(dir / "target", dir / "link.img");
    run = RunInProcess({"conv2img", dir / "in.vhd", dir / "link.img"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(dir / "target"), "precious");
    EXPECT_FALSE(fs::is_symlink(dir / "link.img"));
    EXPECT_EQ(ReadBytes(dir / "link.img"), Pattern(8192, 8));
}
#endif

}  // namespace
