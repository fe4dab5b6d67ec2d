// conv2img over the in-memory platform: the raw export and the
// rules dravik adds for safety, with fault injection that shows the large
// transfers print exactly what the plain piece-by-piece steps print.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>

#include "FakePlatform.h"
#include "InProcess.h"
#include "UTypes/VhdRecords.h"

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kBlock = 2 * kMiB;
const std::string kProgress = "creating new img file";

std::string Be32(uint32_t value)
{
    const uint32_t stored = Swap32(value);
    return std::string(reinterpret_cast<const char*>(&stored), 4);
}

std::string FooterBytes(uint32_t diskType, int64_t size, int64_t dataOffset)
{
    HardDiskFooter footer;
    BuildFooter(footer, static_cast<int32_t>(diskType), size, dataOffset);
    return std::string(reinterpret_cast<const char*>(&footer), sizeof footer);
}

std::string HeaderBytes(uint64_t tableOffset, uint32_t maxEntries, uint32_t blockSize,
                        const char* cookie = "cxsparse")
{
    DynamicDiskHeader header;
    BuildDynamicHeader(header, maxEntries);
    std::memcpy(header.cookie, cookie, std::min<size_t>(std::strlen(cookie) + 1, 8));
    header.tableOffset = Swap64(tableOffset);
    header.blockSize = Swap32(blockSize);
    return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

// Bytes that differ from sector to sector and are never zero.
std::string Pattern(int64_t size, int seed)
{
    static std::map<std::pair<int64_t, int>, std::string> made;  // Debug builds are slow to fill megabytes
    std::string& data = made[{size, seed}];
    if (data.empty()) {
        data.resize(static_cast<size_t>(size));
        for (int64_t i = 0; i < size; ++i) {
            data[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 512 * 13 + seed * 31) % 251 + 1);
        }
    }
    return data;
}

std::string Zeros(int64_t size)
{
    return std::string(static_cast<size_t>(size), '\0');
}

int64_t Count(const std::string& logLine)
{
    return std::count(Fake().log.begin(), Fake().log.end(), logLine);
}

// A dynamic VHD in the fake: footer copy at 0, header at 512, the given
// table entries at `tableOffset`, the trailing footer at `length` - 512.
struct Dynamic {
    std::vector<uint32_t> table;
    uint32_t maxEntries = 0;
    uint32_t blockSize = kBlock;
    uint64_t tableOffset = 1536;
    int64_t length = 0;
};

void PutDynamic(const std::string& path, const Dynamic& disk)
{
    FakePut(path, FooterBytes(kDiskTypeDynamic, disk.maxEntries * kBlock, 512));
    FakePutAt(path, 512, HeaderBytes(disk.tableOffset, disk.maxEntries, disk.blockSize));
    std::string table;
    for (const uint32_t entry : disk.table) {
        table += Be32(entry);
    }
    FakePutAt(path, static_cast<int64_t>(disk.tableOffset), table);
    FakeSetLength(path, disk.length - 512);
    FakePutAt(path, disk.length - 512, FooterBytes(kDiskTypeDynamic, disk.maxEntries * kBlock, 512));
}

// An allocated block at sector `sector`: its bitmap, then its data.
void PutBlock(const std::string& path, uint32_t sector, const std::string& bitmap, const std::string& data)
{
    FakePutAt(path, int64_t{sector} * 512, bitmap);
    FakePutAt(path, int64_t{sector} * 512 + 512, data);
}

std::string Bitmap(std::initializer_list<std::pair<int, uint8_t>> bytes)
{
    std::string bitmap = Zeros(512);
    for (const auto& [index, value] : bytes) {
        bitmap[static_cast<size_t>(index)] = static_cast<char>(value);
    }
    return bitmap;
}

// Blocks laid out one after another from sector 8 (byte 4,096) on.
uint32_t BlockSector(int k)
{
    return 8 + static_cast<uint32_t>(k) * 4097;
}

int64_t LengthFor(int blocks)
{
    return 4096 + blocks * (512 + kBlock) + 512;
}

class ConvertToImgTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }
};

// ---- IntToBinStr -------------------------------------------------------------

TEST(IntToBinStr, GivesTheDigitsWithoutLeadingZerosExceptForZero)
{
    EXPECT_EQ(IntToBinStr(5), "101");
    EXPECT_EQ(IntToBinStr(1), "1");
    EXPECT_EQ(IntToBinStr(128), "10000000");
    EXPECT_EQ(IntToBinStr(255), "11111111");
    EXPECT_EQ(IntToBinStr(-6), "110");
    EXPECT_EQ(IntToBinStr(INT32_MIN), "1" + std::string(31, '0'));
    EXPECT_EQ(IntToBinStr(INT32_MAX), std::string(31, '1'));
    EXPECT_EQ(IntToBinStr(0), std::string(32, '0'));
}

TEST(IntToBinStr, PaddedToEightDigitsItWalksABitmapByteMostSignificantBitFirst)
{
    for (int value = 0; value < 256; ++value) {
        std::string digits = IntToBinStr(value);
        while (digits.size() < 8) {
            digits.insert(0, "0");
        }
        for (int bit = 0; bit < 8; ++bit) {
            EXPECT_EQ(digits[static_cast<size_t>(bit)] == '1', (value & (0x80 >> bit)) != 0) << value << " " << bit;
        }
    }
}

