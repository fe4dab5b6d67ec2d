// The progress line appears on a terminal and nowhere else, and standard
// output is the same bytes either way.
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

TEST(ProgressCli, ShowsOnATerminalOnlyAndLeavesStandardOutputAlone)
{
    if (Shell("script -qec true /dev/null > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "script(1) cannot open a pseudo-terminal here";
    }
    TempDir dir;
    WriteBytes(dir / "disk.img", "");
    std::filesystem::resize_file(dir / "disk.img", 64 << 20);
    const std::string exe = std::string("\"") + DRAVIK_EXE + "\"";
    ASSERT_EQ(Shell(exe + " conv2vhd \"" + (dir / "disk.img") + "\" \"" + (dir / "disk.vhd") + "\" > /dev/null"), 0);
    const std::string convert = exe + " conv2img \"" + (dir / "disk.vhd") + "\" ";

    // In a pseudo-terminal: stdout to a file, stderr to the terminal.
    ASSERT_EQ(Shell("script -qec '" + convert + "\"" + (dir / "tty.img") + "\" > \"" + (dir / "tty.out") +
                    "\"' /dev/null > \"" + (dir / "terminal") + "\""),
              0);
    const std::string terminal = ReadBytes(dir / "terminal");
    EXPECT_NE(terminal.find("\rconv2img:   0% "), std::string::npos) << terminal;

    // In a pipe and a file: nothing on stderr.
    ASSERT_EQ(Shell(convert + "\"" + (dir / "pipe.img") + "\" 2> \"" + (dir / "pipe.err") + "\" | cat > \"" +
                    (dir / "pipe.out") + "\""),
              0);
    EXPECT_EQ(ReadBytes(dir / "pipe.err"), "");
    EXPECT_EQ(ReadBytes(dir / "pipe.out"), "creating new img file\r\ndisk_type=fixed\r\ndone\r\n");
    EXPECT_EQ(ReadBytes(dir / "tty.out"), ReadBytes(dir / "pipe.out"));
}

}  // namespace
#endif
