// What the command table cannot show whole: Unique Ids, the geometry at
// every threshold, the size operand's syntax, sizes only a caller can pass,
// the workers a transfer runs on,
// and the platform layer's promises: trimmed error texts, new files that
// never replace or follow a link, nothing special removed, a move to another
// file system, an image in use on Windows.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "FrontEnd.h"
#include "Platform/Platform.h"
#include "TestFiles.h"
#include "TestPlatform.h"
#include "UTypes/Report.h"
#include "UTypes/VhdCommands.h"
#include "UTypes/VhdRecords.h"

namespace {

TEST(Records, UniqueIdsAreFreshVersion4GuidsAndErrorTextsAreTrimmed)
{
    HardDiskFooter first, second;
    BuildFooter(first, 2, kMiB, 0);
    BuildFooter(second, 2, kMiB, 0);
    EXPECT_NE(std::memcmp(first.uniqueId, second.uniqueId, 16), 0);
    EXPECT_EQ(first.uniqueId[7] & 0xF0, 0x40);  // the version, in CoCreateGuid's layout
    EXPECT_EQ(first.uniqueId[8] & 0xC0, 0x80);  // the variant
    EXPECT_EQ(TrimErrorText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(TrimErrorText("The file exists. . \tv1.2 ok. \r"), "The file exists. . \tv1.2 ok");
}

TEST(Records, HeadsAndCylindersAtEveryThreshold)
{
    const struct {
        int64_t sectors;
        unsigned heads;
        unsigned cylinders;  // as stored: the low 16 bits
    } cases[] = {{0, 16, 1}, {2048, 16, 3}, {66059279, 16, 65535}, {66059280, 64, 16384}, {134215679, 64, 33288},
                 {134215680, 128, 16644}, {528474239, 128, 65535}, {528474240, 255, 32897}, {1052819774, 255, 65535},
                 {1052819775, 255, 0}};
    for (const auto& c : cases) {
        HardDiskFooter footer;
        BuildFooter(footer, 2, c.sectors * 512, 0);
        EXPECT_EQ(footer.heads, c.heads) << c.sectors;
        EXPECT_EQ(footer.sectorsPerTrack, 63) << c.sectors;
        EXPECT_EQ(Swap16(footer.cylinders), c.cylinders) << c.sectors;
    }
}

TEST(FrontEnd, TheSizeOperandIsASigned32BitIntegerInTheUsualSyntax)
{
    constexpr int64_t kBad = INT64_MIN;
    const std::pair<const char*, int64_t> cases[] = {
        {"10", 10}, {"  \t7", 7}, {"+5", 5}, {"-5", -5}, {"007", 7}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"$10", 16}, {"x1f", 31}, {"X1F", 31}, {"0x1f", 31}, {"0XaB", 171}, {"xAf", 175}, {"-$10", -16}, {"+0x10", 16}, {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN}, {"-$80000000", INT32_MIN}, {"$000000001", 1}, {"2147483648", kBad}, {"-2147483649", kBad},
        {"99999999999999999999", kBad}, {"$100000000", kBad}, {"", kBad}, {" ", kBad}, {"-", kBad}, {"$", kBad},
        {"0x", kBad}, {"10 ", kBad}, {"1e3", kBad}, {"$1G", kBad}, {"--1", kBad}, {"$-1", kBad}, {"0x-1", kBad}, {"1.5", kBad}};
    for (const auto& [text, expected] : cases) {
        int32_t value = 12345;
        EXPECT_EQ(ParseSizeArgument(text, &value), expected != kBad) << text;
        EXPECT_EQ(value, expected != kBad ? expected : 12345) << text;
    }
}

// Sizes the front end never passes: not whole sectors, not whole 2048s.
TEST(Resize, RefusesNewSizesThatAreNoWholeSectorsUntouched)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    Fixed("fixed.vhd", kMiB);
    Dynamic("dynamic.vhd", 4 * kMiB, {0});
    const std::string before = DescribeFolder(scratch.path);
    for (const auto& [path, size, says] : {std::tuple{"fixed.vhd", 2 * kMiB + 100, "filesize=1049088\r\nmod 512 <>0\r\n"},
                                           {"dynamic.vhd", 8 * kMiB + 512, "filesize=2100224\r\nmod 2048<>0\r\n"}}) {
        std::ostringstream out, err;
        ReportBegin(out, err);
        TestPlatformReset();
        ResizeVhd(path, size);
        EXPECT_EQ(out.str(), says);
        EXPECT_TRUE(RunFailed());
    }
    EXPECT_EQ(DescribeFolder(scratch.path), before);
}



