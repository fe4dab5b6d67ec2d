// A real interruption of the in-place commands: strace kills dravik just
// before one of its writes to the image, and the file must still end with
// a footer dravik recognises, with every byte of the old disk data intact.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TempDir.h"

namespace {

int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    }
    return data;
}

// The Current Size that `dravik info` finds at the end of the file, or ""
// when it finds no footer there.
std::string CurrentSize(const TempDir& dir, const std::string& image)
{
    const std::string out = dir / "info.txt";
    if (Shell(std::string("\"") + DRAVIK_EXE + "\" info \"" + image + "\" > \"" + out + "\"") != 0) {
        return "";
    }
    const std::string report = ReadBytes(out);
    const size_t at = report.find("Current_Size=");
    return at == std::string::npos ? "" : report.substr(at + 13, report.find('\r', at) - at - 13);
}

class CrashTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (Shell("strace -o /dev/null true > /dev/null 2>&1") != 0) {
            GTEST_SKIP() << "strace is missing or may not trace here";
        }
    }

    // Runs dravik under strace, killed at the `nth` call of `syscall` on
    // the image, before that call does anything.
    static void RunKilled(const std::string& image, const std::string& syscall, int nth,
                          const std::string& arguments)
    {
        Shell("strace -o /dev/null -P \"" + image + "\" -e trace=" + syscall + " -e inject=" + syscall +
              ":signal=KILL:when=" + std::to_string(nth) + " \"" + DRAVIK_EXE + "\" " + arguments +
              " > /dev/null 2>&1");
    }
};

TEST_F(CrashTest, AnInterruptedFixedResizeAlwaysLeavesAFooterAndTheData)
{
    TempDir dir;
    const std::string data = Pattern(1 << 20);
    WriteBytes(dir / "seed.img", data);
    ASSERT_EQ(Shell(std::string("\"") + DRAVIK_EXE + "\" conv2vhd \"" + (dir / "seed.img") + "\" \"" +
                    (dir / "seed.vhd") + "\" > /dev/null"),
              0);
    const std::string seed = ReadBytes(dir / "seed.vhd");

    // Before the first write, between the two writes, and not at all.
    for (const auto& [syscall, nth] : {std::pair{"write", 1}, {"pwrite64", 1}, {"pwrite64", 1000}}) {
        const std::string image = dir / "disk.vhd";
        WriteBytes(image, seed);
        RunKilled(image, syscall, nth, "resize \"" + image + "\" 3");
        const std::string size = CurrentSize(dir, image);
        EXPECT_TRUE(size == "1048576" || size == "3145728") << syscall << " " << nth << ": " << size;
        EXPECT_EQ(ReadBytes(image, 0, 1 << 20), data) << syscall << " " << nth;
    }
}

TEST_F(CrashTest, AnInterruptedConversionLeavesTheRawImageOrAFixedDisk)
{
    TempDir dir;
    const std::string data = Pattern(1 << 20);
    for (int nth : {1, 1000}) {
        const std::string image = dir / "disk.img";
        WriteBytes(image, data);
        RunKilled(image, "write", nth, "conv2vhd \"" + image + "\" \"" + (dir / "disk.vhd") + "\"");
        const bool converted = std::filesystem::exists(dir / "disk.vhd");
        const std::string now = converted ? dir / "disk.vhd" : image;
        EXPECT_EQ(ReadBytes(now, 0, 1 << 20), data) << nth;
        if (converted || std::filesystem::file_size(now) > data.size()) {
            EXPECT_EQ(CurrentSize(dir, now), "1048576") << nth;
        } else {
            EXPECT_EQ(std::filesystem::file_size(now), data.size()) << nth;
        }
        std::filesystem::remove(dir / "disk.vhd");
    }
}

}  // namespace
#endif
