// info: footer recognition and the header report on any bytes.
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzRun(data, size, {"info", "in.vhd"});
    return 0;
}
