// The built program, run as a user runs it: exit statuses, the exact bytes
// on standard output and the report on standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "TempDir.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

ProgramRun Dravik(const TempDir& dir, const std::string& arguments)
{
    const std::string out = dir / "stdout";
    const std::string err = dir / "stderr";
    std::string command =
        std::string("\"") + DRAVIK_EXE + "\" " + arguments + " > \"" + out + "\" 2> \"" + err + "\"";
#ifdef _WIN32
    // cmd /c drops the first and the last quote of a line that starts with
    // one: one more pair keeps the quoted program path whole.
    command = "\"" + command + "\"";
    const int status = std::system(command.c_str());
#else
    int status = std::system(command.c_str());
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return {status, ReadBytes(out), ReadBytes(err)};
}

TEST(Cli, UsageAndUnknownWordsExitWithZero)
{
    TempDir dir;
    ProgramRun run = Dravik(dir, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("dravik 0.2 by ", 0), 0u);
    EXPECT_EQ(run.out.substr(run.out.size() - 29), "dravik info source_file.vhd\r\n");
    run = Dravik(dir, "help");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
}

TEST(Cli, EveryLineEndsWithOneCarriageReturnAndLineFeed)
{
    TempDir dir;
    const ProgramRun run = Dravik(dir, "");
    size_t lines = 0;
    for (size_t at = run.out.find('\n'); at != std::string::npos; at = run.out.find('\n', at + 1)) {
        ++lines;
        EXPECT_TRUE(at >= 1 && run.out[at - 1] == '\r') << at;
    }
    EXPECT_EQ(lines, 5u);
    EXPECT_EQ(run.out.find("\r\r"), std::string::npos);
}

TEST(Cli, AnInvalidSizeIsReportedOnStandardErrorWithStatusOne)
{
    TempDir dir;
    const ProgramRun run = Dravik(dir, "resize x.vhd 12abc");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "resizing vhd file to 12abc\r\n");
    ASSERT_GE(run.err.size(), 2u);
    const std::string body = run.err.substr(0, run.err.size() - 2);
    EXPECT_EQ(body.substr(body.rfind('\n') + 1), "'12abc' is not a valid integer value.");
}

TEST(Cli, Conv2vhdSucceedsAndFailsWithTheRightStatus)
{
    TempDir dir;
    WriteBytes(dir / "a.img", std::string(4096, 'a'));
    ProgramRun run = Dravik(dir, "conv2vhd \"" + (dir / "a.img") + "\" \"" + (dir / "a.vhd") + "\"");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "appending a 512bytes footer to the img file\r\ndone\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadBytes(dir / "a.vhd").size(), 4608u);

    run = Dravik(dir, "conv2vhd \"" + (dir / "missing.img") + "\" \"" + (dir / "b.vhd") + "\"");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "appending a 512bytes footer to the img file\r\ncould not createfile\r\ndone\r\n");
}

#ifdef _WIN32
TEST(Cli, TakesDriveLettersWithEitherSlash)
{
    TempDir dir;
    WriteBytes(dir / "c.img", std::string(1024, 'c'));
    std::string forward = dir / "c.img";
    std::replace(forward.begin(), forward.end(), '\\', '/');
    const ProgramRun run = Dravik(dir, "conv2vhd " + forward + " \"" + (dir / "c.vhd") + "\"");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(dir / "c.vhd").size(), 1536u);
}
#endif

TEST(Cli, Conv2imgSucceedsAndFailsWithTheRightStatus)
{
    TempDir dir;
    // A fixed VHD made by conv2vhd, back to its raw image.
    WriteBytes(dir / "a.img", std::string(4096, 'a'));
    ProgramRun run = Dravik(dir, "conv2vhd \"" + (dir / "a.img") + "\" \"" + (dir / "a.vhd") + "\"");
    ASSERT_EQ(run.status, 0);
    run = Dravik(dir, "conv2img \"" + (dir / "a.vhd") + "\" \"" + (dir / "b.img") + "\"");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "creating new img file\r\ndisk_type=fixed\r\ndone\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadBytes(dir / "b.img"), std::string(4096, 'a'));

    run = Dravik(dir, "conv2img \"" + (dir / "b.img") + "\" \"" + (dir / "c.img") + "\"");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "creating new img file\r\nfile is not a vhd file and/or a fixed hard disk\r\ndone\r\n");

    run = Dravik(dir, "conv2img \"" + (dir / "a.vhd") + "\" \"" + (dir / "a.vhd") + "\"");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "creating new img file\r\ndestination is the source file\r\ndone\r\n");
    EXPECT_EQ(ReadBytes(dir / "a.vhd").size(), 4608u);
}

}  // namespace
