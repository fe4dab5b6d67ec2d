#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "FakePlatform.h"
#include "InProcess.h"
#include "UTypes/Report.h"
#include "UTypes/VhdCommands.h"
#include "VhdTestImages.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

std::string Progress(const std::string& size)
{
    return "resizing vhd file to " + size;
}

PutAt FakeWriter(const std::string& path)
{
    if (!FakeExists(path)) {
        FakePut(path, "");
    }
    return [path](int64_t position, const std::string& bytes) { FakePutAt(path, position, bytes); };
}

VirtualReader FakeDisk(const std::string& path)
{
    return VirtualReader([path](int64_t position, int64_t count) { return FakeRead(path, position, count); },
                         FakeLength(path));
}

HardDiskFooter FooterAt(const std::string& path, int64_t position)
{
    HardDiskFooter footer{};
    std::memcpy(&footer, FakeRead(path, position, 512).data(), 512);
    return footer;
}

// A fixed disk of `size` bytes of data and its footer.
void PutFixed(const std::string& path, int64_t size)
{
    FakeSetLength(path, size);
    FakePutAt(path, 0, "first");
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeFixed, size, 0);
    FakePutAt(path, size, Bytes(footer));
}

// ResizeVhd called directly, for sizes the front end never passes.
RunResult CallResize(const std::string& path, int64_t size)
{
    std::ostringstream out;
    std::ostringstream err;
    ReportBegin(out, err);
    ResizeVhd(path, size);
    return {RunFailed() ? 1 : 0, out.str(), err.str()};
}

class ResizeVhdTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }
    void TearDown() override { EXPECT_EQ(Fake().openHandles, 0); }
};

// ---- checks and silent failures ---------------------------------------------

