// The real platform layer on real files.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <memory>

#include "Platform/Platform.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

using FileHandle = std::unique_ptr<PlatformFile, void (*)(PlatformFile*)>;

FileHandle Open(const std::string& path, OpenMode mode)
{
    return FileHandle(PlatformOpen(path, mode), PlatformClose);
}

TEST(PlatformFileSize, GivesMinusOneZeroAndFull64BitSizes)
{
    TempDir dir;
    EXPECT_EQ(PlatformFileSize(dir / "missing"), -1);
    EXPECT_EQ(PlatformFileSize(""), -1);
    WriteBytes(dir / "empty", "");
    EXPECT_EQ(PlatformFileSize(dir / "empty"), 0);
    fs::resize_file(dir / "empty", 5ll << 30);  // sparse
    EXPECT_EQ(PlatformFileSize(dir / "empty"), 5ll << 30);
    EXPECT_EQ(PlatformFileSize(dir.path().string()), 0);  // a directory entry
}

TEST(PlatformFiles, ReadAndWriteBeyondFourGibibytes)
{
    TempDir dir;
    const std::string path = dir / "big";
    FileHandle created = Open(path, OpenMode::CreateNewReadWrite);
    ASSERT_TRUE(created);
    const int64_t far = (5ll << 30) + 7;
    EXPECT_EQ(PlatformWriteAt(created.get(), far, "tail", 4), 4);
    created.reset();
    EXPECT_EQ(PlatformFileSize(path), far + 4);

    FileHandle file = Open(path, OpenMode::ReadExisting);
    ASSERT_TRUE(file);
    char bytes[8] = {};
    EXPECT_EQ(PlatformReadAt(file.get(), far, bytes, 8), 4);  // short at the end
    EXPECT_EQ(std::string(bytes, 4), "tail");
    ASSERT_TRUE(PlatformSeek(file.get(), far - 2));
    EXPECT_EQ(PlatformRead(file.get(), bytes, 6), 6);
    EXPECT_EQ(std::string(bytes, 6), std::string("\0\0tail", 6));
    EXPECT_EQ(PlatformRead(file.get(), bytes, 6), 0);
    int64_t end = 0;
    ASSERT_TRUE(PlatformSeekEnd(file.get(), &end));
    EXPECT_EQ(end, far + 4);
    EXPECT_FALSE(PlatformSeek(file.get(), -512));
    EXPECT_EQ(PlatformWrite(file.get(), "x", 1), -1);  // opened for reading only
    EXPECT_FALSE(PlatformErrorText().empty());
}

TEST(PlatformFiles, SetLengthCutsBackAndExtendsWithZeros)
{
    TempDir dir;
    WriteBytes(dir / "f", "0123456789");
    FileHandle file = Open(dir / "f", OpenMode::ReadWriteExisting);
    ASSERT_TRUE(file);
    EXPECT_TRUE(PlatformSetLength(file.get(), 4));
    EXPECT_TRUE(PlatformSetLength(file.get(), 6));
    file.reset();
    EXPECT_EQ(ReadBytes(dir / "f"), std::string("0123\0\0", 6));
}

TEST(PlatformFiles, NullHandlesFailCleanly)
{
    char byte = 0;
    int64_t end = 0;
    EXPECT_EQ(PlatformRead(nullptr, &byte, 1), -1);
    EXPECT_EQ(PlatformWrite(nullptr, &byte, 1), -1);
    EXPECT_EQ(PlatformReadAt(nullptr, 0, &byte, 1), -1);
    EXPECT_EQ(PlatformWriteAt(nullptr, 0, &byte, 1), -1);
    EXPECT_FALSE(PlatformSeek(nullptr, 0));
    EXPECT_FALSE(PlatformSeekEnd(nullptr, &end));
    EXPECT_FALSE(PlatformSetLength(nullptr, 0));
    PlatformClose(nullptr);
}

