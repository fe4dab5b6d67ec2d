#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "InProcess.h"

namespace {

class FrontEndTest : public testing::Test {
protected:
    void SetUp() override { FakeReset(); }
};

TEST_F(FrontEndTest, NoArgumentsPrintTheUsageAndSucceed)
{
    const RunResult run = RunInProcess({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("dravik 0.2 by ", 0), 0u);
    EXPECT_EQ(run.out.substr(run.out.find("\r\n") + 2),
              Lines({"dravik conv2img source_file.vhd dest_file.img",
                     "dravik conv2vhd source_file.img dest_file_fixed.vhd",
                     "dravik resize source_file_fixed.vhd size_in_Mbytes", "dravik info source_file.vhd"}));
}

TEST_F(FrontEndTest, UnknownCommandWordsPrintNothingAndSucceed)
{
    for (const char* word : {"help", "INFO", "conv2im", ""}) {
        const RunResult run = RunInProcess({word, "a", "b"});
        EXPECT_EQ(run.status, 0) << word;
        EXPECT_EQ(run.out, "") << word;
        EXPECT_EQ(run.err, "") << word;
    }
}

TEST_F(FrontEndTest, EachCommandPrintsItsProgressLineAndDone)
{
    FakePut("a.img", std::string(512, 'x'));
    EXPECT_EQ(RunInProcess({"conv2vhd", "a.img", "a.vhd"}).out,
              Lines({"appending a 512bytes footer to the img file", "done"}));
    const RunResult resize = RunInProcess({"resize", "a.vhd", " +0x10"});
    EXPECT_EQ(resize.out.substr(0, resize.out.find("\r\n")), "resizing vhd file to  +0x10");
    EXPECT_EQ(resize.out.substr(resize.out.size() - 6), "done\r\n");
}

TEST_F(FrontEndTest, ASizeThatIsNotAnIntegerEndsTheRunWithAReport)
{
    FakePut("a.vhd", std::string(1024, 'x'));
    const RunResult run = RunInProcess({"resize", "a.vhd", "ten"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, Lines({"resizing vhd file to ten"}));  // no "done"
    ASSERT_GE(run.err.size(), 2u);
    const std::string body = run.err.substr(0, run.err.size() - 2);
    EXPECT_EQ(body.substr(body.rfind("\r\n") + 2), "'ten' is not a valid integer value.");
    EXPECT_EQ(FakeContents("a.vhd"), std::string(1024, 'x'));
}

TEST_F(FrontEndTest, AMissingSizeIsNotAnInteger)
{
    const RunResult run = RunInProcess({"resize", "a.vhd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("'' is not a valid integer value.\r\n"), std::string::npos);
}

struct ParseCase {
    const char* text;
    bool valid;
    int32_t value;
};

class SizeParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(SizeParseTest, AcceptsTheUsualIntegerSyntaxOnly)
{
    int32_t value = 12345;
    EXPECT_EQ(ParseSizeArgument(GetParam().text, &value), GetParam().valid) << GetParam().text;
    if (GetParam().valid) {
        EXPECT_EQ(value, GetParam().value) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, SizeParseTest,
    testing::Values(ParseCase{"10", true, 10}, ParseCase{"4096", true, 4096}, ParseCase{"  \t7", true, 7},
                    ParseCase{"+5", true, 5}, ParseCase{"-5", true, -5}, ParseCase{"007", true, 7},
                    ParseCase{"2147483647", true, INT32_MAX}, ParseCase{"-2147483648", true, INT32_MIN},
                    ParseCase{"2147483648", false, 0}, ParseCase{"-2147483649", false, 0},
                    ParseCase{"99999999999999999999", false, 0}, ParseCase{"$10", true, 16},
                    ParseCase{"x1f", true, 31}, ParseCase{"X1F", true, 31}, ParseCase{"0x1f", true, 31},
                    ParseCase{"0XaB", true, 171}, ParseCase{"-$10", true, -16}, ParseCase{"+0x10", true, 16},
                    ParseCase{"$FFFFFFFF", true, -1}, ParseCase{"$80000000", true, INT32_MIN},
                    ParseCase{"-$80000000", true, INT32_MIN}, ParseCase{"$000000001", true, 1},
                    ParseCase{"$100000000", false, 0}, ParseCase{"", false, 0}, ParseCase{" ", false, 0},
                    ParseCase{"-", false, 0}, ParseCase{"$", false, 0}, ParseCase{"0x", false, 0},
                    ParseCase{"10 ", false, 0}, ParseCase{"1e3", false, 0}, ParseCase{"$1G", false, 0},
                    ParseCase{"--1", false, 0}, ParseCase{"$-1", false, 0}, ParseCase{"0x-1", false, 0},
                    ParseCase{"ten", false, 0}, ParseCase{"1.5", false, 0}, ParseCase{"12abc", false, 0}));

}  // namespace
