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
                          int64_t length, int64_t done, int64_t bufferLimit)
{
    std::vector<char> buffer(
        static_cast<size_t>(std::clamp<int64_t>(std::min(length - done, bufferLimit), 1, int64_t{1} << 20)));
    while (done < length) {
        const auto chunk = static_cast<uint32_t>(std::min<int64_t>(length - done, static_cast<int64_t>(buffer.size())));
        const int64_t got = PlatformReadAt(from, fromPosition + done, buffer.data(), chunk);
        if (got <= 0) {
            return got < 0 && done == 0 ? -1 : done;  // an error, or the source ended
        }
        const int64_t put = PlatformWriteAt(to, toPosition + done, buffer.data(), static_cast<uint32_t>(got));
        if (put > 0) {
            done += put;
        }
        if (put != got) {
            return done > 0 ? done : -1;
        }
    }
    return done;
}
