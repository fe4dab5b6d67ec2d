// The jobs on chains, in-process on real files: child, merge, reparent.
#include <gtest/gtest.h>

#include <sstream>

#include "ExpectedImage.h"
#include "FrontEnd.h"
#include "TestPlatform.h"

namespace {

// Runs dravik in-process with `faults`; -1 when they stop it.
int Dravik(const std::vector<std::string>& args, std::string* out = nullptr, const Faults& faults = {})
{
    std::ostringstream text;
    TestPlatformReset(faults);
    int status = -1;
    try {
        status = RunDravik(args, text, text);
    } catch (const StopProgram&) {
    }
    if (out)
        *out = text.str();
    return status;
}

// Dravik with call `n` failed or, past `calls`, stopped after n - calls - 1 writes.
int Faulted(const std::vector<std::string>& args, int64_t n, int64_t calls)
{
    const std::string call = "call " + std::to_string(n);
    return Dravik(args, nullptr, n > calls ? Faults{.stopAfterWrites = n - calls - 1} : Faults{.fail = call.c_str()});
}

bool Clean(const std::string& disk)
{
    std::string out;
    return Dravik({"check", disk}, &out) == 0 && out.find("errors=0 warnings=0") != out.npos;
}

// conv2img's image of `disk`.
std::string Image(const std::string& disk)
{
    return Dravik({"conv2img", disk, "x.img"}) == 0 ? ReadFile("x.img") : "refused";
}

// c.avhd over p.vhd in folder p, p: fixed; dynamic of 512 KiB blocks, some sectors its own; differencing, under a
// child of 512 KiB blocks; dravik's create, under dravik's child with a block added.
void (*const kChains[])() = {[] {
                                 Fixed("p.vhd", 4 * kMiB);
                                 SetUniqueId("p.vhd", 'P');
                                 Differencing("c.avhd", 4 * kMiB, {3, 0}, 0xFF, 'P', u"p.vhd", {}, kMiB / 2);
                             },
                             [] {
                                 Dynamic("p.vhd", 4 * kMiB, {2, 5}, {.blockSize = kMiB / 2, .bitmap = 0xF0});
                                 SetUniqueId("p.vhd", 'P');
                                 Differencing("c.avhd", 4 * kMiB, {1, 0}, 0xFF, 'P', u"p.vhd", {});
                             },
                             [] {
                                 Dynamic("b.vhd", 4 * kMiB, {1, 0});
                                 SetUniqueId("b.vhd", 'B');
                                 Differencing("p.vhd", 4 * kMiB, {1}, 0x0F, 'B', u"b.vhd", {});
                                 SetUniqueId("p.vhd", 'P');
                                 Differencing("c.avhd", 4 * kMiB, {5, 0}, 0xFF, 'P', u"p.vhd", {}, kMiB / 2);
                             },
                             [] {
                                 ASSERT_EQ(Dravik({"create", "p.vhd", "6"}) + Dravik({"child", "p.vhd", "c.avhd"}), 0);
                                 const auto end = int64_t(fs::file_size("c.avhd")) - 512;
                                 Put("c.avhd", end + 512 + kBlock, ReadFile("c.avhd", end));
                                 Put("c.avhd", end, std::string(512, '\xFF') + Pattern(kBlock, 3));
                                 Put("c.avhd", 1536 + 8, Be(uint64_t(end / 512), 4));
                             }};

// Makes a chain, of a creator qemu-img sizes by Current Size; gives the child's and the parent's images.
std::pair<std::string, std::string> MakeChain(void (*make)())
{
    fs::remove_all("p");
    fs::create_directory("p");
    const InFolder in("p");
    make();
    for (const auto& file : fs::directory_iterator("."))
        PatchFooters(file.path(), 28, "win ");
    return {ExpectedImage("c.avhd"), ExpectedImage("p.vhd")};
}

// A child made in a sibling folder reads as its parent, checks clean, names it, and still finds it when both folders
// move. Merged, the parent reads as the child did and checks clean, the child unchanged.
TEST(Chains, AChildReadsAsItsParentAndAMergeMakesTheParentReadAsTheChild)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    for (const auto make : kChains) {
        const auto [child, before] = MakeChain(make);
        std::string out;
        fs::remove_all("k");
        fs::create_directory("k");
        ASSERT_EQ(Dravik({"child", "p/p.vhd", "k/k.vhd"}) + Dravik({"info", "k/k.vhd"}, &out), 0);
        // The parent's path as the system writes it (under Wine from drive Z:), and relative as Windows stores it.
        const std::string root = fs::path("/").is_absolute() ? "/" : "Z:\\";
        for (const std::string& locator : {"W2ku " + root, std::string("W2ru ..\\p\\p.vhd\r")})
            EXPECT_NE(out.find("Parent_Locator=" + locator), out.npos) << out;
        EXPECT_TRUE(out.find("\r\nParent=k") != out.npos && Clean("k/k.vhd")) << out;
        fs::create_directory("m");
        fs::rename("p", "m/p"), fs::rename("k", "m/k");
        EXPECT_TRUE(Image("m/k/k.vhd") == before);
        fs::rename("m/p", "p"), fs::remove_all("m");

        const std::string childFile = ReadFile("p/c.avhd");
        ASSERT_EQ(Dravik({"merge", "p/c.avhd"}), 0);
        EXPECT_TRUE(Image("p/p.vhd") == child && ReadFile("p/c.avhd") == childFile && Clean("p/p.vhd"));
    }
}