// ---- common part and recognition ----------------------------------------------

TEST_F(ConvertToImgTest, AFixedTenMebibyteDiskBecomesItsDataAndPrintsThreeLines)
{
    const std::string data = Pattern(10 * kMiB, 1);
    FakePut("in.vhd", data + FooterBytes(kDiskTypeFixed, 10 * kMiB, 0));
    ASSERT_EQ(FakeLength("in.vhd"), 10486272);
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(FakeLength("out.img"), 10485760);
    EXPECT_EQ(FakeContents("out.img"), data);
    EXPECT_EQ(Fake().openHandles, 0);
    EXPECT_EQ(Fake().allocated, 0u);
}

TEST_F(ConvertToImgTest, AFooterOnlySourceGivesAnEmptyImage)
{
    FakePut("in.vhd", FooterBytes(kDiskTypeFixed, 0, 0));
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));
    EXPECT_TRUE(FakeExists("out.img"));
    EXPECT_EQ(FakeLength("out.img"), 0);
}

TEST_F(ConvertToImgTest, AnEmptySourceIsNoVhdAndCreatesNothing)
{
    FakePut("in.vhd", "");
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "file is not a vhd file and/or a fixed hard disk", "done"}));
    EXPECT_FALSE(FakeExists("out.img"));
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ConvertToImgTest, AMissingOrOddSizedSourceFailsTheSizeCheckAfterTheOldDestinationWent)
{
    FakePut("out.img", "old");
    RunResult run = RunInProcess({"conv2img", "missing.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "mod 512 <>0", "done"}));
    EXPECT_FALSE(FakeExists("out.img"));

    FakePut("odd.vhd", Pattern(1000, 2));
    FakePut("out.img", "old");
    run = RunInProcess({"conv2img", "odd.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "mod 512 <>0", "done"}));
    EXPECT_FALSE(FakeExists("out.img"));
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ConvertToImgTest, AnOldDestinationIsReplaced)
{
    FakePut("in.vhd", Pattern(4096, 3) + FooterBytes(kDiskTypeFixed, 4096, 0));
    FakePut("out.img", Pattern(100000, 4));
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(FakeContents("out.img"), Pattern(4096, 3));
}

TEST_F(ConvertToImgTest, ADestinationNamingTheSourceIsRefusedBeforeAnythingIsDeleted)
{
    const std::string vhd = Pattern(4096, 5) + FooterBytes(kDiskTypeFixed, 4096, 0);
    FakePut("in.vhd", vhd);
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "in.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "destination is the source file", "done"}));
    EXPECT_EQ(FakeContents("in.vhd"), vhd);
    EXPECT_EQ(Count("remove in.vhd"), 0);
}

TEST_F(ConvertToImgTest, ADirectoryOrDeviceDestinationIsNeverDeletedAndTheCreationFailureIsReported)
{
    FakePut("in.vhd", Pattern(102400, 6) + FooterBytes(kDiskTypeFixed, 102400, 0));
    FakeMakeSpecial("/dev/sda", FakeFile::Kind::Device);
    FakeMakeSpecial("dir", FakeFile::Kind::Directory);
    for (const char* destination : {"/dev/sda", "dir"}) {
        const RunResult run = RunInProcess({"conv2img", "in.vhd", destination});
        EXPECT_EQ(run.status, 1);
        // The loop's first chunk is read, and its write cannot succeed.
        EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "writefile error:file exists", "done"}));
        EXPECT_EQ(run.err, "dravik: could not create " + std::string(destination) + ": file exists\r\n");
        EXPECT_TRUE(FakeExists(destination));
        EXPECT_EQ(FakeLength(destination), 0);
    }
}

TEST_F(ConvertToImgTest, ADestinationThatCannotBeCreatedForAFooterOnlySourceStillFails)
{
    FakePut("in.vhd", FooterBytes(kDiskTypeFixed, 0, 0));
    const RunResult run = RunInProcess({"conv2img", "in.vhd", ""});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));  // the loop reads 0 bytes and stops
    EXPECT_NE(run.err.find("could not create"), std::string::npos);
}

// The first and last records of an 8 KiB file: header A at 512 claims one
// entry, header B at 2048 two, both with the table at 4096 (unallocated),
// so the image's length tells which header was used.
enum class Record { DynamicA, DynamicB, Fixed, Zeros, Type4, CapitalCookie };

std::string RecordBytes(Record record)
{
    switch (record) {
    case Record::DynamicA: return FooterBytes(kDiskTypeDynamic, 2 * kMiB, 512);
    case Record::DynamicB: return FooterBytes(kDiskTypeDynamic, 4 * kMiB, 2048);
    case Record::Fixed: return FooterBytes(kDiskTypeFixed, 7680, 0);
    case Record::Zeros: return Zeros(512);
    case Record::Type4: return FooterBytes(4, 7680, 0);
    case Record::CapitalCookie: {
        std::string footer = FooterBytes(kDiskTypeFixed, 7680, 0);
        footer[0] = 'C';
        return footer;
    }
    }
    return {};
}

struct RecognitionCase {
    Record first;
    Record last;
    const char* kind;  // "fixed", "A", "B" or "none"
};

class RecognitionTest : public testing::TestWithParam<RecognitionCase> {
protected:
    void SetUp() override { FakeReset(); }
};

