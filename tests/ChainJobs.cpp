// The jobs on chains, run in-process on real files: a child made over each kind of parent.
#include <gtest/gtest.h>

#include <sstream>

#include "ExpectedImage.h"
#include "FrontEnd.h"
#include "TestPlatform.h"

namespace {

int Dravik(const std::vector<std::string>& args, std::string* out = nullptr)
{
    std::ostringstream text;
    TestPlatformReset();
    const int status = RunDravik(args, text, text);
    if (out)
        *out = text.str();
    return status;
}

// Adds block `entry` to the dynamic or differencing disk `path` as writers do: its footer at the new end first, then
// the block where the footer was (every bitmap byte `bitmap`, the data Pattern(kBlock, seed)), then the table entry.
void AddBlock(const fs::path& path, uint32_t entry, char bitmap, int seed)
{
    const auto end = int64_t(fs::file_size(path)) - 512;
    const std::string footer = ReadFile(path, end);
    Put(path, end + 512 + kBlock, footer);
    Put(path, end, std::string(512, bitmap) + Pattern(kBlock, seed));
    const std::string header = ReadFile(path, int64_t(Number(footer, 16, 8)), 1024);
    Put(path, int64_t(Number(header, 16, 8)) + 4 * entry, Be(uint64_t(end / 512), 4));
}

// Over a fixed, a dynamic and a differencing parent made in base/, a child made in vm/ reads as its parent, checks
// clean, names it and leaves it as it was; with a block added it reads that block over its parent, also once both
// folders are moved elsewhere, where only its relative locator finds the parent.
TEST(Child, ReadsAsItsParentAndFindsItWhereverBothGo)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    void (*const parents[])() = {[] { Fixed("p.vhd", 4 * kMiB); },
                                 [] { Dynamic("p.vhd", 4 * kMiB, {1}, {.bitmap = 0xF0}); },
                                 [] {
                                     Dynamic("base.vhd", 4 * kMiB, {1, 0});
                                     SetUniqueId("base.vhd", 'B');
                                     Differencing("p.vhd", 4 * kMiB, {1}, 0x3C, 'B', u"", {{"W2ru", u".\\base.vhd"}});
                                 }};
    for (const auto make : parents) {
        for (const char* folder : {"base", "vm", "moved"})
            fs::remove_all(folder);
        fs::create_directories("base");
        fs::create_directories("vm");
        {
            const InFolder base("base");
            make();
            for (const auto& file : fs::directory_iterator("."))
                PatchFooters(file.path(), 28, "win ");  // a creator qemu-img sizes by Current Size: no warning
        }
        const Folder parent = DescribeFolder("base");
        std::string out;
        ASSERT_EQ(Dravik({"child", "base/p.vhd", "vm/c.vhd"}), 0);
        EXPECT_EQ(Dravik({"check", "vm/c.vhd"}, &out), 0);
        EXPECT_NE(out.find("errors=0 warnings=0"), out.npos) << out;
        EXPECT_EQ(Dravik({"info", "vm/c.vhd"}, &out), 0);
        EXPECT_NE(out.find("\r\nParent=vm"), out.npos) << out;
        ASSERT_EQ(Dravik({"conv2img", "base/p.vhd", "p.img"}) + Dravik({"conv2img", "vm/c.vhd", "c.img"}), 0);
        std::string image = ReadFile("p.img");
        EXPECT_TRUE(ReadFile("c.img") == image);
        AddBlock("vm/c.vhd", 1, '\x0F', 9);
        for (int64_t s = 4; s < kBlock / 512; s += s % 8 == 7 ? 5 : 1)
            image.replace(size_t(kBlock + 512 * s), 512, Pattern(kBlock, 9), size_t(512 * s), 512);
        fs::create_directories("moved");
        fs::rename("base", "moved/base");
        fs::rename("vm", "moved/vm");
        ASSERT_EQ(Dravik({"conv2img", "moved/vm/c.vhd", "c2.img"}), 0);
        EXPECT_TRUE(ReadFile("c2.img") == image);
        EXPECT_EQ(DescribeFolder("moved/base"), parent);
        for (const char* made : {"p.img", "c.img", "c2.img"})
            fs::remove(made);
    }
}

}  // namespace
