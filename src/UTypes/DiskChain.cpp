#include "DiskChain.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

std::string LastComponent(const std::string& path)
{
    const auto separator = std::find_if(path.rbegin(), path.rend(), IsSeparator);
    return std::string(separator.base(), path.end());
}

// A path relative to `folder`, the part of another path up to its last
// separator: "./" at its start goes where `folder` says where it is.
std::string Beside(const std::string& folder, const std::string& path)
{
    return folder +
           (!folder.empty() && path.size() > 2 && path[0] == '.' && IsSeparator(path[1]) ? path.substr(2) : path);
}

// A relative Windows path, with "/" between its parts.
std::string Slashed(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

bool HasDriveLetter(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])) != 0;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The path of a file URL ("file://host/path"), its %XX escapes decoded.
std::string UrlPath(const std::string& url)
{
    std::string path = url;
    if (path.rfind("file://", 0) == 0) {
        const size_t slash = path.find('/', 7);
        path = slash == std::string::npos ? std::string() : path.substr(slash);
    }
    std::string decoded;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    return decoded;
}

// Where to look for the parent of the disk at `path`, in order, each path once.
std::vector<std::string> Candidates(const std::string& path, PlatformFile* file, int64_t size,
                                    const DynamicDiskHeader& header)
{
    const std::string folder = PlatformDirectoryPart(path);
    std::vector<std::string> found;
    auto add = [&](const std::string& candidate) {
        if (!candidate.empty() && std::find(found.begin(), found.end(), candidate) == found.end()) {
            found.push_back(candidate);
        }
    };
    for (const char* code : {"W2ru", "W2ku", "MacX"}) {
        for (const ParentLocator& locator : header.parentLocators) {
            std::string text;
            if (std::memcmp(locator.platformCode, code, 4) != 0 || !ReadLocatorText(file, size, locator, &text) ||
                text.empty()) {
                continue;
            }
            if (code[2] == 'r') {
                add(Beside(folder, Slashed(text)));
            } else if (code[2] == 'k') {
                if (PlatformWindowsPaths()) {
                    add(text);
                }
                add(folder + LastComponent(text));
            } else {
                add(UrlPath(text));
            }
        }
    }
    const std::string name = ParentName(header);
    if (!name.empty()) {
        if (PlatformWindowsPaths() || (name.find('\\') == std::string::npos && !HasDriveLetter(name))) {
            add(IsSeparator(name[0]) || HasDriveLetter(name) ? name : folder + name);
        }
        add(folder + LastComponent(name));
    }
    return found;
}

// Opens a candidate that may be the parent: a regular file of whole
// sectors ending with a footer of a fixed, dynamic or differencing disk
// whose Unique Id is `uniqueId`. Gives why it is not, or nothing.
std::string TryParent(const std::string& candidate, const uint8_t* uniqueId, ChainDisk& disk)
{
    disk.path = candidate;
    disk.file.reset(PlatformOpen(candidate, OpenMode::ReadExisting));
    if (!disk.file) {
        return PlatformErrorText();
    }
    if (!PlatformSeekEnd(disk.file.get(), &disk.size)) {
        return PlatformErrorText();
    }
    if (disk.size % kSectorSize != 0) {
        return "not whole sectors";
    }
    disk.records = RecogniseDisk(disk.file.get(), disk.size, FooterAt::End);
    if (disk.records.type == 0) {
        return "no VHD footer";
    }
    if (std::memcmp(disk.records.footer.uniqueId, uniqueId, sizeof disk.records.footer.uniqueId) != 0) {
        return "another Unique Id";
    }
    return {};
}

}  // namespace

std::string WhyUnreadable(const std::string& name, const DynamicDiskHeader& header)
{
    BlockGeometry blocks;
    if (!IsDynamicHeader(header)) {
        return name + " has no dynamic disk header";
    }
    if (!BlockGeometryFor(Swap32(header.blockSize), &blocks)) {
        return name + " has a Block Size of " + std::to_string(Swap32(header.blockSize)) +
               " bytes, not a power of two from 512 bytes to 256 MiB";
    }
    return {};
}

DiskChain FindParents(const std::string& childPath, PlatformFile* child, int64_t childSize,
                      const DynamicDiskHeader& childHeader)
{
    DiskChain chain;
    chain.parents.reserve(kLongestChain);  // `header` below points into it
    chain.failure = WhyUnreadable(childPath, childHeader);
    std::string path = childPath;
    PlatformFile* file = child;
    int64_t size = childSize;
    const DynamicDiskHeader* header = &childHeader;
    while (chain.failure.empty()) {
        const std::string whose = path == childPath ? childPath : path + ", in the chain of " + childPath + ",";
        if (chain.parents.size() + 1 >= kLongestChain) {
            chain.failure = "the chain of " + childPath + " is longer than " + std::to_string(kLongestChain) + " disks";
            break;
        }
        std::string tried;
        ChainDisk parent;
        bool found = false;
        for (const std::string& candidate : Candidates(path, file, size, *header)) {
            const std::string why = TryParent(candidate, header->parentUniqueId, parent);
            if (why.empty()) {
                found = true;
                break;
            }
            tried += (tried.empty() ? "" : ", ") + candidate + " (" + why + ")";
        }
        if (!found) {
            chain.failure = "the parent of " + whose + " was not found; " +
                            (tried.empty() ? "its header names no path" : "tried " + tried);
            break;
        }
        const bool loop = PlatformSameFile(parent.path, childPath) ||
                          std::any_of(chain.parents.begin(), chain.parents.end(),
                                      [&](const ChainDisk& disk) { return PlatformSameFile(parent.path, disk.path); });
        if (loop) {
            chain.failure = "the chain of " + childPath + " comes back to " + parent.path;
            break;
        }
        const uint32_t type = parent.records.type;
        if (type != kDiskTypeFixed) {
            chain.failure = WhyUnreadable(parent.path, parent.records.header);
        }
        chain.parents.push_back(std::move(parent));
        if (type != kDiskTypeDifferencing) {
            break;
        }
        path = chain.parents.back().path;
        file = chain.parents.back().file.get();
        size = chain.parents.back().size;
        header = &chain.parents.back().records.header;
    }
    return chain;
}