TEST_P(RecognitionTest, TheLastRecordWins)
{
    const RecognitionCase& c = GetParam();
    FakePut("in.vhd", RecordBytes(c.first));
    FakePutAt("in.vhd", 512, HeaderBytes(4096, 1, kBlock));
    FakePutAt("in.vhd", 2048, HeaderBytes(4096, 2, kBlock));
    FakePutAt("in.vhd", 4096, Be32(kUnallocatedEntry) + Be32(kUnallocatedEntry));
    FakePutAt("in.vhd", 7680, RecordBytes(c.last));
    const std::string kind = c.kind;
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    if (kind == "none") {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, Lines({kProgress, "file is not a vhd file and/or a fixed hard disk", "done"}));
        EXPECT_FALSE(FakeExists("out.img"));
    } else if (kind == "fixed") {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));
        EXPECT_EQ(FakeContents("out.img"), FakeRead("in.vhd", 0, 7680));
    } else {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
        EXPECT_EQ(FakeLength("out.img"), kind == "A" ? 2 * kMiB : 4 * kMiB);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecognitionTest,
    testing::Values(RecognitionCase{Record::DynamicA, Record::DynamicB, "B"},
                    RecognitionCase{Record::DynamicA, Record::Fixed, "fixed"},
                    RecognitionCase{Record::DynamicA, Record::Zeros, "A"},
                    RecognitionCase{Record::DynamicA, Record::Type4, "A"},
                    RecognitionCase{Record::DynamicA, Record::CapitalCookie, "A"},
                    RecognitionCase{Record::Zeros, Record::Fixed, "fixed"},
                    RecognitionCase{Record::Zeros, Record::DynamicB, "B"},
                    RecognitionCase{Record::Fixed, Record::DynamicB, "B"},
                    RecognitionCase{Record::Zeros, Record::Zeros, "none"},
                    RecognitionCase{Record::Fixed, Record::Zeros, "none"},
                    RecognitionCase{Record::Type4, Record::Type4, "none"},
                    RecognitionCase{Record::CapitalCookie, Record::CapitalCookie, "none"}));

TEST_F(ConvertToImgTest, ADynamicDiskWithADamagedTrailingFooterIsFoundThroughItsCopy)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    PutBlock("in.vhd", BlockSector(0), Bitmap({{0, 0x80}}), Pattern(kBlock, 7));
    FakePutAt("in.vhd", LengthFor(1) - 512, "conectiX");
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    EXPECT_EQ(FakeRead("out.img", 0, 512), Pattern(kBlock, 7).substr(0, 512));
    EXPECT_EQ(FakeLength("out.img"), kBlock);
}

TEST_F(ConvertToImgTest, AFooterWithAWrongChecksumIsAcceptedLikeAnyOther)
{
    std::string footer = FooterBytes(kDiskTypeFixed, 1024, 0);
    footer[64] = static_cast<char>(footer[64] ^ 0x5A);
    FakePut("in.vhd", Pattern(1024, 8) + footer);
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(FakeContents("out.img"), Pattern(1024, 8));
}

// ---- fixed export ------------------------------------------------------------

TEST_F(ConvertToImgTest, TheFixedCopyKeepsTheSourcesHolesAndMovesItsDataInLargeCopies)
{
    FakeSetLength("in.vhd", 512 * kMiB);
    FakePutAt("in.vhd", 5 * kMiB + 3, "middle");
    FakePutAt("in.vhd", 512 * kMiB - 4, "tail");
    FakePutAt("in.vhd", 512 * kMiB, FooterBytes(kDiskTypeFixed, 512 * kMiB, 0));
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(FakeLength("out.img"), 512 * kMiB);
    EXPECT_EQ(FakeRead("out.img", 5 * kMiB, 12), Zeros(3) + "middle" + Zeros(3));
    EXPECT_EQ(FakeRead("out.img", 512 * kMiB - 8, 8), Zeros(4) + "tail");
    EXPECT_LE(Fake().files["out.img"].pages.size(), 2u);  // two 64 KiB pages of data, the rest holes
    EXPECT_LE(Count("write out.img"), 2);
}

// The plain fixed copy: 64 KiB chunks read and written in turn, ending at
// the first read or write that fails or falls short.
struct FixedExpected {
    std::vector<std::string> lines;
    int64_t length;
};

bool Hits(const std::vector<int64_t>& bad, int64_t position, int64_t count)
{
    return std::any_of(bad.begin(), bad.end(), [&](int64_t at) { return at >= position && at < position + count; });
}

FixedExpected PieceByPieceFixed(int64_t dataEnd, const std::vector<int64_t>& badReads,
                                const std::vector<int64_t>& badWrites)
{
    FixedExpected expected{{kProgress, "disk_type=fixed"}, 0};
    for (int64_t position = 0; position < dataEnd; position += 65536) {
        const int64_t length = std::min<int64_t>(65536, dataEnd - position);
        if (Hits(badReads, position, length)) {
            expected.lines.push_back("readfile error:injected failure");
            break;
        }
        if (Hits(badWrites, position, length)) {
            expected.lines.push_back("writefile error:injected failure");
            break;
        }
        expected.length = position + length;
    }
    expected.lines.push_back("done");
    return expected;
}

