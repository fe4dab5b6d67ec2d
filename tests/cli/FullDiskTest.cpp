// A disk that fills up under a command: the file size limit (RLIMIT_FSIZE,
// with SIGXFSZ ignored) makes every write past it fail as a full disk
// would. Each command must say so, exit with status 1 and leave its source
// as it was.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TempDir.h"
#include "VhdTestImages.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs dravik with files limited to `limitKiB` KiB.
Outcome RunLimited(const TempDir& dir, int limitKiB, const std::string& arguments)
{
    const std::string command = "bash -c 'trap \"\" XFSZ; ulimit -f " + std::to_string(limitKiB) + "; exec \"" +
                                DRAVIK_EXE + "\" " + arguments + "' > \"" + (dir / "out") + "\" 2> \"" +
                                (dir / "err") + "\"";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBytes(dir / "out"), ReadBytes(dir / "err")};
}

void PutDynamic(const std::string& path, const TestDynamic& image)
{
    WriteBytes(path, "");
    WriteDynamic(image, [&path](int64_t at, const std::string& bytes) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(at);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    });
}

TEST(FullDisk, EveryCommandReportsIt)
{
    TempDir dir;
    // A 10 MiB dynamic disk with two full blocks: about 4 MiB of file.
    PutDynamic(dir / "dynamic.vhd", PlainDynamic(10 << 20, {4, 1}));
    const std::string dynamic = ReadBytes(dir / "dynamic.vhd");

    Outcome run = RunLimited(dir, 3072, "conv2img \"" + (dir / "dynamic.vhd") + "\" \"" + (dir / "raw.img") + "\"");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("writefile error:File too large\r\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(dir / "dynamic.vhd"), dynamic);

    run = RunLimited(dir, 3072, "resize \"" + (dir / "dynamic.vhd") + "\" 20");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("WriteFile failed\r\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(dir / "dynamic.vhd"), dynamic);

    // A fixed disk of 1 MiB that cannot grow to 3 MiB: the old footer stays.
    WriteBytes(dir / "fixed.img", BlockData(9).substr(0, 1 << 20));
    ASSERT_EQ(RunLimited(dir, 4096, "conv2vhd \"" + (dir / "fixed.img") + "\" \"" + (dir / "fixed.vhd") + "\"").status,
              0);
    const std::string fixed = ReadBytes(dir / "fixed.vhd");
    run = RunLimited(dir, 2048, "resize \"" + (dir / "fixed.vhd") + "\" 3");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("WriteFile failed\r\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(dir / "fixed.vhd"), fixed);

    // A raw image exactly at the limit: no room for the footer.
    WriteBytes(dir / "full.img", std::string(1 << 20, 'f'));
    run = RunLimited(dir, 1024, "conv2vhd \"" + (dir / "full.img") + "\" \"" + (dir / "full.vhd") + "\"");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("WriteFile failed\r\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(dir / "full.img"), std::string(1 << 20, 'f'));
    EXPECT_FALSE(std::filesystem::exists(dir / "full.vhd"));
}

}  // namespace
#endif
