#include <gtest/gtest.h>

#include <cstring>

#include "FakePlatform.h"
#include "InProcess.h"
#include "UTypes/VhdRecords.h"

namespace {

std::string AsBytes(const void* record, size_t size)
{
    return std::string(static_cast<const char*>(record), size);
}

// The footer of the 10 MiB examples: dravik's own, with a Unique Id of
// zeros and the Checksum recomputed for it.
HardDiskFooter TenMebibyteFooter(uint32_t diskType, int64_t dataOffset)
{
    HardDiskFooter footer;
    BuildFooter(footer, static_cast<int32_t>(diskType), 10485760, dataOffset);
    std::memset(footer.uniqueId, 0, sizeof footer.uniqueId);
    footer.checksum = 0;
    footer.checksum = Swap32(VhdChecksum(&footer, sizeof footer));
    return footer;
}

const std::vector<std::string> kFixedLines = {
    "filesize=10486272",      "Infos found in header - fixed", "features=2",
    "Format=$10000",          "Data_offset=-1",                "Creator_Application=hack",
    "Creator_Version=$10000", "Creator_Host_OS=Wi2k",          "Original_Size=10485760",
    "Current_Size=10485760",  "Checksum=$FFFFF00C",            "saved_state=0",
};

class ShowInfoTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }

    static void PutEmptyDynamicDisk(const std::string& path, uint32_t entries)
    {
        const HardDiskFooter footer = TenMebibyteFooter(kDiskTypeDynamic, 512);
        DynamicDiskHeader header;
        BuildDynamicHeader(header, entries);
        FakePut(path, AsBytes(&footer, 512) + AsBytes(&header, 1024) + std::string(512, '\xFF') +
                          AsBytes(&footer, 512));
    }

    static RunResult Info(const std::string& path) { return RunInProcess({"info", path}); }
};

TEST_F(ShowInfoTest, ReportsTheTenMebibyteFixedDisk)
{
    const HardDiskFooter footer = TenMebibyteFooter(kDiskTypeFixed, 0);
    EXPECT_EQ(AsBytes(&footer, 512).substr(64, 4), "\xFF\xFF\xF0\x0C");
    FakeSetLength("fixed.vhd", 10485760);
    FakePutAt("fixed.vhd", 10485760, AsBytes(&footer, 512));

    std::vector<std::string> expected = kFixedLines;
    expected.push_back("done");
    const RunResult run = Info("fixed.vhd");
    EXPECT_EQ(run.out, Lines(expected));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
}

TEST_F(ShowInfoTest, ReportsTheEmptyDynamicDiskWithItsHeader)
{
    PutEmptyDynamicDisk("dynamic.vhd", 5);
    ASSERT_EQ(FakeLength("dynamic.vhd"), 2560);
    const RunResult run = Info("dynamic.vhd");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Lines({"filesize=2560",
                              "Infos found in header - dynamic",
                              "features=2",
                              "Format=$10000",
                              "Data_offset=512",
                              "Creator_Application=hack",
                              "Creator_Version=$10000",
                              "Creator_Host_OS=Wi2k",
                              "Original_Size=10485760",
                              "Current_Size=10485760",
                              "Checksum=$FFFFF801",
                              "saved_state=0",
                              "",
                              "Table_Offset=1536",
                              "Header_Version=$10000",
                              "max_entries=5 -> 10485760 bytes",
                              "block_size=2097152",
                              "Checksum=$FFFFF472",
                              "",
                              "BAT size=20",
                              "1st block offset=2048",
                              "done"}));
}

TEST_F(ShowInfoTest, DerivedValuesUseTheFullProductAndRoundOnlyWhenNeeded)
{
    PutEmptyDynamicDisk("a.vhd", 128);
    std::string out = Info("a.vhd").out;
    EXPECT_NE(out.find("\r\nmax_entries=128 -> 268435456 bytes\r\n"), std::string::npos);
    EXPECT_NE(out.find("\r\nBAT size=512\r\n1st block offset=2048\r\n"), std::string::npos);

    PutEmptyDynamicDisk("b.vhd", 5120);
    out = Info("b.vhd").out;
    EXPECT_NE(out.find("\r\nmax_entries=5120 -> 10737418240 bytes\r\n"), std::string::npos);
    EXPECT_NE(out.find("\r\nBAT size=20480\r\n1st block offset=22016\r\n"), std::string::npos);
}

