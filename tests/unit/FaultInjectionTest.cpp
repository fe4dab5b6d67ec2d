// Every command, run once per platform call with that call failing, and
// once per call with it coming back short: a run that did not do its whole
// job must say so (exit status 1 and a message), and no failure may touch
// data the command was not meant to change.
#include <gtest/gtest.h>

#include <functional>

#include "FakePlatform.h"
#include "InProcess.h"
#include "VhdTestImages.h"

namespace {

enum class Fault { Fail, Short };

// Runs `args` once for each platform call the clean run makes, with that
// call failing or coming back short, after `setup` has laid out the files;
// `check` judges each run.
void ForEachFault(const std::function<void()>& setup, const std::vector<std::string>& args,
                  const std::function<void(const RunResult&, const std::string&)>& check)
{
    FakeReset();
    setup();
    const std::string clean = RunInProcess(args).out;
    const int64_t calls = Fake().calls;
    ASSERT_GT(calls, 0);
    for (const Fault fault : {Fault::Fail, Fault::Short}) {
        for (int64_t n = 1; n <= calls; ++n) {
            FakeReset();
            setup();
            const int64_t base = Fake().calls;
            auto hit = [n, base](const FakeCall& call) { return call.number == base + n; };
            (fault == Fault::Fail ? Fake().failIf : Fake().shortIf) = hit;
            const RunResult run = RunInProcess(args);
            const std::string where = std::string(fault == Fault::Fail ? "failing" : "short") + " call " +
                                      std::to_string(n);
            if (run.status != 0) {
                EXPECT_EQ(run.status, 1) << where;
                EXPECT_FALSE(run.err.empty() && run.out == clean) << where << ": a failure without a message";
            }
            EXPECT_EQ(Fake().openHandles, 0) << where;
            check(run, where);
        }
    }
}

HardDiskFooter FooterAtEnd(const std::string& path)
{
    HardDiskFooter footer{};
    const std::string bytes = FakeRead(path, FakeLength(path) - 512, 512);
    std::memcpy(&footer, bytes.data(), std::min<size_t>(bytes.size(), 512));
    return footer;
}

TEST(FaultInjection, AFixedResizeEndsResizedOrAsItWas)
{
    const std::string data = BlockData(7).substr(0, 1 << 20);
    auto setup = [&] {
        HardDiskFooter footer;
        BuildFooter(footer, kDiskTypeFixed, 1 << 20, 0);
        FakePut("disk.vhd", data + Bytes(footer));
    };
    ForEachFault(setup, {"resize", "disk.vhd", "3"}, [&](const RunResult& run, const std::string& where) {
        const HardDiskFooter footer = FooterAtEnd("disk.vhd");
        ASSERT_EQ(RecogniseFooter(footer), kDiskTypeFixed) << where;
        EXPECT_EQ(FakeRead("disk.vhd", 0, 1 << 20), data) << where;
        const auto size = static_cast<int64_t>(Swap64(footer.currentSize));
        if (run.status == 0) {
            EXPECT_EQ(size, 3 << 20) << where;
            EXPECT_EQ(FakeRead("disk.vhd", 1 << 20, 2 << 20), std::string(2 << 20, '\0')) << where;
        } else {
            EXPECT_TRUE(size == (1 << 20) || size == (3 << 20)) << where;
            EXPECT_EQ(FakeLength("disk.vhd"), size + 512) << where;
        }
    });
}

TEST(FaultInjection, ADynamicRebuildNeverChangesItsSourceAndOnlySucceedsWhole)
{
    TestDynamic image = PlainDynamic(10 << 20, {3, 1});
    std::string source;
    auto setup = [&] {
        WriteDynamic(image, [](int64_t at, const std::string& bytes) { FakePutAt("disk.vhd", at, bytes); });
        source = FakeContents("disk.vhd");
    };
    ForEachFault(setup, {"resize", "disk.vhd", "20"}, [&](const RunResult& run, const std::string& where) {
        EXPECT_EQ(FakeContents("disk.vhd"), source) << where;
        if (run.status == 0) {
            auto get = [](const std::string& path) {
                return [path](int64_t at, int64_t count) { return FakeRead(path, at, count); };
            };
            const VirtualReader before(get("disk.vhd"), FakeLength("disk.vhd"));
            const VirtualReader after(get("new.vhd"), FakeLength("new.vhd"));
            EXPECT_EQ(after.Size(), 20 << 20) << where;
            EXPECT_EQ(FirstDifference(before, after, (20 << 20) / 512), -1) << where;
        }
    });
}

}  // namespace
