// conv2vhd on real files, through the real platform layer.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <vector>

#include "InProcess.h"
#include "TempDir.h"
#include "UTypes/VhdRecords.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgress = "appending a 512bytes footer to the img file";

HardDiskFooter FooterAt(const std::string& path, int64_t position)
{
    HardDiskFooter footer{};
    const std::string bytes = ReadBytes(path, position, 512);
    std::memcpy(&footer, bytes.data(), std::min<size_t>(bytes.size(), sizeof footer));
    return footer;
}

TEST(ConvertToVhdSystem, ConvertsAFiveGibibyteSparseImageInPlace)
{
    TempDir dir;
    const std::string raw = dir / "disk.img";
    WriteBytes(raw, "first sector");
    fs::resize_file(raw, 5368709120);
    const RunResult run = RunInProcess({"conv2vhd", raw, dir / "disk.vhd"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_FALSE(fs::exists(raw));
    ASSERT_EQ(fs::file_size(dir / "disk.vhd"), 5368709632u);
    EXPECT_EQ(ReadBytes(dir / "disk.vhd", 0, 12), "first sector");
    const HardDiskFooter footer = FooterAt(dir / "disk.vhd", 5368709120);
    EXPECT_EQ(RecogniseFooter(footer), kDiskTypeFixed);
    EXPECT_EQ(Swap64(footer.currentSize), 5368709120u);
}

TEST(ConvertToVhdSystem, LeavesAnExistingDestinationAlone)
{
    TempDir dir;
    WriteBytes(dir / "a.img", std::string(1024, 'a'));
    WriteBytes(dir / "b.vhd", "precious");
    const RunResult run = RunInProcess({"conv2vhd", dir / "a.img", dir / "b.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    const std::string said = "dravik: could not rename " + (dir / "a.img") + " to " + (dir / "b.vhd") + ": ";
    EXPECT_EQ(run.err.substr(0, said.size()), said);
#ifndef _WIN32
    EXPECT_EQ(run.err.substr(said.size()), "File exists\r\n");
#else
    EXPECT_GT(run.err.size(), said.size() + 2);  // the system's text
#endif
    EXPECT_EQ(ReadBytes(dir / "b.vhd"), "precious");
    EXPECT_EQ(fs::file_size(dir / "a.img"), 1536u);
}

TEST(ConvertToVhdSystem, RefusesDirectoriesAndPipesWithoutMovingThem)
{
    TempDir dir;
    fs::create_directory(dir / "sub");
    std::vector<std::string> names = {"sub"};
#ifndef _WIN32
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    names.push_back("fifo");
#endif
    for (const std::string& name : names) {
        const RunResult run = RunInProcess({"conv2vhd", dir / name, dir / "x.vhd"});
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(run.out, Lines({kProgress, "could not createfile", "done"})) << name;
        EXPECT_TRUE(fs::exists(dir / name)) << name;
        EXPECT_FALSE(fs::exists(dir / "x.vhd")) << name;
    }
}

TEST(ConvertToVhdSystem, ARenameIntoAnotherDirectoryMovesTheFile)
{
    TempDir dir;
    fs::create_directory(dir / "out");
    WriteBytes(dir / "a.img", std::string(512, 'z'));
    EXPECT_EQ(RunInProcess({"conv2vhd", dir / "a.img", dir / "out/a.vhd"}).status, 0);
    EXPECT_EQ(fs::file_size(dir / "out/a.vhd"), 1024u);
    EXPECT_FALSE(fs::exists(dir / "a.img"));
}

}  // namespace