TEST(PlatformFiles, CopyRangeAndNextDataFollowTheSourcesDataAndHoles)
{
    TempDir dir;
    {
        FileHandle file = Open(dir / "src", OpenMode::CreateNewWrite);
        ASSERT_TRUE(file);
        ASSERT_EQ(PlatformWriteAt(file.get(), 0, "head", 4), 4);
        ASSERT_EQ(PlatformWriteAt(file.get(), 8 << 20, "tail", 4), 4);
        ASSERT_TRUE(PlatformSetLength(file.get(), 16 << 20));
    }
    FileHandle src = Open(dir / "src", OpenMode::ReadExisting);
    FileHandle dst = Open(dir / "dst", OpenMode::CreateNewWrite);
    ASSERT_TRUE(src && dst);

    int64_t start = -1;
    int64_t end = -1;
    ASSERT_TRUE(PlatformNextData(src.get(), 0, &start, &end));
    EXPECT_EQ(start, 0);
    EXPECT_GE(end, 4);
    // Where the system cannot tell holes from data, that first stretch is
    // the whole file.
    if (end < 16 << 20) {
        ASSERT_TRUE(PlatformNextData(src.get(), end, &start, &end));
        EXPECT_LE(start, 8 << 20);
        EXPECT_GE(end, (8 << 20) + 4);
    }
    // Past the last data only a hole remains (on file systems with holes).
    const bool more = PlatformNextData(src.get(), (8 << 20) + 4096, &start, &end);
    EXPECT_TRUE(!more || end <= 16 << 20);
    EXPECT_FALSE(PlatformNextData(src.get(), 16 << 20, &start, &end));

    EXPECT_EQ(PlatformCopyRange(src.get(), (8 << 20) - 2, dst.get(), 10, 6), 6);
    EXPECT_EQ(PlatformCopyRange(src.get(), (16 << 20) - 3, dst.get(), 16, 100), 3);  // the source ends
    EXPECT_EQ(PlatformCopyRange(nullptr, 0, dst.get(), 0, 1), -1);
    dst.reset();
    EXPECT_EQ(ReadBytes(dir / "dst"), std::string(10, '\0') + std::string("\0\0tail", 6) + std::string(3, '\0'));
}

#ifndef _WIN32
TEST(PlatformOpen, OpensOnlyRegularFilesAndNeverReplacesOnCreate)
{
    TempDir dir;
    EXPECT_FALSE(Open(dir / "missing", OpenMode::ReadExisting));
    EXPECT_EQ(PlatformErrorText(), "No such file or directory");
    EXPECT_FALSE(Open(dir.path().string(), OpenMode::ReadWriteExisting));
    EXPECT_FALSE(Open("/dev/null", OpenMode::ReadWriteExisting));
    EXPECT_EQ(PlatformErrorText(), "not a regular file");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(Open(dir / "fifo", OpenMode::ReadExisting));  // and does not block

    WriteBytes(dir / "kept", "kept");
    EXPECT_FALSE(Open(dir / "kept", OpenMode::CreateNewWrite));
    EXPECT_EQ(PlatformErrorText(), "File exists");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_FALSE(Open(dir / "dangling", OpenMode::CreateNewWrite));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_EQ(ReadBytes(dir / "kept"), "kept");
}

TEST(PlatformRemoveFile, RemovesFilesAndLinksButNothingSpecial)
{
    TempDir dir;
    WriteBytes(dir / "target", "data");
    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_TRUE(PlatformRemoveFile(dir / "link"));
    EXPECT_EQ(ReadBytes(dir / "target"), "data");  // the link itself went
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(PlatformRemoveFile(dir / "fifo"));
    EXPECT_TRUE(fs::exists(dir / "fifo"));
}
#endif

TEST(PlatformRemoveFile, RemovesRegularFilesOnly)
{
    TempDir dir;
    WriteBytes(dir / "target", "data");
    EXPECT_TRUE(PlatformRemoveFile(dir / "target"));
    EXPECT_FALSE(fs::exists(dir / "target"));
    EXPECT_FALSE(PlatformRemoveFile(dir / "target"));  // already gone: only a false
    EXPECT_FALSE(PlatformErrorText().empty());

    fs::create_directory(dir / "sub");
    EXPECT_FALSE(PlatformRemoveFile(dir / "sub"));
    EXPECT_TRUE(fs::exists(dir / "sub"));
}

TEST(PlatformRename, NeverReplacesAnExistingDestination)
{
    TempDir dir;
    WriteBytes(dir / "a", "a");
    WriteBytes(dir / "b", "b");
    EXPECT_FALSE(PlatformRenameNoReplace(dir / "a", dir / "b"));
#ifndef _WIN32
    EXPECT_EQ(PlatformErrorText(), "File exists");
#else
    EXPECT_FALSE(PlatformErrorText().empty());
#endif
    EXPECT_EQ(ReadBytes(dir / "a"), "a");
    EXPECT_EQ(ReadBytes(dir / "b"), "b");
    EXPECT_FALSE(PlatformRenameNoReplace(dir / "a", ""));
    EXPECT_TRUE(PlatformRenameNoReplace(dir / "a", dir / "c"));
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(ReadBytes(dir / "c"), "a");
}

