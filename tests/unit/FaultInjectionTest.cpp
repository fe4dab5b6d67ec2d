// Every command, run once per platform call with that call failing, and
// once per call with it coming back short: a run that did not do its whole
// job must say so (exit status 1 and a message), and no failure may touch
// data the command was not meant to change.
#include <gtest/gtest.h>

#include <algorithm>
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
            // Writes come back short on a full disk; reads of a regular file
            // are never short before its end.
            auto hit = [n, base, fault](const FakeCall& call) {
                return call.number == base + n && (fault == Fault::Fail || call.op == "write");
            };
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

TEST(FaultInjection, AnInfoReportIsCompleteOrSaysWhatFailed)
{
    TestDynamic image = PlainDynamic(4 << 20, {1});
    std::string clean;
    auto setup = [&] {
        WriteDynamic(image, [](int64_t at, const std::string& bytes) { FakePutAt("disk.vhd", at, bytes); });
    };
    FakeReset();
    setup();
    clean = RunInProcess({"info", "disk.vhd"}).out;
    ForEachFault(setup, {"info", "disk.vhd"}, [&](const RunResult& run, const std::string& where) {
        if (run.status == 0) {
            EXPECT_EQ(run.out, clean) << where;
        }
    });
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

namespace {

// Runs `args` stopped after each of its writes in turn, as a crash would
// stop it; `check` judges the files left behind.
void ForEachStop(const std::function<void()>& setup, const std::vector<std::string>& args,
                 const std::function<void(int64_t)>& check)
{
    FakeReset();
    setup();
    RunInProcess(args);
    const int64_t writes = Fake().writes;
    ASSERT_GT(writes, 0);
    for (int64_t n = 0; n <= writes; ++n) {
        FakeReset();
        setup();
        Fake().stopAfterWrites = n;
        try {
            RunInProcess(args);
        } catch (const FakeStop&) {
        }
        check(n);
    }
}

TEST(CrashConsistency, AStoppedConversionLeavesTheRawImageOrAFixedDisk)
{
    const std::string data = BlockData(3).substr(0, 1 << 20);
    ForEachStop([&] { FakePut("a.img", data); }, {"conv2vhd", "a.img", "a.vhd"}, [&](int64_t n) {
        const std::string now = FakeExists("a.vhd") ? "a.vhd" : "a.img";
        EXPECT_EQ(FakeRead(now, 0, 1 << 20), data) << n;
        if (FakeLength(now) != 1 << 20) {
            EXPECT_EQ(RecogniseFooter(FooterAtEnd(now)), kDiskTypeFixed) << n;
        }
    });
}

TEST(CrashConsistency, AStoppedFixedResizeAlwaysEndsWithAFooter)
{
    const std::string data = BlockData(5).substr(0, 1 << 20);
    auto setup = [&] {
        HardDiskFooter footer;
        BuildFooter(footer, kDiskTypeFixed, 1 << 20, 0);
        FakePut("disk.vhd", data + Bytes(footer));
    };
    ForEachStop(setup, {"resize", "disk.vhd", "4"}, [&](int64_t n) {
        EXPECT_EQ(RecogniseFooter(FooterAtEnd("disk.vhd")), kDiskTypeFixed) << n;
        EXPECT_EQ(FakeRead("disk.vhd", 0, 1 << 20), data) << n;
    });
}

TEST(FaultInjection, AnExportNeverChangesItsSourceAndOnlySucceedsWithTheWholeImage)
{
    // A dynamic disk with a full block, an allocated block with a few
    // sectors present, and unallocated blocks.
    TestDynamic image = PlainDynamic(8 << 20, {2, 0});
    image.blocks[1].bitmapByte = 0x00;
    std::string source;
    auto setup = [&] {
        WriteDynamic(image, [](int64_t at, const std::string& bytes) { FakePutAt("disk.vhd", at, bytes); });
        FakePutAt("disk.vhd", image.blocks[1].position + 100, "\x81");  // sectors 800 and 807
        source = FakeContents("disk.vhd");
    };
    FakeReset();
    setup();
    ASSERT_EQ(RunInProcess({"conv2img", "disk.vhd", "good.img"}).status, 0);
    const std::string good = FakeContents("good.img");
    ASSERT_EQ(good.size(), 8u << 20);

    ForEachFault(setup, {"conv2img", "disk.vhd", "out.img"}, [&](const RunResult& run, const std::string& where) {
        EXPECT_EQ(FakeContents("disk.vhd"), source) << where;
        if (run.status == 0) {
            const std::string out = FakeContents("out.img");
            const auto diff = std::mismatch(out.begin(), out.end(), good.begin(), good.end());
            EXPECT_TRUE(out.size() == good.size() && diff.first == out.end())
                << where << ": a complete run gave another image, first difference at byte "
                << (diff.first - out.begin()) << "\n" << run.out << run.err;
        }
    });
}

}  // namespace
