#include <gtest/gtest.h>

#include <cstring>

#include "FakePlatform.h"
#include "InProcess.h"
#include "UTypes/VhdRecords.h"

namespace {

const std::string kProgress = "appending a 512bytes footer to the img file";

class ConvertToVhdTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }

    static HardDiskFooter FooterAt(const std::string& path, int64_t position)
    {
        HardDiskFooter footer;
        const std::string bytes = FakeRead(path, position, 512);
        EXPECT_EQ(bytes.size(), 512u);
        std::memcpy(&footer, bytes.data(), std::min<size_t>(bytes.size(), 512));
        return footer;
    }

    static std::string Pattern(size_t size)
    {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>(i * 7 + i / 512);
        }
        return data;
    }
};

TEST_F(ConvertToVhdTest, AppendsTheFooterAndRenames)
{
    const std::string raw = Pattern(1048576);
    FakePut("disk.img", raw);
    const RunResult run = RunInProcess({"conv2vhd", "disk.img", "disk.vhd"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(FakeExists("disk.img"));
    ASSERT_EQ(FakeLength("disk.vhd"), 1049088);
    EXPECT_EQ(FakeRead("disk.vhd", 0, 1048576), raw);

    const HardDiskFooter footer = FooterAt("disk.vhd", 1048576);
    EXPECT_EQ(RecogniseFooter(footer), kDiskTypeFixed);
    EXPECT_EQ(Swap64(footer.currentSize), 1048576u);
    EXPECT_EQ(Swap64(footer.originalSize), 1048576u);
    EXPECT_EQ(footer.dataOffset, ~uint64_t{0});
    EXPECT_EQ(Swap16(footer.cylinders), 3u);
    HardDiskFooter copy = footer;
    copy.checksum = 0;
    EXPECT_EQ(Swap32(footer.checksum), VhdChecksum(&copy, 512));
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ConvertToVhdTest, EmptyOddAndAlreadyConvertedImagesGetAFooterAtTheirEnd)
{
    FakePut("empty.img", "");
    FakePut("odd.img", Pattern(1000));
    EXPECT_EQ(RunInProcess({"conv2vhd", "empty.img", "empty.vhd"}).status, 0);
    EXPECT_EQ(RunInProcess({"conv2vhd", "odd.img", "odd.vhd"}).status, 0);

    ASSERT_EQ(FakeLength("empty.vhd"), 512);
    HardDiskFooter footer = FooterAt("empty.vhd", 0);
    EXPECT_EQ(footer.currentSize, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&footer) + 56, 4), std::string("\x00\x01\x10\x3F", 4));

    ASSERT_EQ(FakeLength("odd.vhd"), 1512);
    EXPECT_EQ(Swap64(FooterAt("odd.vhd", 1000).currentSize), 1000u);

    // The source is not examined: a second conversion appends a second footer.
    EXPECT_EQ(RunInProcess({"conv2vhd", "odd.vhd", "twice.vhd"}).status, 0);
    ASSERT_EQ(FakeLength("twice.vhd"), 2024);
    EXPECT_EQ(Swap64(FooterAt("twice.vhd", 1512).currentSize), 1512u);
}

TEST_F(ConvertToVhdTest, PlacesTheFooterOfALargeImageAtItsFull64BitLength)
{
    FakeSetLength("big.img", 5368709120);
    FakePutAt("big.img", 5368709120 - 3, "end");
    EXPECT_EQ(RunInProcess({"conv2vhd", "big.img", "big.vhd"}).status, 0);
    ASSERT_EQ(FakeLength("big.vhd"), 5368709632);
    EXPECT_EQ(FakeRead("big.vhd", 5368709120 - 3, 3), "end");
    const HardDiskFooter footer = FooterAt("big.vhd", 5368709120);
    EXPECT_EQ(Swap64(footer.currentSize), 5368709120u);
    EXPECT_EQ(footer.heads, 16);
    EXPECT_EQ(Swap16(footer.cylinders), 10403u);  // 10,485,760 sectors / 16 / 63, plus one
}

