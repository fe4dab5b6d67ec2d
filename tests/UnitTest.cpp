// What the command table cannot show.
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
#include "UTypes/VhdRecords.h"

namespace {

// Heads and cylinders up to the largest geometry; a dynamic disk's table covers it.
TEST(Records, GeometryAndTableEntriesAtEveryThreshold)
{
    const struct {
        int64_t sectors;
        unsigned heads, cylinders, sectorsPerTrack;
        uint64_t entries;
    } cases[] = {{0, 16, 1, 63, 1},
                 {2048, 16, 3, 63, 1},
                 {66059279, 16, 65535, 63, 16128},
                 {66059280, 64, 16384, 63, 16128},
                 {134215679, 64, 33288, 63, 32768},
                 {134215680, 128, 16644, 63, 32768},
                 {528474239, 128, 65535, 63, 129023},
                 {528474240, 255, 32897, 63, 129026},
                 {1052819774, 255, 65535, 63, 257037},
                 {1052819775, 16, 65535, 255, 257037}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        HardDiskFooter footer;
        BuildFooter(footer, 2, c.sectors * 512, 0);
        EXPECT_EQ(footer.heads, c.heads);
        EXPECT_EQ(footer.sectorsPerTrack, c.sectorsPerTrack);
        EXPECT_EQ(Swap16(footer.cylinders), c.cylinders);
        EXPECT_EQ(DynamicTableEntries(c.sectors * 512), c.entries);
    }
}

// In CoCreateGuid's layout.
TEST(Records, FreshVersion4Guids)
{
    HardDiskFooter f[2];
    for (HardDiskFooter& one : f) {
        BuildFooter(one, 2, 0, 0);
        EXPECT_EQ(one.uniqueId[7] & 0xF0, 0x40);
        EXPECT_EQ(one.uniqueId[8] & 0xC0, 0x80);
    }
    EXPECT_NE(std::memcmp(f[0].uniqueId, f[1].uniqueId, 16), 0);
}

TEST(Records, TrimmedErrorTexts)
{
    EXPECT_EQ(TrimErrorText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(TrimErrorText("The file exists. . \tv1.2 ok. \r"), "The file exists. . \tv1.2 ok");
}

TEST(FrontEnd, TheSizeOperandIsASigned32BitIntegerInTheUsualSyntax)
{
    constexpr int64_t kBad = INT64_MIN;
    const std::pair<const char*, int64_t> cases[] = {{"10", 10},
                                                     {"  \t7", 7},
                                                     {"+5", 5},
                                                     {"-5", -5},
                                                     {"2147483647", INT32_MAX},
                                                     {"-2147483648", INT32_MIN},
                                                     {"$10", 16},
                                                     {"x1f", 31},
                                                     {"0XaB", 171},
                                                     {"-$10", -16},
                                                     {"$FFFFFFFF", -1},
                                                     {"-$80000000", INT32_MIN},
                                                     {"$000000001", 1},
                                                     {"2147483648", kBad},
                                                     {"-2147483649", kBad},
                                                     {"99999999999999999999", kBad},
                                                     {"$100000000", kBad},
                                                     {"", kBad},
                                                     {"-", kBad},
                                                     {"$", kBad},
                                                     {"0x", kBad},
                                                     {"10 ", kBad},
                                                     {"$1G", kBad},
                                                     {"--1", kBad},
                                                     {"$-1", kBad},
                                                     {"1.5", kBad}};
    for (const auto& [text, expected] : cases) {
        int32_t value = 12345;
        EXPECT_EQ(ParseSizeArgument(text, &value), expected != kBad) << text;
        EXPECT_EQ(value, expected != kBad ? expected : 12345) << text;
    }
}

// A child names its parent by paths made absolute and relative by name alone, on Windows from drive C:.
TEST(Platform, PathsAreMadeAbsoluteAndRelativeToAFileByName)
{
    const bool windows = PlatformWindowsPaths();
    auto native = [&](std::string path) { return windows && path[0] == '/' ? "C:" + path : path; };
    const char* const cases[][3] = {{"/v/a/c.vhd", "/v/a/p.vhd", ".\\p.vhd"},
                                    {"/v/b/c.vhd", "/v/a/p.vhd", "..\\a\\p.vhd"},
                                    {"/v/c.vhd", "/v/a/p.vhd", ".\\a\\p.vhd"},
                                    {"/v/ab/c/c.vhd", "/v/a/p.vhd", "..\\..\\a\\p.vhd"},
                                    {"/v/a/./b/../c.vhd", "/v/./a//x/../p.vhd", ".\\p.vhd"},
                                    {"sub/c.vhd", "../p.vhd", "..\\..\\p.vhd"},
                                    {"/v/c.vhd", windows ? "D:/v/p.vhd" : "/V/p.vhd", windows ? "" : "..\\V\\p.vhd"}};
    for (const auto& [from, target, relative] : cases) {
        std::string found = "none";
        EXPECT_EQ(PlatformRelativePath(native(from), native(target), &found), *relative != 0) << from;
        EXPECT_EQ(found, *relative != 0 ? relative : "none") << from << " " << target;
    }
    const std::string absolute = (fs::current_path() / ".." / "p.vhd").lexically_normal().string();
    EXPECT_EQ(PlatformAbsolutePath("sub/../../p.vhd"), absolute);
    EXPECT_EQ(PlatformAbsolutePath(native("/v/./a//x/../p.vhd")), fs::path(native("/v/a/p.vhd")).make_preferred());
}

#ifndef _WIN32
TEST(Platform, NewFilesNeverReplaceNorFollowALinkNorIsAnythingSpecialRemoved)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    Put("kept", 0, "kept");
    fs::create_symlink("nowhere", "dangling");
    for (const char* name : {"kept", "dangling"})
        EXPECT_EQ(PlatformOpen(name, OpenMode::CreateNewWrite), nullptr) << name;
    EXPECT_EQ(PlatformErrorText(), "File exists");
    EXPECT_FALSE(fs::exists("nowhere"));
    EXPECT_EQ(ReadFile("kept"), "kept");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_FALSE(PlatformRemoveFile("fifo"));
    EXPECT_TRUE(fs::exists("fifo"));
    PlatformFile* kept = PlatformOpen("kept", OpenMode::ReadExisting);
    int64_t start = 0, end = 0;
    EXPECT_FALSE(PlatformNextData(kept, 4, &start, &end));  // no data past the end
    PlatformClose(kept);
}

// /dev/shm and the temporary folder, where they are two file systems.
TEST(Platform, AMoveToAnotherFileSystemKeepsContentHolesAndModeAndNeverReplaces)
{
    const std::string name = "dravik-move-" + std::to_string(getpid()), from = fs::temp_directory_path() / name,
                      to = "/dev/shm/" + name;
    struct stat here {
    }, there{}, moved{};
    if (stat(fs::temp_directory_path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 ||
        here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system to move to";
    Put(from, 3 * kMiB, "middle");
    Put(from, 0, "head");
    fs::resize_file(from, 8 * kMiB);
    fs::permissions(from, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    Put(to, 0, "occupied");
    EXPECT_FALSE(PlatformRenameNoReplace(from, to));
    EXPECT_EQ(ReadFile(to), "occupied");
    fs::remove(to);
    ASSERT_TRUE(PlatformRenameNoReplace(from, to)) << PlatformErrorText();
    ASSERT_EQ(stat(to.c_str(), &moved), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(moved.st_mode & 0777, 0640u);
    EXPECT_LT(moved.st_blocks * 512, kMiB);  // the holes stayed holes
    EXPECT_EQ(ReadFile(to), "head" + std::string(3 * kMiB - 4, '\0') + "middle" + std::string(5 * kMiB - 6, '\0'));
    fs::remove(to);
}
#else
TEST(Platform, AnImageInUseIsReadBesideAWriterButNotWrittenNorIsADeviceOpened)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    Put("held.vhd", 0, "held");
    // A writer that lets others read, as a running virtual machine.
    HANDLE other = CreateFileA("held.vhd", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    PlatformFile* reader = PlatformOpen("held.vhd", OpenMode::ReadExisting);
    EXPECT_NE(reader, nullptr) << PlatformErrorText();
    PlatformClose(reader);
    EXPECT_EQ(PlatformOpen("held.vhd", OpenMode::ReadWriteExisting), nullptr);
    CloseHandle(other);
    EXPECT_EQ(PlatformOpen("NUL", OpenMode::ReadWriteExisting), nullptr);
}
#endif

}  // namespace
