// An in-memory platform for the unit tests, linked in place of the real
// one: sparse files in a map, switches that make chosen calls fail or come
// back short, a log of the calls made, a counter for fault injection.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct FakeFile {
    enum class Kind { Regular, Directory, Device };
    Kind kind = Kind::Regular;
    int64_t length = 0;
    std::map<int64_t, std::vector<uint8_t>> pages;  // sparse: absent pages read as zeros
};

// One platform call, as the failure switches see it.
struct FakeCall {
    std::string op;    // "open", "create", "seek", "seekend", "read", "write", "setlength",
                       // "remove", "rename", "alloc"
    std::string path;  // the file's path (for a rename, the source)
    int64_t number;    // 1 for the first call since FakeReset, counting every op above
    int64_t position = -1;  // reads and writes: the file position of the first byte
    int64_t count = 0;      // reads and writes: the bytes asked for; alloc: the bytes
    // True for a read or write whose range holds byte `at`.
    bool Touches(int64_t at) const { return position >= 0 && position <= at && at < position + count; }
};

struct FakeFs {
    std::map<std::string, FakeFile> files;
    std::function<bool(const FakeCall&)> failIf;   // the call fails, moving nothing
    std::function<bool(const FakeCall&)> shortIf;  // a read or write moves half its bytes
    size_t allocLimit = SIZE_MAX;
    size_t allocated = 0;      // bytes obtained through PlatformAlloc and not freed yet
    size_t peakAllocated = 0;  // the most that was ever held at once
    int64_t calls = 0;
    int openHandles = 0;
    std::vector<std::string> log;  // "op path" per call
    uint8_t nextGuidByte = 0x10;
    int64_t clockMs = 0;
    // A crash: once this many writes have moved bytes, the next platform
    // call throws FakeStop, as if the process had died there. -1: never.
    int64_t stopAfterWrites = -1;
    int64_t writes = 0;
};

struct FakeStop {};

FakeFs& Fake();
void FakeReset();

void FakePut(const std::string& path, const std::string& bytes);
void FakePutAt(const std::string& path, int64_t position, const std::string& bytes);
void FakeSetLength(const std::string& path, int64_t length);
void FakeMakeSpecial(const std::string& path, FakeFile::Kind kind);
bool FakeExists(const std::string& path);
int64_t FakeLength(const std::string& path);
std::string FakeRead(const std::string& path, int64_t position, int64_t count);
std::string FakeContents(const std::string& path);  // whole file; keep it small
// True when every byte of the file from `position` to its end is zero.
bool FakeZeroFrom(const std::string& path, int64_t position);
