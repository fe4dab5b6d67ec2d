// The test seam: the real platform layer, with switches that make its calls fail, come back short or stop the program.
#pragma once

#include <cstdint>
#include <string>

struct Faults {
    const char* fail = nullptr;        // the calls that fail: "write 3", "call 7", "seek 2,read 1"
    const char* shorten = nullptr;     // the writes and copies, named so, that move half their bytes
    int64_t badRead = -1;              // reads over this position fail, copies stop there
    int64_t badWrite = -1;             // the same for writes
    int64_t stopAfterWrites = -1;      // after so many writes the next call throws StopProgram
    uint64_t allocLimit = UINT64_MAX;  // larger allocations are refused
    bool fakeClock = false;            // the clock moves 100 ms at every look
    unsigned processors = 1;           // the workers of a transfer
    bool inSystem = false;             // copies go inside the system, which shares extents
    bool operator==(const Faults&) const = default;
};
struct StopProgram {};  // the program dies inside a platform call

struct TestCounters {
    int64_t calls = 0;        // calls a switch can reach
    int64_t writes = 0;       // writes and copies that moved bytes
    int64_t openFiles = 0;    // files opened and not closed
    int64_t allocated = 0;    // bytes obtained and not given back
    int64_t workerCalls = 0;  // calls made on another thread
};

void TestPlatformReset(const Faults& faults = {});  // sets the switches, clears the counters
const TestCounters& TestPlatformCounters();
std::string InjectedErrorText();  // the system's text for an injected failure
