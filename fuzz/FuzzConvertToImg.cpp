// conv2img: recognition, the dynamic header, the table and the bitmaps of
// any bytes; the raw image stays in memory, its holes unstored.
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzRun(data, size, {"conv2img", "in.vhd", "out.img"});
    if (FakeExists("in.vhd") && FakeLength("in.vhd") != static_cast<int64_t>(size)) {
        __builtin_trap();  // the source must never change
    }
    return 0;
}
