// What the fixed (ConvertToImg.cpp) and the dynamic (ExportDynamic.cpp)
// raw exports share: the new raw image, large buffers, the final length.
//
// Both exports move data in large pieces and leave holes for zeros, but
// keep every byte of the image and every message exactly as the plain
// piece-by-piece steps give them: when a large transfer fails or comes
// back short, they redo that part piece by piece with that chunk's test and
// message per piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Platform.h"

using FileHandle = std::unique_ptr<PlatformFile, void (*)(PlatformFile*)>;

struct PlatformFreer {
    size_t bytes;
    void operator()(uint8_t* memory) const { PlatformFree(memory, bytes); }
};
using Memory = std::unique_ptr<uint8_t[], PlatformFreer>;

// Zero-filled memory from the platform. Memory that cannot be obtained ends
// the run: FatalError "Out of memory" (the front end's report, exit 1).
Memory ObtainMemory(uint64_t bytes, const char* purpose);

// The new raw image. When it cannot be created the export writes on anyway,
// to a handle that was never opened, and report each failed write of data:
// `file` is then null, `createError` holds the reason, and a line on
// standard error has said so.
struct RawImage {
    FileHandle file{nullptr, PlatformClose};
    std::string path;
    std::string createError;
};

RawImage CreateRawImage(const std::string& path, OpenMode mode);

// The text for a failed write to the image: the system's, or, for an image
// that was never created, why it was not.
std::string WriteErrorText(const RawImage& image);

// Gives the image its final length: the zeros at its end and in the holes
// that were left for zero runs. A failure is reported on standard error.
void SetRawImageLength(const RawImage& image, uint64_t length);

// Entered once ConvertToImg has recognised a dynamic disk.
void ExportDynamic(PlatformFile* source, int64_t sourceSize, uint64_t headerPosition,
                   const std::string& destination);