TEST_F(ConvertToImgTest, AFailedLargeCopyEndsTheFixedExportExactlyWhereTheChunkLoopEnds)
{
    constexpr int64_t kData = 1000448;  // 15 chunks of 65,536 bytes and one of 17,408
    const std::string data = Pattern(kData, 9);
    std::mt19937 random(42);
    auto draw = [&random](int64_t below) { return static_cast<int64_t>(random() % static_cast<uint64_t>(below)); };
    for (int round = 0; round < 40; ++round) {
        FakeReset();
        FakePut("in.vhd", data + FooterBytes(kDiskTypeFixed, kData, 0));
        std::vector<int64_t> badReads;
        std::vector<int64_t> badWrites;
        for (int64_t i = draw(2); i > 0; --i) {
            badReads.push_back(draw(kData));
        }
        for (int64_t i = draw(2); i > 0; --i) {
            badWrites.push_back(draw(kData));
        }
        if (round == 0) {
            badWrites = {983040};  // the first byte of the last chunk
        }
        Fake().failIf = [&](const FakeCall& call) {
            return (call.op == "read" && call.path == "in.vhd" && Hits(badReads, call.position, call.count)) ||
                   (call.op == "write" && call.path == "out.img" && Hits(badWrites, call.position, call.count));
        };
        const FixedExpected expected = PieceByPieceFixed(kData, badReads, badWrites);
        const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
        EXPECT_EQ(run.out, Lines(expected.lines)) << "round " << round;
        EXPECT_EQ(run.status, expected.length == kData ? 0 : 1) << "round " << round;
        ASSERT_EQ(FakeLength("out.img"), expected.length) << "round " << round;
        EXPECT_EQ(FakeContents("out.img"), data.substr(0, static_cast<size_t>(expected.length))) << "round " << round;
    }
}

TEST_F(ConvertToImgTest, AShortChunkWriteIsReportedWithTheSystemText)
{
    constexpr int64_t kData = 1000448;
    FakePut("in.vhd", Pattern(kData, 10) + FooterBytes(kDiskTypeFixed, kData, 0));
    // Large writes over byte 200,000 fail; the chunk write there comes back short.
    Fake().failIf = [](const FakeCall& call) {
        return call.op == "write" && call.count > 65536 && call.Touches(200000);
    };
    Fake().shortIf = [](const FakeCall& call) { return call.op == "write" && call.Touches(200000); };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "writefile error:no space left on device", "done"}));
    EXPECT_EQ(FakeLength("out.img"), 196608 + 32768);  // chunks 0 to 2 and the half of chunk 3 that was written
}

TEST_F(ConvertToImgTest, AFailedFinalLengthIsReportedOnStandardError)
{
    FakePut("in.vhd", Pattern(4096, 11) + FooterBytes(kDiskTypeFixed, 4096, 0));
    Fake().failIf = [](const FakeCall& call) { return call.op == "setlength"; };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed", "done"}));
    EXPECT_EQ(run.err, "dravik: could not give out.img its length of 4096 bytes: injected failure\r\n");
}

TEST_F(ConvertToImgTest, ACopyBufferThatCannotBeObtainedEndsTheRun)
{
    FakePut("in.vhd", Pattern(4096, 12) + FooterBytes(kDiskTypeFixed, 4096, 0));
    Fake().failIf = [](const FakeCall& call) { return call.op == "alloc"; };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=fixed"}));
    EXPECT_EQ(run.err.substr(run.err.rfind("\r\n", run.err.size() - 3) + 2), "Out of memory.\r\n");
    EXPECT_EQ(Fake().openHandles, 0);
}

// ---- dynamic export -----------------------------------------------------------

TEST_F(ConvertToImgTest, TenMebibytesOfUnallocatedBlocksAreZerosLeftAsHoles)
{
    PutDynamic("in.vhd", {std::vector<uint32_t>(5, kUnallocatedEntry), 5, kBlock, 1536, 2560});
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(FakeLength("out.img"), 10485760);
    EXPECT_TRUE(FakeZeroFrom("out.img", 0));
    EXPECT_EQ(Count("write out.img"), 0);
    EXPECT_EQ(Fake().openHandles, 0);
    EXPECT_EQ(Fake().allocated, 0u);
}

TEST_F(ConvertToImgTest, BitmapByteZeroOf0x80GivesDataSectorZeroThenZeros)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    PutBlock("in.vhd", BlockSector(0), Bitmap({{0, 0x80}}), Pattern(kBlock, 13));
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    ASSERT_EQ(FakeLength("out.img"), kBlock);
    EXPECT_EQ(FakeRead("out.img", 0, 512), Pattern(kBlock, 13).substr(0, 512));
    EXPECT_TRUE(FakeZeroFrom("out.img", 512));
}

TEST_F(ConvertToImgTest, BitmapByte0x01AtIndexThreeMarksSector31)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    const std::string data = Pattern(kBlock, 14);
    PutBlock("in.vhd", BlockSector(0), Bitmap({{3, 0x01}}), data);
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(FakeRead("out.img", 0, 32 * 512), Zeros(31 * 512) + data.substr(31 * 512, 512));
    EXPECT_TRUE(FakeZeroFrom("out.img", 32 * 512));
}

TEST_F(ConvertToImgTest, AnAllOnesBitmapCopiesTheWholeBlockInsideTheSystem)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    const std::string data = Pattern(kBlock, 15);
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), data);
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(FakeContents("out.img"), data);
    EXPECT_LE(Count("write out.img"), 2);  // one copy, which the fake makes in 1 MiB writes
    EXPECT_EQ(Fake().peakAllocated, 4u);  // the table; the data never passes through dravik's memory
}

