// What the fuzz targets share: the input becomes "in.vhd" in the in-memory
// platform, the command runs through the real front end, and its output
// goes nowhere. No disk is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "FrontEnd.h"

// Anything the commands allocate beyond this is a finding: a hostile
// header must never make dravik allocate more than the file can back.
constexpr size_t kFuzzAllocLimit = size_t{256} << 20;

inline int FuzzRun(const uint8_t* data, size_t size, const std::vector<std::string>& args)
{
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return c; }
    } nothing;
    std::ostream out(&nothing);
    FakeReset();
    Fake().allocLimit = kFuzzAllocLimit;
    FakePut("in.vhd", std::string(reinterpret_cast<const char*>(data), size));
    const int status = RunDravik(args, out, out);
    if (Fake().openHandles != 0) {
        __builtin_trap();  // a handle left open
    }
    return status;
}