#ifndef _WIN32
// A directory on another file system than the temporary directory, where
// one exists (/dev/shm is a tmpfs on most Linux systems).
std::string OtherFileSystem(const TempDir& dir)
{
    struct stat here {};
    struct stat there {};
    if (stat(dir.path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev ||
        access("/dev/shm", W_OK) != 0) {
        return {};
    }
    return "/dev/shm";
}

TEST(PlatformRename, MovesAcrossFileSystemsKeepingContentHolesAndMode)
{
    TempDir dir;
    const std::string other = OtherFileSystem(dir);
    if (other.empty()) {
        GTEST_SKIP() << "no second file system to move to";
    }
    const std::string from = dir / "image";
    const std::string to = other + "/dravik-move-" + std::to_string(getpid());
    {
        FileHandle file = Open(from, OpenMode::CreateNewWrite);
        ASSERT_TRUE(file);
        ASSERT_EQ(PlatformWriteAt(file.get(), 0, "head", 4), 4);
        ASSERT_EQ(PlatformWriteAt(file.get(), 3 << 20, "middle", 6), 6);
        ASSERT_TRUE(PlatformSetLength(file.get(), 8 << 20));
    }
    chmod(from.c_str(), 0640);
    WriteBytes(to, "occupied");
    EXPECT_FALSE(PlatformRenameNoReplace(from, to));
    EXPECT_EQ(ReadBytes(to), "occupied");
    ASSERT_EQ(unlink(to.c_str()), 0);

    ASSERT_TRUE(PlatformRenameNoReplace(from, to)) << PlatformErrorText();
    EXPECT_FALSE(fs::exists(from));
    struct stat info {};
    ASSERT_EQ(stat(to.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 8 << 20);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_LT(info.st_blocks * 512, 1 << 20);  // the holes stayed holes
    EXPECT_EQ(ReadBytes(to, 0, 4), "head");
    EXPECT_EQ(ReadBytes(to, 3 << 20, 6), "middle");
    EXPECT_EQ(ReadBytes(to, 4, 4), std::string(4, '\0'));
    unlink(to.c_str());
}

TEST(PlatformSameFile, SeesThroughSymbolicLinks)
{
    TempDir dir;
    WriteBytes(dir / "a", "a");
    fs::create_symlink(dir / "a", dir / "soft");
    EXPECT_TRUE(PlatformSameFile(dir / "a", dir / "soft"));
}
#endif

TEST(PlatformSameFile, SeesThroughHardLinksAndSpellings)
{
    TempDir dir;
    WriteBytes(dir / "a", "a");
    WriteBytes(dir / "b", "b");
    fs::create_hard_link(dir / "a", dir / "hard");
    EXPECT_TRUE(PlatformSameFile(dir / "a", dir / "hard"));
    EXPECT_TRUE(PlatformSameFile(dir / "a", (dir.path() / "." / "a").string()));
    EXPECT_FALSE(PlatformSameFile(dir / "a", dir / "b"));
    EXPECT_FALSE(PlatformSameFile(dir / "a", dir / "missing"));
}

#ifndef _WIN32
TEST(PlatformDirectoryPart, KeepsEverythingUpToTheLastSlash)
{
    EXPECT_EQ(PlatformDirectoryPart("a.vhd"), "");
    EXPECT_EQ(PlatformDirectoryPart("/vm/disks/a.vhd"), "/vm/disks/");
    EXPECT_EQ(PlatformDirectoryPart("rel/a.vhd"), "rel/");
    EXPECT_EQ(PlatformDirectoryPart("odd\\name:a.vhd"), "");  // no separators on POSIX
}
#endif

TEST(PlatformErrorText, TrimsTrailingBlanksControlsAndFullStops)
{
    EXPECT_EQ(TrimErrorText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(TrimErrorText("The file exists. . \t"), "The file exists");
    EXPECT_EQ(TrimErrorText("v1.2 ok"), "v1.2 ok");
    EXPECT_EQ(TrimErrorText(" .\r\n"), "");
    EXPECT_EQ(TrimErrorText(""), "");
}

TEST(PlatformNewGuid, GivesFreshVersion4Identifiers)
{
    uint8_t first[16];
    uint8_t second[16];
    PlatformNewGuid(first);
    PlatformNewGuid(second);
    EXPECT_NE(std::memcmp(first, second, 16), 0);
    EXPECT_EQ(first[7] & 0xF0, 0x40);  // the version, in the third group's high byte
    EXPECT_EQ(first[8] & 0xC0, 0x80);  // the variant
}

TEST(PlatformAlloc, GivesZeroedMemoryOrNull)
{
    auto* memory = static_cast<unsigned char*>(PlatformAlloc(1 << 21));
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory[0] | memory[(1 << 21) - 1], 0);
    PlatformFree(memory, 1 << 21);
}

}  // namespace
