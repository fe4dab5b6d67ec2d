#include "TestPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "Platform/Platform.h"

// The real layer's entry points, renamed in its build for the tests.
#define REAL(name) decltype(name) Real##name
REAL(PlatformOpen);
REAL(PlatformClose);
REAL(PlatformSeek);
REAL(PlatformSeekEnd);
REAL(PlatformWrite);
REAL(PlatformReadAt);
REAL(PlatformWriteAt);
REAL(PlatformCopyRange);
REAL(PlatformCopyInSystem);
REAL(PlatformSetLength);
REAL(PlatformFlush);
REAL(PlatformRemoveFile);
REAL(PlatformRenameNoReplace);
REAL(PlatformAlloc);
REAL(PlatformFree);
REAL(PlatformMonotonicMs);
REAL(PlatformNextData);
REAL(PlatformProcessorCount);
REAL(PlatformSharesExtents);

namespace {

Faults g_faults;
std::mutex g_lock;  // a transfer's workers call in at once
TestCounters g_counters;
std::map<std::string, int64_t> g_perOp;
int64_t g_clockMs = 0;
std::thread::id g_setter;  // the thread that set the switches

// A switch names calls "op N" ("write 3") or "call N" (the Nth of any op), joined by commas.
bool Matches(const char* names, const std::string& op, int64_t nth)
{
    for (const char* at = names; at != nullptr; at = std::strchr(at + 1, ',')) {
        char name[16] = {};
        long long n = 0;
        if (std::sscanf(at + (*at == ','), " %15[a-z] %lld", name, &n) == 2 &&
            n == (std::strcmp(name, "call") == 0 ? g_counters.calls
                  : op == name                   ? nth
                                                 : -1))
            return true;
    }
    return false;
}

void Add(int64_t& counter, int64_t amount)
{
    const std::lock_guard<std::mutex> hold(g_lock);
    counter += amount;
}

struct Turn {
    bool fail, shorten;
};

// Counts a call that a switch can reach, and tells what the switches make of it.
Turn Count(const std::string& op)
{
    const std::lock_guard<std::mutex> hold(g_lock);
    if (g_faults.stopAfterWrites >= 0 && g_counters.writes >= g_faults.stopAfterWrites)
        throw StopProgram{};
    ++g_counters.calls;
    g_counters.workerCalls += std::this_thread::get_id() != g_setter ? 1 : 0;
    const int64_t nth = ++g_perOp[op];
    return {Matches(g_faults.fail, op, nth), Matches(g_faults.shorten, op, nth)};
}

// An injected failure: `value`, with the error of a call on no file.
template <typename T>
T Failed(T value)
{
    RealPlatformSeek(nullptr, 0);
    return value;
}

bool Touches(int64_t bad, int64_t position, int64_t count)
{
    return bad >= position && bad < position + count;
}

template <typename Write>
int64_t Written(bool bad, uint32_t count, Write write)
{
    const Turn turn = Count("write");
    const int64_t n = turn.fail || bad ? -1 : write(turn.shorten ? count / 2 : count);
    Add(g_counters.writes, n > 0 ? 1 : 0);
    return turn.fail || bad || turn.shorten ? Failed(n) : n;
}

}  // namespace

void TestPlatformReset(const Faults& faults)
{
    g_faults = faults;
    g_counters = {};
    g_perOp.clear();
    g_setter = std::this_thread::get_id();
}

const TestCounters& TestPlatformCounters()
{
    return g_counters;
}

std::string InjectedErrorText()
{
    return Failed(true) ? PlatformErrorText() : "";
}

PlatformFile* PlatformOpen(const std::string& path, OpenMode mode)
{
    const bool create = mode == OpenMode::CreateNewWrite || mode == OpenMode::CreateNewReadWrite;
    PlatformFile* file =
        Count(create ? "create" : "open").fail ? Failed<PlatformFile*>(nullptr) : RealPlatformOpen(path, mode);
    Add(g_counters.openFiles, file != nullptr ? 1 : 0);
    return file;
}

