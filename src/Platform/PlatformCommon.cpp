// What every implementation of the platform layer shares.
#include "Platform.h"

#include <algorithm>
#include <vector>

std::string TrimErrorText(std::string text)
{
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last == ' ' || last < 32 || last == '.') {
            text.pop_back();
        } else {
            break;
        }
    }
    return text;
}

int64_t CopyThroughBuffer(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length, int64_t done, int64_t bufferLimit, ReadAtCall read, WriteAtCall write)
{
    // Pieces of 512 KiB: writes of 2 MiB and more make the page cache take
    // pages of 2 MiB, which can cost more to find than they save.
    constexpr int64_t kPiece = int64_t{512} << 10;
    thread_local std::vector<char> buffer;
    const int64_t piece = std::clamp<int64_t>(std::min(length - done, bufferLimit), 1, kPiece);
    if (std::ssize(buffer) < piece) {
        buffer.resize(static_cast<size_t>(piece));
    }
    while (done < length) {
        const auto chunk = static_cast<uint32_t>(std::min(length - done, piece));
        const int64_t got = read(from, fromPosition + done, buffer.data(), chunk);
        if (got <= 0) {
            return got < 0 && done == 0 ? -1 : done;  // an error, or the source ended
        }
        const int64_t put = write(to, toPosition + done, buffer.data(), static_cast<uint32_t>(got));
        if (put > 0) {
            done += put;
        }
        if (put != got) {
            return done > 0 ? done : -1;
        }
    }
    return done;
}
