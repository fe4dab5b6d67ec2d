// The Win32 platform layer where Windows differs: positions and sizes as
// 32-bit halves, share modes, drive letters and backslashes, devices.
#ifdef _WIN32

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "Platform/Platform.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

using FileHandle = std::unique_ptr<PlatformFile, void (*)(PlatformFile*)>;

FileHandle Open(const std::string& path, OpenMode mode)
{
    return FileHandle(PlatformOpen(path, mode), PlatformClose);
}

// The same path with every backslash turned into a forward slash.
std::string ForwardSlashes(std::string path)
{
    for (char& c : path) {
        c = c == '\\' ? '/' : c;
    }
    return path;
}

TEST(Win32Positions, LowHalvesOfAllOnesAreNoFailure)
{
    // 0xFFFFFFFF is SetFilePointer's failure value and also the low half of
    // 4 GiB - 1 and 8 GiB - 1; only the error code tells them apart.
    TempDir dir;
    FileHandle file = Open(dir / "big", OpenMode::CreateNewReadWrite);
    ASSERT_TRUE(file);
    for (const int64_t position : {int64_t{0xFFFFFFFF}, int64_t{0x1FFFFFFFF}}) {
        ASSERT_TRUE(PlatformSeek(file.get(), position)) << position;
        EXPECT_EQ(PlatformWrite(file.get(), "x", 1), 1) << position;
        int64_t end = 0;
        ASSERT_TRUE(PlatformSeekEnd(file.get(), &end));
        EXPECT_EQ(end, position + 1);
        char byte = 0;
        EXPECT_EQ(PlatformReadAt(file.get(), position, &byte, 1), 1);
        EXPECT_EQ(byte, 'x');
    }
    char bytes[2] = {};
    EXPECT_EQ(PlatformReadAt(file.get(), int64_t{0xFFFFFFFF} - 1, bytes, 2), 2);  // the high half stays 0
    EXPECT_EQ(std::string(bytes, 2), std::string("\0x", 2));
    file.reset();
    EXPECT_EQ(PlatformFileSize(dir / "big"), 0x200000000);  // both halves of the find data
}

TEST(Win32FileSize, TakesNoWildcards)
{
    TempDir dir;
    WriteBytes(dir / "a1.img", "1234");
    EXPECT_EQ(PlatformFileSize(dir / "a1.img"), 4);
    for (const char* pattern : {"a?.img", "a*", "*", "a<", "a1.im>", "a1\"img"}) {
        EXPECT_EQ(PlatformFileSize(dir / pattern), -1) << pattern;
    }
}

TEST(Win32Open, SharesWithAWriterButNeverWithAnExclusiveHolder)
{
    TempDir dir;
    const std::string path = dir / "held.vhd";
    WriteBytes(path, "held");
    // Another writer that lets others read, as a running virtual machine does.
    const HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    {
        FileHandle reader = Open(path, OpenMode::ReadExisting);
        ASSERT_TRUE(reader) << PlatformErrorText();
        char bytes[4] = {};
        EXPECT_EQ(PlatformRead(reader.get(), bytes, 4), 4);
        EXPECT_FALSE(Open(path, OpenMode::ReadWriteExisting));  // the writer shares no writing
    }
    CloseHandle(writer);

    const HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Open(path, OpenMode::ReadExisting));
    EXPECT_FALSE(PlatformErrorText().empty());
    CloseHandle(exclusive);
    EXPECT_TRUE(Open(path, OpenMode::ReadWriteExisting));
}