TEST_F(ConvertToImgTest, RunsOfPresentSectorsGoOutInOneWriteEach)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    const std::string data = Pattern(kBlock, 16);
    // Sectors 8 to 23 and 4,088 to 4,095: two runs.
    PutBlock("in.vhd", BlockSector(0), Bitmap({{1, 0xFF}, {2, 0xFF}, {511, 0xFF}}), data);
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(Count("write out.img"), 2);
    EXPECT_EQ(FakeRead("out.img", 0, 24 * 512), Zeros(8 * 512) + data.substr(8 * 512, 16 * 512));
    EXPECT_EQ(FakeRead("out.img", 4088 * 512, 8 * 512), data.substr(4088 * 512));
    EXPECT_TRUE(FakeRead("out.img", 24 * 512, 4064 * 512) == Zeros(4064 * 512));
}

TEST_F(ConvertToImgTest, EntriesFromFFFFFE00UpAreUnallocatedAndFFFFFDFFIsASectorNumber)
{
    // The block that 0xFFFFFDFF names lies near 2 TiB in a sparse source.
    const int64_t bitmapAt = int64_t{0xFFFFFDFF} * 512;
    PutDynamic("in.vhd", {{0xFFFFFE00, 0xFFFFFDFF}, 2, kBlock, 1536, bitmapAt + 512 + kBlock + 512});
    PutBlock("in.vhd", 0xFFFFFDFF, Bitmap({{0, 0x40}}), Pattern(1024, 17));
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(FakeLength("out.img"), 2 * kBlock);
    EXPECT_TRUE(FakeRead("out.img", 0, kBlock + 512) == Zeros(kBlock + 512));
    EXPECT_EQ(FakeRead("out.img", kBlock + 512, 512), Pattern(1024, 17).substr(512));
    EXPECT_TRUE(FakeZeroFrom("out.img", kBlock + 1024));
}

TEST_F(ConvertToImgTest, ABlockAboveFourGibibytesIsReadAtItsSixtyFourBitPosition)
{
    const int64_t bitmapAt = 4294967296;  // entry 0x00800000
    PutDynamic("in.vhd", {{0x00800000}, 1, kBlock, 1536, bitmapAt + 512 + kBlock + 512});
    const std::string data = Pattern(kBlock, 18);
    PutBlock("in.vhd", 0x00800000, Bitmap({{0, 0x80}}), data);
    ASSERT_EQ(FakeRead("in.vhd", 4294967808, 512), data.substr(0, 512));  // data sector 0
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    ASSERT_EQ(FakeLength("out.img"), kBlock);
    EXPECT_EQ(FakeRead("out.img", 0, 512), data.substr(0, 512));
    EXPECT_TRUE(FakeZeroFrom("out.img", 512));
}

TEST_F(ConvertToImgTest, AHeaderWithoutItsCookieCreatesNothingAndSaysSoOnStandardError)
{
    PutDynamic("in.vhd", {{kUnallocatedEntry}, 1, kBlock, 1536, 2560});
    FakePutAt("in.vhd", 512, "cxsparsE");
    FakePut("out.img", "old");
    RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_EQ(run.err, "dravik: no dynamic disk header (cookie \"cxsparse\") at byte 512 of the source\r\n");
    EXPECT_FALSE(FakeExists("out.img"));

    // A header position beyond the end of the source reads nothing.
    FakeReset();
    FakePut("in.vhd", FooterBytes(kDiskTypeDynamic, kBlock, 1 << 30));
    run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "done"}));
    EXPECT_FALSE(FakeExists("out.img"));
}

TEST_F(ConvertToImgTest, MaxTableEntriesZeroGivesAnEmptyImage)
{
    PutDynamic("in.vhd", {{}, 0, kBlock, 1536, 2560});
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    EXPECT_TRUE(FakeExists("out.img"));
    EXPECT_EQ(FakeLength("out.img"), 0);
}

TEST_F(ConvertToImgTest, AThreeMebibyteDiskWithTwoEntriesGivesFourMebibytes)
{
    PutDynamic("in.vhd", {{BlockSector(0), kUnallocatedEntry}, 2, kBlock, 1536, LengthFor(1)});
    FakePutAt("in.vhd", 0, FooterBytes(kDiskTypeDynamic, 3 * kMiB, 512));
    FakePutAt("in.vhd", LengthFor(1) - 512, FooterBytes(kDiskTypeDynamic, 3 * kMiB, 512));
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), Pattern(kBlock, 19));
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    ASSERT_EQ(FakeLength("out.img"), 4 * kMiB);
    EXPECT_EQ(FakeRead("out.img", 0, kBlock), Pattern(kBlock, 19));
    EXPECT_TRUE(FakeZeroFrom("out.img", kBlock));
}

TEST_F(ConvertToImgTest, BlockSize524288ShrinksOnlyTheUnallocatedPieces)
{
    PutDynamic("in.vhd", {{kUnallocatedEntry, BlockSector(0), kUnallocatedEntry}, 3, 524288, 1536, LengthFor(1)});
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), Pattern(kBlock, 20));
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    ASSERT_EQ(FakeLength("out.img"), 524288 + kBlock + 524288);
    EXPECT_TRUE(FakeRead("out.img", 0, 524288) == Zeros(524288));
    EXPECT_EQ(FakeRead("out.img", 524288, kBlock), Pattern(kBlock, 20));
    EXPECT_TRUE(FakeZeroFrom("out.img", 524288 + kBlock));
}