TEST_F(ResizeVhdTest, SizesThatAreNotWholeSectorsAreRefusedUnopened)
{
    RunResult run = RunInProcess({"resize", "missing.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=-1", "mod 512 <>0", "done"}));
    EXPECT_EQ(run.status, 1);

    FakePut("odd.vhd", std::string(1000, 'x'));
    run = RunInProcess({"resize", "odd.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=1000", "mod 512 <>0", "done"}));
    EXPECT_EQ(run.status, 1);

    PutFixed("a.vhd", kMiB);
    Fake().log.clear();
    run = CallResize("a.vhd", 2 * kMiB + 100);
    EXPECT_EQ(run.out, Lines({"filesize=1049088", "mod 512 <>0"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Fake().log.empty());
}

TEST_F(ResizeVhdTest, FilesWithoutAFixedOrDynamicFooterAreLeftUnchanged)
{
    FakePut("empty.vhd", "");
    std::string differencing(1024, 'd');
    HardDiskFooter footer;
    BuildFooter(footer, 4, 512, 0);
    differencing.replace(512, 512, Bytes(footer));
    FakePut("diff.vhd", differencing);
    FakePut("blank.vhd", std::string(2048, '\0'));

    for (const auto& [name, size] : {std::pair{"empty.vhd", "0"}, {"diff.vhd", "1024"}, {"blank.vhd", "2048"}}) {
        const std::string before = FakeContents(name);
        const RunResult run = RunInProcess({"resize", name, "20"});
        EXPECT_EQ(run.out, Lines({Progress("20"), std::string("filesize=") + size, "done"})) << name;
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << name;
        EXPECT_TRUE(FakeContents(name) == before) << name;
    }
    EXPECT_FALSE(FakeExists("new.vhd"));

    PutFixed("locked.vhd", kMiB);
    Fake().failIf = [](const FakeCall& call) { return call.op == "open"; };
    const RunResult run = RunInProcess({"resize", "locked.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=1049088", "done"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("for reading and writing: injected failure"), std::string::npos);
}

// ---- fixed disks --------------------------------------------------------------

TEST_F(ResizeVhdTest, AGrownFixedDiskGetsItsFooterAtTheNewEndInTwoWrites)
{
    PutFixed("a.vhd", 10 * kMiB);
    Fake().log.clear();
    const RunResult run = RunInProcess({"resize", "a.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=10486272", "done"}));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(FakeLength("a.vhd"), 20972032);
    EXPECT_EQ(FakeRead("a.vhd", 0, 5), "first");
    EXPECT_EQ(FakeRead("a.vhd", 10 * kMiB, 10 * kMiB), std::string(10 * kMiB, '\0'));
    const HardDiskFooter footer = FooterAt("a.vhd", 20 * kMiB);
    EXPECT_EQ(RecogniseFooter(footer), kDiskTypeFixed);
    EXPECT_EQ(Swap64(footer.currentSize), uint64_t{20 * kMiB});
    EXPECT_EQ(footer.dataOffset, ~uint64_t{0});
    EXPECT_EQ(std::count_if(Fake().log.begin(), Fake().log.end(),
                            [](const std::string& call) { return call.rfind("write", 0) == 0; }),
              2);
}

TEST_F(ResizeVhdTest, TheNewFooterIsWrittenBeforeTheOldOneIsBlanked)
{
    PutFixed("a.vhd", 10 * kMiB);
    const HardDiskFooter old = FooterAt("a.vhd", 10 * kMiB);
    int writes = 0;
    Fake().failIf = [&writes](const FakeCall& call) { return call.op == "write" && ++writes == 2; };
    const RunResult run = RunInProcess({"resize", "a.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=10486272", "done"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("could not blank the old footer"), std::string::npos);
    EXPECT_EQ(FakeRead("a.vhd", 10 * kMiB, 512), Bytes(old));
    EXPECT_EQ(RecogniseFooter(FooterAt("a.vhd", 20 * kMiB)), kDiskTypeFixed);
}

TEST_F(ResizeVhdTest, TheSameSizeReplacesTheFooterInPlace)
{
    PutFixed("a.vhd", 10 * kMiB);
    const HardDiskFooter old = FooterAt("a.vhd", 10 * kMiB);
    EXPECT_EQ(RunInProcess({"resize", "a.vhd", "10"}).status, 0);
    EXPECT_EQ(FakeLength("a.vhd"), 10 * kMiB + 512);
    const HardDiskFooter now = FooterAt("a.vhd", 10 * kMiB);
    EXPECT_EQ(RecogniseFooter(now), kDiskTypeFixed);
    EXPECT_NE(std::memcmp(now.uniqueId, old.uniqueId, 16), 0);

    PutFixed("footer-only.vhd", 0);
    EXPECT_EQ(RunInProcess({"resize", "footer-only.vhd", "0"}).status, 0);
    EXPECT_EQ(FakeLength("footer-only.vhd"), 512);
    EXPECT_EQ(RecogniseFooter(FooterAt("footer-only.vhd", 0)), kDiskTypeFixed);
}

TEST_F(ResizeVhdTest, SmallerAndNegativeSizesAreRefusedUntouched)
{
    PutFixed("fixed.vhd", 10 * kMiB);
    const std::string fixed = FakeContents("fixed.vhd");
    WriteDynamic(PlainDynamic(10 * kMiB, {0}), FakeWriter("dyn.vhd"));
    const std::string dynamic = FakeContents("dyn.vhd");
    FakePut("new.vhd", "earlier");

    for (const char* size : {"9", "-1", "-2048"}) {
        RunResult run = RunInProcess({"resize", "fixed.vhd", size});
        EXPECT_EQ(run.out, Lines({Progress(size), "filesize=10486272", "new size smaller than current size", "done"}));
        EXPECT_EQ(run.status, 1);
        run = RunInProcess({"resize", "dyn.vhd", size});
        EXPECT_EQ(run.out, Lines({Progress(size), "filesize=" + std::to_string(dynamic.size()),
                                  "new size smaller than current size", "done"}));
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_TRUE(FakeContents("fixed.vhd") == fixed);
    EXPECT_TRUE(FakeContents("dyn.vhd") == dynamic);
    EXPECT_EQ(FakeContents("new.vhd"), "earlier");
}

TEST_F(ResizeVhdTest, AFixedFooterThatCannotBeWrittenLeavesTheFileAsItWas)
{
    PutFixed("a.vhd", 10 * kMiB);
    const std::string before = FakeContents("a.vhd");

    Fake().failIf = [](const FakeCall& call) { return call.op == "seek"; };
    RunResult run = RunInProcess({"resize", "a.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=10486272", "INVALID_SET_FILE_POINTER", "done"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(FakeContents("a.vhd") == before);

    for (const char* size : {"20", "10"}) {
        Fake().failIf = nullptr;
        Fake().shortIf = [](const FakeCall& call) { return call.op == "write"; };
        run = RunInProcess({"resize", "a.vhd", size});
        EXPECT_EQ(run.out, Lines({Progress(size), "filesize=10486272", "WriteFile failed", "done"})) << size;
        EXPECT_EQ(run.status, 1);
        Fake().shortIf = nullptr;
        EXPECT_TRUE(FakeContents("a.vhd") == before) << size;
    }
}

// ---- dynamic disks --------------------------------------------------------------

TEST_F(ResizeVhdTest, Rebuilds10MiBTo20MiBByteForByte)
{
    // Two blocks at sectors 4 and 4101, the second belonging to entry 0.
    WriteDynamic(PlainDynamic(10 * kMiB, {3, 0}), FakeWriter("dir/src.vhd"));
    const std::string source = FakeContents("dir/src.vhd");
    const RunResult run = RunInProcess({"resize", "dir/src.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=" + std::to_string(source.size()), "block_cnt=2", "done"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FakeContents("dir/src.vhd") == source);

    ASSERT_EQ(FakeLength("dir/new.vhd"), 4197888);
    const HardDiskFooter footer = FooterAt("dir/new.vhd", 0);
    EXPECT_EQ(FakeRead("dir/new.vhd", 4197376, 512), Bytes(footer));
    EXPECT_EQ(RecogniseFooter(footer), kDiskTypeDynamic);
    EXPECT_EQ(Swap64(footer.currentSize), uint64_t{20 * kMiB});
    EXPECT_EQ(Swap64(footer.dataOffset), 512u);
    DynamicDiskHeader expected;
    BuildDynamicHeader(expected, 10);
    EXPECT_EQ(FakeRead("dir/new.vhd", 512, 1024), Bytes(expected));
    std::string table(2048 - 1536, '\xFF');
    for (auto [index, sector] : {std::pair{0u, 4101u}, {3u, 4u}}) {
        const uint32_t stored = Swap32(sector);
        table.replace(4 * index, 4, std::string(reinterpret_cast<const char*>(&stored), 4));
    }
    EXPECT_EQ(FakeRead("dir/new.vhd", 1536, 512), table);
    EXPECT_TRUE(FakeRead("dir/new.vhd", 2048, 2 * kTestBlockBytes) == source.substr(2048, 2 * kTestBlockBytes));
}

struct Growth {
    int64_t oldMiB;
    int64_t newMiB;
    uint32_t entries;
    uint32_t shiftSectors;
};

class RebuildGrowthTest : public ResizeVhdTest, public testing::WithParamInterface<Growth> {};

TEST_P(RebuildGrowthTest, MovesEveryEntryWithItsBlock)
{
    const Growth growth = GetParam();
    WriteDynamic(PlainDynamic(growth.oldMiB * kMiB, {1, 4, 0}), FakeWriter("src.vhd"));
    const std::string source = FakeContents("src.vhd");
    const std::string size = std::to_string(growth.newMiB);
    const RunResult run = RunInProcess({"resize", "src.vhd", size});
    EXPECT_EQ(run.out, Lines({Progress(size), "filesize=" + std::to_string(source.size()), "block_cnt=3", "done"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FakeContents("src.vhd") == source);

    const VirtualReader before = FakeDisk("src.vhd");
    const VirtualReader after = FakeDisk("new.vhd");
    ASSERT_EQ(after.Table().size(), growth.entries);
    EXPECT_EQ(after.Size(), growth.newMiB * kMiB);
    for (uint32_t entry : {1u, 4u, 0u}) {
        EXPECT_EQ(Swap32(after.Table()[entry]), Swap32(before.Table()[entry]) + growth.shiftSectors) << entry;
    }
    EXPECT_EQ(FirstDifference(before, after, growth.newMiB * 2048), -1);
    const int64_t firstBlock = FirstBlockOffset(kTableOffset, growth.entries);
    EXPECT_EQ(FakeRead("new.vhd", 1536 + 4 * int64_t{growth.entries}, firstBlock - 1536 - 4 * growth.entries),
              std::string(static_cast<size_t>(firstBlock - 1536 - 4 * growth.entries), '\xFF'));
    EXPECT_EQ(FakeLength("new.vhd"), firstBlock + 3 * kTestBlockBytes + 512);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RebuildGrowthTest,
                         testing::Values(Growth{200, 300, 150, 1}, Growth{10, 256, 128, 0}, Growth{10, 1024, 512, 3},
                                         Growth{10, 10, 5, 0}, Growth{10, 21, 11, 0}));

TEST_F(ResizeVhdTest, ASourceWithoutBlocksGivesTablesAndFootersOnly)
{
    for (int64_t size : {10 * kMiB, kMiB}) {  // 1 MiB: no whole block, no entry
        FakeReset();
        WriteDynamic(PlainDynamic(size, {}), FakeWriter("src.vhd"));
        const RunResult run = RunInProcess({"resize", "src.vhd", "20"});
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("\r\nblock_cnt=0\r\n"), std::string::npos);
        ASSERT_EQ(FakeLength("new.vhd"), 2048 + 512);
        EXPECT_EQ(FakeRead("new.vhd", 1536, 512), std::string(512, '\xFF'));
        EXPECT_EQ(FakeRead("new.vhd", 2048, 512), FakeRead("new.vhd", 0, 512));
    }
}

TEST_F(ResizeVhdTest, NewVhdGoesBesideTheSourceAndReplacesAnEarlierOne)
{
    WriteDynamic(PlainDynamic(4 * kMiB, {1}), FakeWriter("src.vhd"));
    FakePut("new.vhd", "earlier");
    EXPECT_EQ(RunInProcess({"resize", "src.vhd", "4"}).status, 0);
    EXPECT_EQ(FakeLength("new.vhd"), 2048 + kTestBlockBytes + 512);

    // The source itself is never deleted.
    const std::string source = FakeContents("new.vhd");
    const RunResult run = RunInProcess({"resize", "new.vhd", "8"});
    EXPECT_EQ(run.out, Lines({Progress("8"), "filesize=" + std::to_string(source.size()), "source file is new.vhd",
                              "done"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(FakeContents("new.vhd") == source);
}

// qemu-img's layout: Current Size from a geometry, more entries than whole
// blocks, the table after a gap, blocks in the order they were written,
// with a gap, one running past the end of the file.
TEST_F(ResizeVhdTest, OtherLayoutsKeepEveryVirtualSector)
{
    TestDynamic image;
    image.currentSize = 21 * kMiB - 7 * 512;
    image.entries = 11;
    image.tableOffset = 2048;
    const int64_t base = 3072;
    image.blocks = {{7, base, 0xFF, 1},
                    {2, base + kTestBlockBytes, 0xA5, 2},
                    {10, base + 3 * kTestBlockBytes, 0x0F, 3},
                    {0, base + 4 * kTestBlockBytes, 0xFF, 4}};
    image.length = base + 4 * kTestBlockBytes + 512 + kMiB + 512;  // block 0 ends after 1 MiB of data
    WriteDynamic(image, FakeWriter("src.vhd"));
    FakeSetLength("src.vhd", image.length);
    const std::string source = FakeContents("src.vhd");

    const RunResult run = RunInProcess({"resize", "src.vhd", "22"});
    EXPECT_EQ(run.out, Lines({Progress("22"), "filesize=" + std::to_string(source.size()), "block_cnt=4", "done"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FakeContents("src.vhd") == source);
    const VirtualReader after = FakeDisk("new.vhd");
    ASSERT_EQ(after.Table().size(), 11u);
    // Packed in file order from 2048, each entry naming its own block.
    EXPECT_EQ(Swap32(after.Table()[7]), 4u);
    EXPECT_EQ(Swap32(after.Table()[2]), 4u + 4097);
    EXPECT_EQ(Swap32(after.Table()[10]), 4u + 2 * 4097);
    EXPECT_EQ(Swap32(after.Table()[0]), 4u + 3 * 4097);
    EXPECT_EQ(FakeLength("new.vhd"), 2048 + 4 * kTestBlockBytes + 512);
    EXPECT_EQ(FirstDifference(FakeDisk("src.vhd"), after, 22 * 2048), -1);
    // What the source cannot supply reads as zeros.
    EXPECT_EQ(after.Sector(2048 + 2048), std::string(512, '\0'));
    EXPECT_NE(after.Sector(2047), std::string(512, '\0'));
}

TEST_F(ResizeVhdTest, UnknownLayoutsAreRefusedBeforeNewVhdIsTouched)
{
    const std::vector<std::function<void(DynamicDiskHeader&)>> breakages{
        [](DynamicDiskHeader& header) { header.cookie[0] = 'C'; },
        [](DynamicDiskHeader& header) { header.blockSize = Swap32(2 * kBlockSize); },
        [](DynamicDiskHeader& header) { header.maxTableEntries = Swap32(1u << 20); },  // 4 MiB of table
        [](DynamicDiskHeader& header) { header.tableOffset = Swap64(uint64_t{1} << 63); },
    };
    for (const auto& breakage : breakages) {
        FakeReset();
        FakePut("new.vhd", "earlier");
        WriteDynamic(PlainDynamic(4 * kMiB, {0}), FakeWriter("src.vhd"));
        DynamicDiskHeader header;
        std::memcpy(&header, FakeRead("src.vhd", 512, 1024).data(), 1024);
        breakage(header);
        FakePutAt("src.vhd", 512, Bytes(header));
        const std::string source = FakeContents("src.vhd");
        const RunResult run = RunInProcess({"resize", "src.vhd", "8"});
        EXPECT_EQ(run.out, Lines({Progress("8"), "filesize=" + std::to_string(source.size()),
                                  "unsupported dynamic disk layout", "done"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(FakeContents("new.vhd"), "earlier");
        EXPECT_TRUE(FakeContents("src.vhd") == source);
    }

    // A Data Offset past the end of the file: no header there.
    FakeReset();
    const int64_t length = WriteDynamic(PlainDynamic(4 * kMiB, {0}), FakeWriter("src.vhd"));
    HardDiskFooter footer;
    BuildFooter(footer, kDiskTypeDynamic, 4 * kMiB, int64_t{1} << 40);
    FakePutAt("src.vhd", length - 512, Bytes(footer));
    EXPECT_NE(RunInProcess({"resize", "src.vhd", "8"}).out.find("unsupported dynamic disk layout"), std::string::npos);
    EXPECT_FALSE(FakeExists("new.vhd"));
}

TEST_F(ResizeVhdTest, NewSizesThatAreNotWholeMultiplesOf2048AreRefused)
{
    WriteDynamic(PlainDynamic(4 * kMiB, {0}), FakeWriter("src.vhd"));
    const RunResult run = CallResize("src.vhd", 8 * kMiB + 512);
    EXPECT_EQ(run.out, Lines({"filesize=" + std::to_string(FakeLength("src.vhd")), "mod 2048<>0"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(FakeExists("new.vhd"));
}

// ---- failures during the rebuild ----------------------------------------------------

TEST_F(ResizeVhdTest, EveryPieceThatCannotBeWrittenIsReportedInOrder)
{
    WriteDynamic(PlainDynamic(10 * kMiB, {3, 0}), FakeWriter("src.vhd"));
    // Footer and header go through; everything after fails, large writes
    // and pieces alike.
    int writes = 0;
    Fake().failIf = [&writes](const FakeCall& call) { return call.op == "write" && call.path == "new.vhd" && ++writes > 2; };
    const RunResult run = RunInProcess({"resize", "src.vhd", "20"});
    std::vector<std::string> lines{Progress("20"), "filesize=" + std::to_string(FakeLength("src.vhd"))};
    lines.insert(lines.end(), 5, "WriteFile failed");    // the source's entries
    lines.push_back("block_cnt=2");
    lines.insert(lines.end(), 123, "WriteFile failed");  // appended and filling entries
    lines.insert(lines.end(), 4, "WriteFile failed");    // two bitmaps, two data areas
    lines.push_back("WriteFile failed");                 // closing footer
    lines.push_back("done");
    EXPECT_EQ(run.out, Lines(lines));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(FakeLength("new.vhd"), 1536);
}

TEST_F(ResizeVhdTest, AFailedLargeWriteIsRedonePieceByPiece)
{
    WriteDynamic(PlainDynamic(10 * kMiB, {3, 0}), FakeWriter("src.vhd"));
    // The table write and the first large block write fail once each;
    // every piece after them succeeds.
    int writes = 0;
    Fake().failIf = [&writes](const FakeCall& call) {
        return call.op == "write" && call.path == "new.vhd" && (++writes == 3 || writes == 4 + 128);
    };
    const RunResult run = RunInProcess({"resize", "src.vhd", "20"});
    EXPECT_EQ(run.out, Lines({Progress("20"), "filesize=" + std::to_string(FakeLength("src.vhd")), "block_cnt=2",
                              "done"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(FirstDifference(FakeDisk("src.vhd"), FakeDisk("new.vhd"), 20 * 2048), -1);
}

TEST_F(ResizeVhdTest, ANewFileThatCannotBeCreatedFailsEveryWrite)
{
    WriteDynamic(PlainDynamic(4 * kMiB, {1}), FakeWriter("src.vhd"));
    FakeMakeSpecial("new.vhd", FakeFile::Kind::Directory);
    const RunResult run = RunInProcess({"resize", "src.vhd", "4"});
    // footer, header, 128 table entries, a bitmap, a data area, the footer
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), 'W'), 133);
    EXPECT_NE(run.err.find("could not create new.vhd"), std::string::npos);
    EXPECT_EQ(run.status, 1);
}

TEST_F(ResizeVhdTest, NoBlockBufferEndsTheRunWithOutOfMemory)
{
    WriteDynamic(PlainDynamic(4 * kMiB, {1}), FakeWriter("src.vhd"));
    Fake().allocLimit = kMiB;
    const RunResult run = RunInProcess({"resize", "src.vhd", "4"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({Progress("4"), "filesize=" + std::to_string(FakeLength("src.vhd")), "block_cnt=1"}));
    EXPECT_EQ(run.err.substr(run.err.size() - 16), "Out of memory.\r\n");
    EXPECT_EQ(FakeLength("new.vhd"), 2048);  // footer, header and table stay
}

}  // namespace