#ifndef _WIN32
TEST(Platform, NewFilesNeverReplaceNorFollowALinkNorIsAnythingSpecialRemoved)
{
    const Scratch scratch;
    Put(scratch.path / "kept", 0, "kept");
    fs::create_symlink(scratch.path / "nowhere", scratch.path / "dangling");
    for (const char* name : {"kept", "dangling"})
        EXPECT_EQ(PlatformOpen((scratch.path / name).string(), OpenMode::CreateNewWrite), nullptr) << name;
    EXPECT_EQ(PlatformErrorText(), "File exists");
    EXPECT_FALSE(fs::exists(scratch.path / "nowhere"));
    EXPECT_EQ(ReadFile(scratch.path / "kept"), "kept");
    ASSERT_EQ(mkfifo((scratch.path / "fifo").c_str(), 0600), 0);  // nor is anything special removed
    EXPECT_FALSE(PlatformRemoveFile((scratch.path / "fifo").string()));
    EXPECT_TRUE(fs::exists(scratch.path / "fifo"));
    PlatformFile* kept = PlatformOpen((scratch.path / "kept").string(), OpenMode::ReadExisting);
    int64_t start = 0, end = 0;
    EXPECT_FALSE(PlatformNextData(kept, 4, &start, &end));  // no data past the end
    PlatformClose(kept);
}

// /dev/shm and the temporary folder, where they are two file systems.
TEST(Platform, AMoveToAnotherFileSystemKeepsContentHolesAndModeAndNeverReplaces)
{
    const fs::path from = fs::temp_directory_path() / ("dravik-move-" + std::to_string(getpid()));
    const fs::path to = fs::path("/dev/shm") / from.filename();
    struct stat here {}, there {};
    if (stat(from.parent_path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system to move to";
    Put(from, 0, "head");
    Put(from, 3 * kMiB, "middle");
    fs::resize_file(from, 8 * kMiB);
    fs::permissions(from, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    Put(to, 0, "occupied");
    EXPECT_FALSE(PlatformRenameNoReplace(from.string(), to.string()));
    EXPECT_EQ(ReadFile(to), "occupied");
    fs::remove(to);

    ASSERT_TRUE(PlatformRenameNoReplace(from.string(), to.string())) << PlatformErrorText();
    struct stat moved {};
    ASSERT_EQ(stat(to.c_str(), &moved), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(moved.st_size, 8 * kMiB);
    EXPECT_EQ(moved.st_mode & 0777, 0640u);
    EXPECT_LT(moved.st_blocks * 512, kMiB);  // the holes stayed holes
    EXPECT_EQ(ReadFile(to, 0, 3 * kMiB + 6), "head" + std::string(3 * kMiB - 4, '\0') + "middle");
    fs::remove(to);
}
#else
TEST(Platform, AnImageInUseIsSharedWithAWriterButNotWithAnExclusiveHolder)
{
    const Scratch scratch;
    const std::string path = (scratch.path / "held.vhd").string();
    Put(path, 0, "held");
    // Another writer that lets others read, as a running virtual machine does.
    HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    PlatformFile* reader = PlatformOpen(path, OpenMode::ReadExisting);
    EXPECT_NE(reader, nullptr) << PlatformErrorText();
    PlatformClose(reader);
    EXPECT_EQ(PlatformOpen(path, OpenMode::ReadWriteExisting), nullptr);  // the writer shares no writing
    CloseHandle(other);
    other = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(PlatformOpen(path, OpenMode::ReadExisting), nullptr);
    EXPECT_FALSE(PlatformErrorText().empty());
    CloseHandle(other);
    EXPECT_EQ(PlatformOpen("NUL", OpenMode::ReadWriteExisting), nullptr);
}
#endif

// The moves of a job run on workers where there are two processors or more, and in order where there is one.
TEST(Transfer, MovesRunOnWorkersWhereThereAreProcessorsForThem)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    Dynamic("in.vhd", 4 * kBlock, {3, 0, 1, 2});
    for (const unsigned processors : {1u, 2u}) {
        TestPlatformReset({.processors = processors});
        std::ostringstream out;
        EXPECT_EQ(RunDravik({"conv2img", "in.vhd", "out" + std::to_string(processors)}, out, out), 0);
        EXPECT_EQ(TestPlatformCounters().workerCopies > 0, processors > 1) << processors;
    }
    TestPlatformReset();
    EXPECT_EQ(ReadFile("out1"), ReadFile("out2"));
}

}  // namespace