TEST_F(ConvertToImgTest, OddBlockSizesNeverOverrunAndStillGive4096SectorsPerAllocatedBlock)
{
    for (const uint32_t blockSize : {0u, 1u, 100u, 511u, 1000u, 0x00200001u}) {
        FakeReset();
        PutDynamic("in.vhd", {{kUnallocatedEntry, BlockSector(0), kUnallocatedEntry}, 3, blockSize, 1536,
                              LengthFor(1)});
        const std::string data = Pattern(kBlock, 21);
        PutBlock("in.vhd", BlockSector(0), Bitmap({{0, 0xFF}, {511, 0x01}}), data);
        const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
        EXPECT_EQ(run.status, 0) << blockSize;
        ASSERT_EQ(FakeLength("out.img"), 2 * int64_t{blockSize} + kBlock) << blockSize;
        EXPECT_EQ(FakeRead("out.img", blockSize, 8 * 512), data.substr(0, 8 * 512)) << blockSize;
        EXPECT_EQ(FakeRead("out.img", blockSize + kBlock - 512, 512), data.substr(kBlock - 512)) << blockSize;
        EXPECT_EQ(Fake().peakAllocated, 12u) << blockSize;  // the table alone
    }
}

TEST_F(ConvertToImgTest, DataTheSourceCannotSupplyComesOutAsZerosAtFullLength)
{
    // Block 1 is cut short: its bitmap, 8 data sectors, then the trailing
    // footer as its sector 8, and the file ends. Entry 3 names a block
    // wholly beyond the end.
    const int64_t length = int64_t{BlockSector(1)} * 512 + 512 + 9 * 512;
    PutDynamic("in.vhd", {{BlockSector(0), kUnallocatedEntry, BlockSector(1), 0x00100000}, 4, kBlock, 1536, length});
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), Pattern(kBlock, 22));
    PutBlock("in.vhd", BlockSector(1), std::string(512, '\xFF'), Pattern(8 * 512, 23));
    ASSERT_EQ(FakeLength("in.vhd"), length);
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    ASSERT_EQ(FakeLength("out.img"), 4 * kBlock);
    EXPECT_EQ(FakeRead("out.img", 0, kBlock), Pattern(kBlock, 22));
    EXPECT_TRUE(FakeRead("out.img", kBlock, kBlock) == Zeros(kBlock));
    EXPECT_EQ(FakeRead("out.img", 2 * kBlock, 9 * 512),
              Pattern(8 * 512, 23) + FakeRead("in.vhd", length - 512, 512));  // the footer is its sector 8
    EXPECT_TRUE(FakeZeroFrom("out.img", 2 * kBlock + 9 * 512));
}

TEST_F(ConvertToImgTest, TableEntriesBeyondTheEndOfTheSourceAreUnallocated)
{
    // The table starts 8 bytes before the end: two entries lie in the file
    // (the footer's reserved bytes, which recognition does not look at),
    // the other 998 cannot be read. Only the two are held in memory.
    std::string footer = FooterBytes(kDiskTypeDynamic, 0, 512);
    footer.replace(504, 8, std::string(8, '\xFF'));
    FakePut("in.vhd", footer);
    FakePutAt("in.vhd", 512, HeaderBytes(4088, 1000, kBlock));
    FakePutAt("in.vhd", 3584, footer);
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(FakeLength("out.img"), 1000 * kBlock);
    EXPECT_TRUE(FakeZeroFrom("out.img", 0));
    EXPECT_EQ(Fake().peakAllocated, 8u);  // two entries

    // A table wholly beyond the end: nothing held at all.
    FakeReset();
    FakePut("in.vhd", footer);
    FakePutAt("in.vhd", 512, HeaderBytes(uint64_t{1} << 40, 1000, kBlock));
    FakePutAt("in.vhd", 3584, footer);
    EXPECT_EQ(RunInProcess({"conv2img", "in.vhd", "out.img"}).status, 0);
    EXPECT_EQ(FakeLength("out.img"), 1000 * kBlock);
    EXPECT_EQ(Fake().peakAllocated, 0u);
}

TEST_F(ConvertToImgTest, BillionsOfClaimedEntriesInAFourKibibyteFileEndAtOnce)
{
    for (const uint32_t blockSize : {uint32_t{kBlock}, 0xFFFFFFFFu}) {
        FakeReset();
        FakePut("in.vhd", FooterBytes(kDiskTypeDynamic, 0, 512));
        FakePutAt("in.vhd", 512, HeaderBytes(1536, 0xFFFFFFFF, blockSize));
        std::string table;
        for (uint32_t i = 0; i < 512; ++i) {
            // Blocks in the file (their bitmap the footer copy), blocks past its end, no blocks.
            table += Be32(i % 3 == 0 ? 0 : (i % 3 == 1 ? 7 + i : kUnallocatedEntry));
        }
        FakePutAt("in.vhd", 1536, table);
        FakePutAt("in.vhd", 3584, FooterBytes(kDiskTypeDynamic, 0, 512));
        Fake().allocLimit = 4 * kMiB;
        const auto started = std::chrono::steady_clock::now();
        const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
        EXPECT_EQ(Fake().peakAllocated, 2560u);  // the 640 entries in the file
        if (blockSize == kBlock) {
            // 2^32 - 1 pieces of 2 MiB: the fake holds such a length.
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(FakeLength("out.img"), int64_t{0xFFFFFFFF} * kBlock);
        } else {
            // More than a file position can reach.
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find("beyond the largest file position"), std::string::npos) << run.err;
        }
    }
}

