// The test seam: the real platform layer, compiled with the calls that
// TestPlatform.cpp wraps renamed Real..., and switches that make those
// calls fail, come back short or stop the program. All else is real.
#pragma once

#include <cstdint>
#include <string>

struct Faults {
    const char* fail = nullptr;        // the calls that fail: "write 3", "copy 1+", "call 7", "seek 2,read 1"
    const char* shorten = nullptr;     // the writes and copies, named the same way, that move half their bytes
    int64_t badRead = -1;              // reads over this file position fail, copies stop there
    int64_t badWrite = -1;             // the same for writes
    int64_t stopAfterWrites = -1;      // once this many writes moved bytes, the next call throws StopProgram
    uint64_t allocLimit = UINT64_MAX;  // larger allocations are refused
    bool fakeClock = false;            // the clock moves 100 ms at every look
    unsigned processors = 1;           // so many workers run a transfer's moves; one runs them in order
    bool inSystem = false;             // copies go inside the system, as between files that share extents
};
struct StopProgram {};  // the program dies inside a platform call

struct TestCounters {
    int64_t calls = 0;      // calls a switch can reach
    int64_t writes = 0;     // writes and copies that moved bytes
    int64_t openFiles = 0;  // files opened and not closed
    int64_t allocated = 0;  // bytes obtained and not given back
    int64_t workerCopies = 0;  // copies made on another thread than the one that set the switches
};

void TestPlatformReset(const Faults& faults = {});  // the switches set, the counters cleared
const TestCounters& TestPlatformCounters();
std::string InjectedErrorText();  // the system's text for an injected failure