TEST(Win32Open, RefusesDirectoriesDevicesAndPipes)
{
    TempDir dir;
    EXPECT_FALSE(Open(dir.path().string(), OpenMode::ReadExisting));
    EXPECT_FALSE(Open("NUL", OpenMode::ReadWriteExisting));
    EXPECT_FALSE(Open("NUL", OpenMode::CreateNewWrite));

    const std::string pipe = "\\\\.\\pipe\\dravik-test-" + std::to_string(std::random_device()());
    const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Open(pipe, OpenMode::ReadExisting));  // and does not block
    EXPECT_FALSE(PlatformRemoveFile("NUL"));
    CloseHandle(server);

    WriteBytes(dir / "kept", "kept");
    EXPECT_FALSE(Open(dir / "kept", OpenMode::CreateNewWrite));
    EXPECT_EQ(ReadBytes(dir / "kept"), "kept");
}

TEST(Win32Paths, DriveLettersAndBothSlashesNameTheSameFile)
{
    TempDir dir;
    const std::string backslashed = dir / "disk.img";
    ASSERT_EQ(backslashed.substr(1, 2), ":\\");  // a drive letter, a backslash
    WriteBytes(backslashed, "disk");
    const std::string forward = ForwardSlashes(backslashed);
    EXPECT_EQ(PlatformFileSize(forward), 4);
    EXPECT_TRUE(Open(forward, OpenMode::ReadWriteExisting));
    EXPECT_TRUE(PlatformSameFile(backslashed, forward));
    EXPECT_TRUE(PlatformRenameNoReplace(forward, ForwardSlashes(dir / "disk.vhd")));
    EXPECT_EQ(ReadBytes(dir / "disk.vhd"), "disk");
    EXPECT_TRUE(PlatformRemoveFile(ForwardSlashes(dir / "disk.vhd")));
    EXPECT_FALSE(fs::exists(dir / "disk.vhd"));
}

TEST(Win32Paths, TheDirectoryPartEndsAtTheLastSlashBackslashOrColon)
{
    EXPECT_EQ(PlatformDirectoryPart("D:/vm/a.vhd"), "D:/vm/");
    EXPECT_EQ(PlatformDirectoryPart("D:\\vm\\a.vhd"), "D:\\vm\\");
    EXPECT_EQ(PlatformDirectoryPart("D:\\vm/disks\\a.vhd"), "D:\\vm/disks\\");
    EXPECT_EQ(PlatformDirectoryPart("D:a.vhd"), "D:");
    EXPECT_EQ(PlatformDirectoryPart("\\\\server\\share\\a.vhd"), "\\\\server\\share\\");
    EXPECT_EQ(PlatformDirectoryPart("a.vhd"), "");
}

TEST(Win32Rename, MovesToAnotherVolumeWithoutReplacing)
{
    // Under Wine, Z:\dev\shm is the host's tmpfs, another file system than
    // the prefix's drive C:.
    const std::string other = "Z:\\dev\\shm";
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const bool underWine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    if (!underWine || GetFileAttributesA(other.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no second volume to move to";
    }
    TempDir dir;
    const std::string from = dir / "image";
    const std::string to = other + "\\dravik-move-" + std::to_string(std::random_device()());
    {
        FileHandle file = Open(from, OpenMode::CreateNewWrite);
        ASSERT_TRUE(file);
        ASSERT_EQ(PlatformWriteAt(file.get(), 3 << 20, "middle", 6), 6);
    }
    WriteBytes(to, "occupied");
    EXPECT_FALSE(PlatformRenameNoReplace(from, to));
    EXPECT_EQ(ReadBytes(to), "occupied");
    ASSERT_TRUE(DeleteFileA(to.c_str()));

    ASSERT_TRUE(PlatformRenameNoReplace(from, to)) << PlatformErrorText();
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(PlatformFileSize(to), (3 << 20) + 6);
    EXPECT_EQ(ReadBytes(to, 3 << 20, 6), "middle");
    DeleteFileA(to.c_str());
}

TEST(Win32ErrorText, IsTheSystemsMessageTrimmed)
{
    TempDir dir;
    EXPECT_FALSE(Open(dir / "missing", OpenMode::ReadExisting));
    const std::string text = PlatformErrorText();
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_GE(static_cast<unsigned char>(text.back()), 32);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace

#endif  // _WIN32