TEST_F(ConvertToImgTest, ATableThatCannotBeObtainedEndsTheRunBeforeTheImageIsCreated)
{
    PutDynamic("in.vhd", {std::vector<uint32_t>(100, kUnallocatedEntry), 100, kBlock, 1536, 4096});
    Fake().allocLimit = 399;
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic"}));
    EXPECT_EQ(run.err, "dravik: unhandled failure while reading the block allocation table:\r\nOut of memory.\r\n");
    EXPECT_FALSE(FakeExists("out.img"));
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ConvertToImgTest, AFailedPositioningAtABlockEndsTheWalkWithItsMessage)
{
    PutDynamic("in.vhd", {{kUnallocatedEntry, BlockSector(0), BlockSector(1)}, 3, kBlock, 1536, LengthFor(2)});
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), Pattern(kBlock, 24));
    PutBlock("in.vhd", BlockSector(1), std::string(512, '\xFF'), Pattern(kBlock, 25));
    int seeks = 0;
    Fake().failIf = [&seeks](const FakeCall& call) { return call.op == "seek" && ++seeks == 2; };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "writefile error:injected failure", "done"}));
    ASSERT_EQ(FakeLength("out.img"), 2 * kBlock);  // what the walk had written when it ended
    EXPECT_EQ(FakeRead("out.img", kBlock, kBlock), Pattern(kBlock, 24));
}

TEST_F(ConvertToImgTest, AnImageThatCannotBeCreatedGetsOneWriteErrorPerBitmapByteWithASetBit)
{
    PutDynamic("in.vhd", {{BlockSector(0), kUnallocatedEntry, BlockSector(1)}, 3, kBlock, 1536, LengthFor(2)});
    PutBlock("in.vhd", BlockSector(0), Bitmap({{0, 0x81}, {5, 0x10}, {511, 0xFF}}), Pattern(kBlock, 26));
    PutBlock("in.vhd", BlockSector(1), std::string(512, '\xFF'), Pattern(kBlock, 27));
    FakeMakeSpecial("dir", FakeFile::Kind::Directory);
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "dir"});
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> expected = {kProgress, "disk_type=dynamic"};
    expected.insert(expected.end(), 3 + 512, "writefile error:file exists");
    expected.push_back("done");
    EXPECT_EQ(run.out, Lines(expected));
    EXPECT_EQ(run.err, "dravik: could not create dir: file exists\r\n");
}

TEST_F(ConvertToImgTest, AFailedBitmapReadGivesAZeroBlockAndSaysSoOnStandardError)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    PutBlock("in.vhd", BlockSector(0), std::string(512, '\xFF'), Pattern(kBlock, 28));
    Fake().failIf = [](const FakeCall& call) { return call.op == "read" && call.position == 4096; };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("could not read the sector bitmap at byte 4096"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, Lines({kProgress, "disk_type=dynamic", "done"}));
    EXPECT_EQ(FakeLength("out.img"), kBlock);
    EXPECT_TRUE(FakeZeroFrom("out.img", 0));
}

TEST_F(ConvertToImgTest, AShortSectorWriteIsReportedAndItsByteAbandoned)
{
    PutDynamic("in.vhd", {{BlockSector(0)}, 1, kBlock, 1536, LengthFor(1)});
    const std::string data = Pattern(kBlock, 29);
    PutBlock("in.vhd", BlockSector(0), Bitmap({{0, 0xFF}, {1, 0xFF}}), data);
    const int64_t bad = 10 * 512 + 7;  // in sector 10
    Fake().failIf = [](const FakeCall& call) { return call.op == "write" && call.count > 512 && call.Touches(bad); };
    Fake().shortIf = [](const FakeCall& call) { return call.op == "write" && call.Touches(bad); };
    const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              Lines({kProgress, "disk_type=dynamic", "writefile error:no space left on device", "done"}));
    // Sectors 0 to 9 and the half of 10 that was written, 11 to 15 abandoned.
    EXPECT_EQ(FakeRead("out.img", 0, 10 * 512 + 256), data.substr(0, 10 * 512 + 256));
    EXPECT_TRUE(FakeRead("out.img", 10 * 512 + 256, 5 * 512 + 256) == Zeros(5 * 512 + 256));
    EXPECT_EQ(FakeLength("out.img"), kBlock);
}

// ---- the large transfers print what the sector walk prints --------------------

// The plain sector-by-sector walk with dravik's own rules (every sector
// at its own place, unreadable data as zeros), over the bytes of `source`,
// where a read or write of a piece that holds a bad byte fails.
struct DynamicExpected {
    std::vector<std::string> lines;
    std::string image;
};

