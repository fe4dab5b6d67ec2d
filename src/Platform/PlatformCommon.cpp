// What every implementation of the platform layer shares.
#include "Platform.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

// An absolute path's root (none on POSIX, "C:", "\\\\server\\share") and its named parts.
struct PathParts {
    std::string root;
    std::vector<std::string> parts;
};

PathParts SplitPath(const std::string& path, bool windowsPaths)
{
    const char* separators = windowsPaths ? "\\/" : "/";
    auto separator = [&](size_t i) { return i < path.size() && (path[i] == '/' || (windowsPaths && path[i] == '\\')); };
    size_t at = 0;
    if (windowsPaths && separator(0) && separator(1)) {
        const size_t server = path.find_first_of(separators, 2);
        at = server == std::string::npos ? server : path.find_first_of(separators, server + 1);
    } else if (windowsPaths && path.size() >= 2 && path[1] == ':') {
        at = 2;
    }
    PathParts split{path.substr(0, std::min(at, path.size())), {}};
    while (at < path.size()) {
        const size_t end = std::min(path.find_first_of(separators, at), path.size());
        if (end > at) {
            split.parts.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    return split;
}

bool SameName(const std::string& first, const std::string& second, bool windowsPaths)
{
    auto fold = [&](char c) { return windowsPaths ? std::tolower(static_cast<unsigned char>(c)) : c; };
    return std::ranges::equal(first, second, [&](char a, char b) { return fold(a) == fold(b); });
}

}  // namespace

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

bool RelativeByName(const std::string& fromFolderOf, const std::string& target, bool windowsPaths,
                    std::string* relative)
{
    PathParts from = SplitPath(fromFolderOf, windowsPaths);
    const PathParts to = SplitPath(target, windowsPaths);
    if (!SameName(from.root, to.root, windowsPaths)) {
        return false;
    }
    if (!from.parts.empty()) {
        from.parts.pop_back();  // the file's own name
    }
    size_t common = 0;
    while (common < from.parts.size() && common < to.parts.size() &&
           SameName(from.parts[common], to.parts[common], windowsPaths)) {
        ++common;
    }
    std::string path = common == from.parts.size() ? "." : "..";
    for (size_t up = common + 1; up < from.parts.size(); ++up) {
        path += "\\..";
    }
    for (size_t down = common; down < to.parts.size(); ++down) {
        path += "\\" + to.parts[down];
    }
    *relative = path;
    return true;
}