TEST_F(ConvertToVhdTest, MissingSourcesAndNonRegularFilesAreNeverCreatedOrWritten)
{
    RunResult run = RunInProcess({"conv2vhd", "missing.img", "x.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "could not createfile", "done"}));
    EXPECT_FALSE(FakeExists("missing.img"));
    EXPECT_FALSE(FakeExists("x.vhd"));

    FakeMakeSpecial("/dev/sdb1", FakeFile::Kind::Device);
    run = RunInProcess({"conv2vhd", "/dev/sdb1", "x.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "could not createfile", "done"}));
    EXPECT_EQ(FakeLength("/dev/sdb1"), 0);
    EXPECT_FALSE(FakeExists("x.vhd"));
}

TEST_F(ConvertToVhdTest, AnEmptySourceArgumentTouchesNothing)
{
    FakePut("keep.img", "data");
    const RunResult run = RunInProcess({"conv2vhd", "", "x.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_EQ(run.err, "dravik: no source file given\r\n");
    EXPECT_EQ(Fake().log.size(), 0u);
}

TEST_F(ConvertToVhdTest, AnExistingDestinationIsNeverReplaced)
{
    FakePut("a.img", Pattern(2048));
    FakePut("b.vhd", "precious");
    const RunResult run = RunInProcess({"conv2vhd", "a.img", "b.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_EQ(run.err, "dravik: could not rename a.img to b.vhd: file exists\r\n");
    EXPECT_EQ(FakeContents("b.vhd"), "precious");
    EXPECT_EQ(FakeLength("a.img"), 2560);  // the footer stays; the name does too
    EXPECT_EQ(FakeRead("a.img", 0, 2048), Pattern(2048));
}

TEST_F(ConvertToVhdTest, AnEmptyDestinationLeavesTheConvertedFileUnderItsName)
{
    FakePut("a.img", Pattern(512));
    const RunResult run = RunInProcess({"conv2vhd", "a.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_NE(run.err.find("no destination given"), std::string::npos);
    EXPECT_EQ(FakeLength("a.img"), 1024);
}

TEST_F(ConvertToVhdTest, AShortFooterWriteIsCutBackAndNotRenamed)
{
    FakePut("a.img", Pattern(4096));
    Fake().shortIf = [](const FakeCall& call) { return call.op == "write"; };
    const RunResult run = RunInProcess({"conv2vhd", "a.img", "a.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "WriteFile failed", "done"}));
    EXPECT_NE(run.err.find("no space left on device"), std::string::npos);
    EXPECT_EQ(FakeContents("a.img"), Pattern(4096));
    EXPECT_FALSE(FakeExists("a.vhd"));
}

TEST_F(ConvertToVhdTest, AFailedCutBackIsReportedToo)
{
    FakePut("a.img", Pattern(4096));
    Fake().failIf = [](const FakeCall& call) { return call.op == "write" || call.op == "setlength"; };
    const RunResult run = RunInProcess({"conv2vhd", "a.img", "a.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "WriteFile failed", "done"}));
    EXPECT_NE(run.err.find("could not cut a.img back to its original length: injected failure"), std::string::npos);
    EXPECT_FALSE(FakeExists("a.vhd"));
}

TEST_F(ConvertToVhdTest, AFailedMoveToTheEndWritesNothing)
{
    FakePut("a.img", Pattern(4096));
    Fake().failIf = [](const FakeCall& call) { return call.op == "seekend"; };
    const RunResult run = RunInProcess({"conv2vhd", "a.img", "a.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "SetFilePointer failed,injected failure", "done"}));
    EXPECT_EQ(FakeContents("a.img"), Pattern(4096));
    EXPECT_FALSE(FakeExists("a.vhd"));
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ConvertToVhdTest, EveryFailingCallLeavesEitherTheRawImageOrTheFinishedVhd)
{
    const std::string raw = Pattern(8192);
    for (int64_t failing = 1;; ++failing) {
        FakeReset();
        FakePut("a.img", raw);
        Fake().failIf = [failing](const FakeCall& call) { return call.number == failing; };
        const RunResult run = RunInProcess({"conv2vhd", "a.img", "a.vhd"});
        if (Fake().calls < failing) {
            EXPECT_EQ(run.status, 0);
            break;
        }
        EXPECT_EQ(run.status, 1) << "call " << failing;
        EXPECT_EQ(Fake().openHandles, 0);
        if (FakeExists("a.vhd")) {
            ADD_FAILURE() << "renamed although call " << failing << " failed";
        } else {
            const int64_t length = FakeLength("a.img");
            EXPECT_TRUE(length == 8192 || length == 8704) << "call " << failing;
            EXPECT_EQ(FakeRead("a.img", 0, 8192), raw);
        }
    }
}

}  // namespace