TEST_F(ShowInfoTest, PrintsFieldsInTheirOwnFormats)
{
    HardDiskFooter footer = TenMebibyteFooter(kDiskTypeFixed, 0);
    footer.fileFormatVersion = 0;
    footer.creatorVersion = Swap32(0x12);
    std::memcpy(footer.creatorApplication, "ABC ", 4);
    std::memcpy(footer.creatorHostOs, "AB\0C", 4);
    footer.savedState = 255;
    footer.features = Swap32(0xFFFFFFFF);
    footer.originalSize = Swap64(uint64_t{5} << 40);
    FakePut("odd.vhd", AsBytes(&footer, 512));

    const std::string out = Info("odd.vhd").out;
    for (const char* line : {"\r\nFormat=$0000\r\n", "\r\nCreator_Version=$0012\r\n",
                             "\r\nCreator_Application=ABC \r\n", "\r\nCreator_Host_OS=AB\r\n",
                             "\r\nsaved_state=255\r\n", "\r\nfeatures=4294967295\r\n",
                             "\r\nOriginal_Size=5497558138880\r\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
}

TEST_F(ShowInfoTest, RefusesFilesThatAreNoFixedOrDynamicDisk)
{
    HardDiskFooter differencing = TenMebibyteFooter(4, 512);
    FakePut("diff.vhd", AsBytes(&differencing, 512));
    FakePut("empty.vhd", "");
    FakePut("raw.img", std::string(4096, 'r'));
    for (const auto& [path, size] : {std::pair{"diff.vhd", "512"}, {"empty.vhd", "0"}, {"raw.img", "4096"}}) {
        const RunResult run = Info(path);
        EXPECT_EQ(run.out, Lines({std::string("filesize=") + size, "not a valid vhd", "done"})) << path;
        EXPECT_EQ(run.status, 1) << path;
    }
}

TEST_F(ShowInfoTest, AFooterWithBothSizesZeroIsPrintedThenRefused)
{
    HardDiskFooter footer;
    BuildFooter(footer, 2, 0, 0);
    FakePut("zero.vhd", AsBytes(&footer, 512));
    const RunResult run = Info("zero.vhd");
    EXPECT_NE(run.out.find("Infos found in header - fixed\r\n"), std::string::npos);
    EXPECT_EQ(run.out.substr(run.out.size() - 23), "not a valid vhd\r\ndone\r\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(ShowInfoTest, SizesThatAreNoWholeSectorCountStopBeforeOpening)
{
    FakePut("short.vhd", std::string(1000, 'x'));
    for (const auto& [path, size] : {std::pair{"short.vhd", "1000"}, {"missing.vhd", "-1"}, {"", "-1"}}) {
        const RunResult run = Info(path);
        EXPECT_EQ(run.out, Lines({std::string("filesize=") + size, "mod 512 <>0", "done"})) << path;
        EXPECT_EQ(run.status, 1);
    }
    for (const std::string& entry : Fake().log) {
        EXPECT_EQ(entry.rfind("open", 0), std::string::npos) << entry;
    }
}

TEST_F(ShowInfoTest, AHeaderBeyondTheEndOfTheFilePrintsZeros)
{
    const HardDiskFooter footer = TenMebibyteFooter(kDiskTypeDynamic, 512);
    FakePut("cut.vhd", AsBytes(&footer, 512));  // the footer alone: the header read finds the end
    const std::string out = Info("cut.vhd").out;
    EXPECT_NE(out.find("\r\n\r\nTable_Offset=0\r\nHeader_Version=$0000\r\nmax_entries=0 -> 0 bytes\r\n"
                       "block_size=0\r\nChecksum=$0000\r\n\r\nBAT size=0\r\n1st block offset=0\r\ndone\r\n"),
              std::string::npos)
        << out;
}

TEST_F(ShowInfoTest, ReadsAFiveGibibyteImageWithoutWritingAnything)
{
    HardDiskFooter footer;
    BuildFooter(footer, 2, 5368709120, 0);
    FakeSetLength("big.vhd", 5368709120);
    FakePutAt("big.vhd", 5368709120, AsBytes(&footer, 512));
    const std::string before = FakeRead("big.vhd", 5368709120, 512);
    const RunResult run = Info("big.vhd");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("filesize=5368709632\r\n"), std::string::npos);
    EXPECT_NE(run.out.find("Original_Size=5368709120\r\nCurrent_Size=5368709120\r\n"), std::string::npos);
    for (const std::string& entry : Fake().log) {
        EXPECT_TRUE(entry.rfind("open", 0) == 0 || entry.rfind("read", 0) == 0) << entry;
    }
    EXPECT_EQ(FakeRead("big.vhd", 5368709120, 512), before);
    EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(ShowInfoTest, AFileThatCannotBeOpenedIsNotAValidVhdAndSaysWhy)
{
    FakePut("locked.vhd", std::string(1024, '\0'));
    Fake().failIf = [](const FakeCall& call) { return call.op == "open"; };
    const RunResult run = Info("locked.vhd");
    EXPECT_EQ(run.out, Lines({"filesize=1024", "not a valid vhd", "done"}));
    EXPECT_EQ(run.err, "dravik: could not open locked.vhd: injected failure\r\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