// A merge failed or stopped anywhere leaves each parent sector as before or as the child's; run again, it completes.
TEST(FaultSweep, AMergeStoppedAnywhereCompletesWhenRunAgain)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    for (const auto make : kChains) {
        const auto [child, before] = MakeChain(make);
        ASSERT_EQ(Dravik({"merge", "p/c.avhd"}), 0);
        const int64_t calls = TestPlatformCounters().calls, writes = TestPlatformCounters().writes;
        for (int64_t n = 1; n <= calls + writes; ++n) {
            MakeChain(make);
            const int status = Faulted({"merge", "p/c.avhd"}, n, calls);
            const std::string now = Image("p/p.vhd");
            EXPECT_TRUE(status != 0 || now == child) << n;
            for (size_t at = 0; at < now.size(); at += 512)
                ASSERT_TRUE(now.compare(at, 512, before, at, 512) == 0 || now.compare(at, 512, child, at, 512) == 0)
                    << n << ": sector " << at / 512;
            ASSERT_EQ(Dravik({"merge", "p/c.avhd"}), 0) << n;
            EXPECT_TRUE(Image("p/p.vhd") == child && Dravik({"check", "p/p.vhd"}) == 0) << n;  // leaks are warnings
        }
    }
}

// Pointed at its parent's copy in a folder of a 100-character name, a child reads as before, blocks untouched, also
// with the old parent gone; failed or stopped anywhere, it reads as before.
TEST(Chains, AReparentedChildReadsAsBeforeAtEveryStep)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    const std::string far = "p/" + std::string(100, 'd') + "/p.vhd";
    auto make = [&] {
        const std::string image = MakeChain(kChains[3]).first;
        fs::create_directories(fs::path(far).parent_path());
        fs::copy_file("p/p.vhd", far);
        return image;
    };
    const std::string image = make(), child = ReadFile("p/c.avhd");
    ASSERT_EQ(Dravik({"reparent", "p/c.avhd", far}), 0);
    const int64_t calls = TestPlatformCounters().calls, writes = TestPlatformCounters().writes;
    fs::remove("p/p.vhd");
    EXPECT_TRUE(Image("p/c.avhd") == image);
    EXPECT_TRUE(ReadFile("p/c.avhd", 1536, int64_t(child.size()) - 2048) == child.substr(1536, child.size() - 2048));
    for (int64_t n = 1; n <= calls + writes; ++n) {
        make();
        Faulted({"reparent", "p/c.avhd", far}, n, calls);
        EXPECT_TRUE(Image("p/c.avhd") == image) << n;
    }
}

}  // namespace