void PlatformClose(PlatformFile* file)
{
    Add(g_counters.openFiles, file != nullptr ? -1 : 0);
    RealPlatformClose(file);
}

bool PlatformSeek(PlatformFile* file, int64_t at)
{
    return RealPlatformSeek(Count("seek").fail ? nullptr : file, at);
}

bool PlatformSeekEnd(PlatformFile* file, int64_t* end)
{
    return RealPlatformSeekEnd(Count("seekend").fail ? nullptr : file, end);
}

int64_t PlatformReadAt(PlatformFile* file, int64_t at, void* buffer, uint32_t count)
{
    const bool fail = Count("read").fail || Touches(g_faults.badRead, at, count);
    return RealPlatformReadAt(fail ? nullptr : file, at, buffer, count);
}

int64_t PlatformWrite(PlatformFile* file, const void* data, uint32_t count)
{
    return Written(false, count, [&](uint32_t n) { return RealPlatformWrite(file, data, n); });
}

int64_t PlatformWriteAt(PlatformFile* file, int64_t at, const void* buffer, uint32_t count)
{
    return Written(Touches(g_faults.badWrite, at, count), count,
                   [&](uint32_t n) { return RealPlatformWriteAt(file, at, buffer, n); });
}

// A copy with a bad byte in its way goes through the buffered copy, whose reads and writes stop there.
int64_t PlatformCopyRange(PlatformFile* from, int64_t fromAt, PlatformFile* to, int64_t toAt, int64_t length)
{
    int64_t stop = Touches(g_faults.badRead, fromAt, length) ? g_faults.badRead - fromAt : length;
    stop = Touches(g_faults.badWrite, toAt, length) ? std::min(stop, g_faults.badWrite - toAt) : stop;
    const Turn turn = Count("copy");
    if (turn.fail)
        return Failed<int64_t>(-1);
    if (turn.shorten)
        return CopyThroughBuffer(from, fromAt, to, toAt, length / 2, 0, length);
    if (stop < length)
        return CopyThroughBuffer(from, fromAt, to, toAt, length,
                                 CopyThroughBuffer(from, fromAt, to, toAt, stop, 0, stop), length);
    const int64_t n =
        (g_faults.inSystem ? RealPlatformCopyInSystem : RealPlatformCopyRange)(from, fromAt, to, toAt, length);
    Add(g_counters.writes, n > 0 ? 1 : 0);
    return n;
}

bool PlatformSharesExtents(PlatformFile* from, PlatformFile* to)
{
    return g_faults.inSystem || RealPlatformSharesExtents(from, to);
}

int PlatformNextData(PlatformFile* file, int64_t at, int64_t* start, int64_t* end)
{
    return RealPlatformNextData(Count("nextdata").fail ? nullptr : file, at, start, end);
}

bool PlatformFlush(PlatformFile* file)
{
    return RealPlatformFlush(Count("flush").fail ? nullptr : file);
}

bool PlatformSetLength(PlatformFile* file, int64_t length)
{
    return RealPlatformSetLength(Count("setlength").fail ? nullptr : file, length);
}

bool PlatformRemoveFile(const std::string& path)
{
    return Count("remove").fail ? Failed(false) : RealPlatformRemoveFile(path);
}

bool PlatformRenameNoReplace(const std::string& from, const std::string& to)
{
    return Count("rename").fail ? Failed(false) : RealPlatformRenameNoReplace(from, to);
}

void* PlatformAlloc(size_t bytes)
{
    void* memory = Count("alloc").fail || bytes > g_faults.allocLimit ? nullptr : RealPlatformAlloc(bytes);
    Add(g_counters.allocated, memory != nullptr ? int64_t(bytes) : 0);
    return memory;
}

void PlatformFree(void* memory, size_t bytes)
{
    Add(g_counters.allocated, memory != nullptr ? -int64_t(bytes) : 0);
    RealPlatformFree(memory, bytes);
}

unsigned PlatformProcessorCount()
{
    return g_faults.processors;
}

int64_t PlatformMonotonicMs()
{
    return g_faults.fakeClock ? g_clockMs += 100 : RealPlatformMonotonicMs();
}