DynamicExpected PieceByPieceDynamic(const std::string& source, const std::vector<int64_t>& badReads,
                                    const std::vector<int64_t>& badWrites)
{
    auto read = [&](int64_t position, int64_t count, bool checked) -> std::string {
        if (checked && Hits(badReads, position, count)) {
            return {};
        }
        std::string bytes = position < static_cast<int64_t>(source.size())
                                ? source.substr(static_cast<size_t>(position), static_cast<size_t>(count))
                                : std::string();
        return bytes + Zeros(count - static_cast<int64_t>(bytes.size()));
    };
    HardDiskFooter footer;
    std::memcpy(&footer, source.data() + source.size() - 512, 512);
    DynamicDiskHeader header;
    std::memcpy(&header, source.data() + Swap64(footer.dataOffset), 1024);
    const auto tableOffset = static_cast<int64_t>(Swap64(header.tableOffset));
    const uint32_t entries = Swap32(header.maxTableEntries);

    DynamicExpected expected{{kProgress, "disk_type=dynamic"}, {}};
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t entry = 0;
        std::memcpy(&entry, read(tableOffset + i * 4, 4, false).data(), 4);
        entry = Hits(badReads, tableOffset + i * 4, 4) ? kUnallocatedEntry : Swap32(entry);
        if (entry >= 0xFFFFFE00) {
            expected.image += Zeros(Swap32(header.blockSize));
            continue;
        }
        const int64_t bitmapAt = int64_t{entry} * 512;
        std::string bitmap = Hits(badReads, bitmapAt, 512) ? Zeros(512) : read(bitmapAt, 512, false);
        std::string block = Zeros(kBlock);
        const auto blockAt = static_cast<int64_t>(expected.image.size());
        for (int byte = 0; byte < 512; ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                if ((static_cast<uint8_t>(bitmap[static_cast<size_t>(byte)]) & (0x80 >> bit)) == 0) {
                    continue;
                }
                const int64_t sector = byte * 8 + bit;
                if (Hits(badReads, bitmapAt + 512 + sector * 512, 512)) {
                    expected.lines.push_back("readfile error:injected failure");
                    break;
                }
                if (Hits(badWrites, blockAt + sector * 512, 512)) {
                    expected.lines.push_back("writefile error:injected failure");
                    break;
                }
                block.replace(static_cast<size_t>(sector * 512), 512, read(bitmapAt + 512 + sector * 512, 512, false));
            }
        }
        expected.image += block;
    }
    expected.lines.push_back("done");
    return expected;
}

TEST_F(ConvertToImgTest, FailingLargeTransfersPrintExactlyWhatTheSectorWalkPrints)
{
    std::mt19937 random(7);
    auto draw = [&random](int64_t below) { return static_cast<uint32_t>(random() % static_cast<uint64_t>(below)); };
    for (int round = 0; round < 24; ++round) {
        FakeReset();
        constexpr int kBlocks = 5;
        Dynamic disk{{}, 7, kBlock, 1536, LengthFor(kBlocks)};
        for (int k = 0; k < kBlocks; ++k) {
            disk.table.push_back(BlockSector(k));
        }
        disk.table.insert(disk.table.begin() + 2, kUnallocatedEntry);
        disk.table.push_back(BlockSector(1));  // a block named twice
        PutDynamic("in.vhd", disk);
        for (int k = 0; k < kBlocks; ++k) {
            // All ones, random bytes, a mix of full, random and empty bytes, or one byte.
            std::string bitmap(512, '\0');
            const uint32_t shape = draw(4);
            for (auto& byte : bitmap) {
                const uint32_t kind = shape == 0 ? 0 : shape == 1 ? 1 : shape == 2 ? draw(4) : 3;
                byte = static_cast<char>(kind == 0 ? 0xFF : kind == 1 ? draw(256) : 0);
            }
            if (shape == 3) {
                bitmap[draw(512)] = static_cast<char>(draw(255) + 1);
            }
            PutBlock("in.vhd", BlockSector(k), bitmap, Pattern(kBlock, 30 + k));
        }
        // Bad bytes in the blocks' data (source) and anywhere in the image.
        std::vector<int64_t> badReads;
        std::vector<int64_t> badWrites;
        for (uint32_t i = draw(3); i > 0; --i) {
            badReads.push_back(int64_t{BlockSector(static_cast<int>(draw(kBlocks)))} * 512 + 512 + draw(kBlock));
        }
        for (uint32_t i = draw(4); i > 0; --i) {
            badWrites.push_back(draw(7 * kBlock));
        }
        const DynamicExpected expected = PieceByPieceDynamic(FakeContents("in.vhd"), badReads, badWrites);
        Fake().failIf = [&](const FakeCall& call) {
            return (call.op == "read" && call.path == "in.vhd" && Hits(badReads, call.position, call.count)) ||
                   (call.op == "write" && call.path == "out.img" && Hits(badWrites, call.position, call.count));
        };
        const RunResult run = RunInProcess({"conv2img", "in.vhd", "out.img"});
        EXPECT_EQ(run.out, Lines(expected.lines)) << "round " << round;
        EXPECT_EQ(run.status, expected.lines.size() > 3 ? 1 : 0) << "round " << round;
        ASSERT_EQ(FakeLength("out.img"), static_cast<int64_t>(expected.image.size())) << "round " << round;
        EXPECT_TRUE(FakeContents("out.img") == expected.image) << "round " << round;
        EXPECT_EQ(Fake().openHandles, 0);
        EXPECT_EQ(Fake().allocated, 0u);
        EXPECT_EQ(Fake().peakAllocated, 7u * 4);
    }
}

}  // namespace
