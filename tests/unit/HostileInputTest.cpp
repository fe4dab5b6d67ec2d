// Images built to make dravik work or allocate without bound: each one
// here is an input that a fuzz target found or that a limit was made for.
#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "InProcess.h"
#include "VhdTestImages.h"

namespace {

// A 3.5 KiB dynamic image whose header claims 2^32 - 1 entries and whose
// table, as far as the file holds it, points its first 384 blocks at
// sector 0 (the rest of what the file holds is its closing footer).
std::string EntriesAtSectorZero()
{
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeDynamic, int64_t{6} << 20, 512);
    DynamicDiskHeader header;
    BuildDynamicHeader(header, 0xFFFFFFFF);
    return Bytes(footer) + Bytes(header) + std::string(1536, '\0') + Bytes(footer);
}

TEST(HostileInput, ClaimedEntriesCostNothingBeyondWhatTheFileHolds)
{
    FakeReset();
    FakePut("in.vhd", EntriesAtSectorZero());
    Fake().allocLimit = 1 << 20;  // the 512 entries in the file need 2 KiB
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.out, Lines({"creating new img file", "disk_type=dynamic", "done"}));
    EXPECT_EQ(FakeLength("out.img"), int64_t{0xFFFFFFFF} * (2 << 20));
    EXPECT_LT(Fake().calls, 20000);  // a few calls per block the file holds
    // Every block is sector 0's bitmap over the file's few sectors.
    EXPECT_EQ(FakeRead("out.img", 383ll * (2 << 20), 4096), FakeRead("out.img", 0, 4096));
}

TEST(HostileInput, ARebuildRefusesATableLargerThanItsFile)
{
    FakeReset();
    FakePut("in.vhd", EntriesAtSectorZero());
    Fake().allocLimit = 1 << 20;
    const RunResult run = RunInProcess({"resize", "in.vhd", "64"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("unsupported dynamic disk layout\r\n"), std::string::npos) << run.out;
    EXPECT_FALSE(FakeExists("new.vhd"));
}

}  // namespace

namespace {

TEST(HostileInput, ARebuildRefusesBlocksThatShareBytes)
{
    FakeReset();
    TestDynamic image = PlainDynamic(6 << 20, {0, 1});
    image.blocks[1].position = image.blocks[0].position + 4096;  // overlaps its neighbour
    WriteDynamic(image, [](int64_t at, const std::string& bytes) { FakePutAt("in.vhd", at, bytes); });
    const RunResult run = RunInProcess({"resize", "in.vhd", "8"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("unsupported dynamic disk layout\r\n"), std::string::npos) << run.out;
    EXPECT_FALSE(FakeExists("new.vhd"));
}

}  // namespace
