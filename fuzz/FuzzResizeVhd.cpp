// resize: the fixed path and the dynamic rebuild on any bytes, to a size
// below, at and above common disk sizes.
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const char* mebibytes : {"1", "64", "4096"}) {
        FuzzRun(data, size, {"resize", "in.vhd", mebibytes});
    }
    return 0;
}
