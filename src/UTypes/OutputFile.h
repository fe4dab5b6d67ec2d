// The file a command writes, a raw image or a rebuilt "new.vhd": made new,
// written at explicit positions, and given its final length, with the
// messages for what fails. Also the large buffers the writers take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Platform.h"

struct PlatformFreer {
    size_t bytes;
    void operator()(uint8_t* memory) const { PlatformFree(memory, bytes); }
};
using Memory = std::unique_ptr<uint8_t[], PlatformFreer>;

// Zero-filled memory from the platform. Memory that cannot be obtained ends
// the run: FatalError "Out of memory" (the front end's report, exit 1).
Memory ObtainMemory(uint64_t bytes, const std::string& purpose);

// A new file. When it cannot be created its writer writes on anyway, to a
// handle that was never opened, and reports each failed write: `file` is
// then null, `createError` holds the reason, and a line on standard error
// has said so.
struct OutputFile {
    FileHandle file{nullptr, PlatformClose};
    std::string path;
    std::string createError;
};

OutputFile CreateOutputFile(const std::string& path, OpenMode mode);

// Whether a new file may be made at `path`: not when none is named, nor
// when a file is there, which is never replaced; each refusal says so.
bool MayCreate(const std::string& path);

// The text for a failed write: the system's, or, for a file that was never
// created, why it was not.
std::string WriteErrorText(const OutputFile& output);

// Whether `length` bytes are all zero: each byte equal to the one after it,
// and the first zero, in one pass of the C library's fastest compare, which
// stops at the first other byte.
bool AllZero(const uint8_t* bytes, int64_t length);

// After a footer for a disk of `size` bytes is written: a warning when the
// disk is larger than peers open (kLargestDisk).
void WarnIfBeyondPeers(int64_t size);

// Gives the file its final length: the zeros at its end and in the holes
// left for zero runs. A failure is reported on standard error.
void SetOutputLength(const OutputFile& output, uint64_t length);
