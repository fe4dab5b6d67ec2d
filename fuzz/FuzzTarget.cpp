// The fuzz targets run a command on "in.vhd", which only resize may change (the conv2img target runs conv2dyn too),
// beside "base.vhd", a fixed disk of Unique Id "PP...P" that a chain may name. FUZZ_REPLAY adds a main() that runs the
// target on the files of the folders given.
#include <cstdio>
#include <sstream>

#include "FrontEnd.h"
#include "TestFiles.h"
#include "TestPlatform.h"

void FuzzRun(const std::string& input, const std::vector<std::string>& args)
{
    static const Scratch scratch;
    const InFolder in(scratch.path);
    static const fs::file_time_type base = [] {
        Fixed("base.vhd", 3 * kMiB);
        SetUniqueId("base.vhd", 'P');
        return fs::last_write_time("base.vhd");
    }();
    for (const char* name : {"out.img", "out.vhd", "new.vhd"})
        fs::remove(name);
    std::ofstream("in.vhd", std::ios::binary | std::ios::trunc) << input;
    TestPlatformReset({.allocLimit = uint64_t{256} << 20});  // no header may make dravik take more
    std::ostringstream out;
    RunDravik(args, out, out);
    if (TestPlatformCounters().openFiles != 0 || (args[0] != "resize" && ReadFile("in.vhd") != input) ||
        fs::last_write_time("base.vhd") != base)
        __builtin_trap();  // a file left open, or a source changed
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
#if defined(FUZZ_INFO)
    FuzzRun(input, {"info", "in.vhd"});
#elif defined(FUZZ_CONV2IMG)
    FuzzRun(input, {"conv2img", "in.vhd", "out.img"});
    // conv2dyn writes a table as long as the disk a footer at either end claims: here up to 4 GiB.
    const auto claims = [&](size_t at) {
        return at + 56 <= input.size() && input.substr(at + 48, 4) != std::string(4, '\0');
    };
    if (!claims(0) && !claims(input.size() - std::min<size_t>(input.size(), 512)))
        FuzzRun(input, {"conv2dyn", "in.vhd", "out.vhd"});
#elif defined(FUZZ_CHECK)
    FuzzRun(input, {"check", "in.vhd"});
#elif defined(FUZZ_CHAIN)
    FuzzRun(input, {"conv2img", "in.vhd", "out.img"});
    FuzzRun(input, {"info", "in.vhd"});
#else
    for (const char* mebibytes : {"1", "64", "4096"})
        FuzzRun(input, {"resize", "in.vhd", mebibytes});
#endif
    return 0;
}

#ifdef FUZZ_REPLAY
int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : fs::directory_iterator(fs::absolute(argv[i]))) {
            const std::string bytes = ReadFile(entry.path());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++inputs;
        }
    }
    std::printf("replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
#endif
