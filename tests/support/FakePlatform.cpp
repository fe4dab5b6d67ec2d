#include "FakePlatform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Platform/Platform.h"

struct PlatformFile {
    std::string path;
    int64_t position = 0;
    bool canRead = false;
    bool canWrite = false;
};

namespace {

constexpr int64_t kPage = 4096;
std::string g_error;

FakeFs& State()
{
    static FakeFs fs;
    return fs;
}

// Counts the call and tells whether it is to fail; a failing call saves
// the error text.
bool Injected(const std::string& op, const std::string& path, int64_t position = -1, int64_t count = 0)
{
    FakeFs& fs = State();
    if (fs.stopAfterWrites >= 0 && fs.writes >= fs.stopAfterWrites) {
        throw FakeStop{};
    }
    const FakeCall call{op, path, ++fs.calls, position, count};
    fs.log.push_back(op + " " + path);
    if (fs.failIf && fs.failIf(call)) {
        g_error = "injected failure";
        return true;
    }
    return false;
}

bool ShortNow(const std::string& op, const std::string& path, int64_t position, int64_t count)
{
    FakeFs& fs = State();
    return fs.shortIf && fs.shortIf(FakeCall{op, path, fs.calls, position, count});
}

bool Fail(const char* text)
{
    g_error = text;
    return false;
}

FakeFile* Find(const std::string& path)
{
    auto it = State().files.find(path);
    return it == State().files.end() ? nullptr : &it->second;
}

void Store(FakeFile& file, int64_t position, const uint8_t* data, int64_t count)
{
    for (int64_t done = 0; done < count;) {
        const int64_t at = position + done;
        auto& page = file.pages[at / kPage];
        page.resize(kPage);
        const int64_t n = std::min(count - done, kPage - at % kPage);
        std::memcpy(page.data() + at % kPage, data + done, static_cast<size_t>(n));
        done += n;
    }
    file.length = std::max(file.length, position + count);
}

void Load(const FakeFile& file, int64_t position, uint8_t* data, int64_t count)
{
    for (int64_t done = 0; done < count;) {
        const int64_t at = position + done;
        const int64_t n = std::min(count - done, kPage - at % kPage);
        auto it = file.pages.find(at / kPage);
        if (it == file.pages.end()) {
            std::memset(data + done, 0, static_cast<size_t>(n));
        } else {
            std::memcpy(data + done, it->second.data() + at % kPage, static_cast<size_t>(n));
        }
        done += n;
    }
}

void Truncate(FakeFile& file, int64_t length)
{
    for (auto it = file.pages.lower_bound(length / kPage); it != file.pages.end();) {
        if (it->first * kPage >= length) {
            it = file.pages.erase(it);
        } else {
            std::fill(it->second.begin() + (length - it->first * kPage), it->second.end(), 0);
            ++it;
        }
    }
    file.length = length;
}

int64_t ReadFrom(PlatformFile* file, int64_t position, void* buffer, uint32_t count)
{
    if (file == nullptr || Injected("read", file->path, position, count)) {
        return -1;
    }
    FakeFile* data = Find(file->path);
    if (data == nullptr || !file->canRead || position < 0) {
        Fail("access denied");
        return -1;
    }
    int64_t n = std::clamp<int64_t>(data->length - position, 0, count);
    if (n > 0 && ShortNow("read", file->path, position, count)) {
        n /= 2;
    }
    Load(*data, position, static_cast<uint8_t*>(buffer), n);
    return n;
}

int64_t WriteTo(PlatformFile* file, int64_t position, const void* buffer, uint32_t count)
{
    if (file == nullptr || Injected("write", file->path, position, count)) {
        return -1;
    }
    FakeFile* data = Find(file->path);
    if (data == nullptr || !file->canWrite || position < 0) {
        Fail("access denied");
        return -1;
    }
    int64_t n = count;
    if (n > 0 && ShortNow("write", file->path, position, count)) {
        n /= 2;
        g_error = "no space left on device";
    }
    if (n > 0) {
        ++State().writes;
    }
    Store(*data, position, static_cast<const uint8_t*>(buffer), n);
    return n;
}

}  // namespace

FakeFs& Fake()
{
    return State();
}

void FakeReset()
{
    State() = FakeFs{};
    g_error.clear();
}

void FakePut(const std::string& path, const std::string& bytes)
{
    State().files[path] = FakeFile{};
    FakePutAt(path, 0, bytes);
}

void FakePutAt(const std::string& path, int64_t position, const std::string& bytes)
{
    Store(State().files[path], position, reinterpret_cast<const uint8_t*>(bytes.data()),
          static_cast<int64_t>(bytes.size()));
}

void FakeSetLength(const std::string& path, int64_t length)
{
    Truncate(State().files[path], length);
}

void FakeMakeSpecial(const std::string& path, FakeFile::Kind kind)
{
    State().files[path].kind = kind;
}

bool FakeExists(const std::string& path)
{
    return Find(path) != nullptr;
}

int64_t FakeLength(const std::string& path)
{
    const FakeFile* file = Find(path);
    return file == nullptr ? -1 : file->length;
}

std::string FakeRead(const std::string& path, int64_t position, int64_t count)
{
    const FakeFile* file = Find(path);
    if (file == nullptr) {
        return {};
    }
    count = std::clamp<int64_t>(file->length - position, 0, count);
    std::string bytes(static_cast<size_t>(count), '\0');
    Load(*file, position, reinterpret_cast<uint8_t*>(bytes.data()), count);
    return bytes;
}

std::string FakeContents(const std::string& path)
{
    return FakeRead(path, 0, FakeLength(path));
}

bool FakeZeroFrom(const std::string& path, int64_t position)
{
    const FakeFile* file = Find(path);
    if (file == nullptr) {
        return false;
    }
    for (const auto& [index, page] : file->pages) {
        for (int64_t i = 0; i < kPage; ++i) {
            const int64_t at = index * kPage + i;
            if (at >= position && at < file->length && page[static_cast<size_t>(i)] != 0) {
                return false;
            }
        }
    }
    return true;
}

// ---- the platform layer over the fake file system ---------------------------

PlatformFile* PlatformOpen(const std::string& path, OpenMode mode)
{
    const bool create = mode == OpenMode::CreateNewWrite || mode == OpenMode::CreateNewReadWrite;
    if (Injected(create ? "create" : "open", path)) {
        return nullptr;
    }
    FakeFile* file = Find(path);
    if (create) {
        if (path.empty()) {
            Fail("no such file or directory");
            return nullptr;
        }
        if (file != nullptr) {
            Fail("file exists");
            return nullptr;
        }
        State().files[path] = FakeFile{};
    } else if (file == nullptr) {
        Fail("no such file or directory");
        return nullptr;
    } else if (file->kind != FakeFile::Kind::Regular) {
        Fail("not a regular file");
        return nullptr;
    }
    ++State().openHandles;
    auto* handle = new PlatformFile{path};
    handle->canRead = mode != OpenMode::CreateNewWrite;
    handle->canWrite = mode != OpenMode::ReadExisting;
    return handle;
}

void PlatformClose(PlatformFile* file)
{
    if (file != nullptr) {
        --State().openHandles;
        delete file;
    }
}

bool PlatformSeek(PlatformFile* file, int64_t position)
{
    if (file == nullptr || Injected("seek", file->path)) {
        return false;
    }
    if (position < 0) {
        return Fail("invalid argument");
    }
    file->position = position;
    return true;
}

bool PlatformSeekEnd(PlatformFile* file, int64_t* end)
{
    if (file == nullptr || Injected("seekend", file->path)) {
        return false;
    }
    file->position = FakeLength(file->path);
    *end = file->position;
    return true;
}

int64_t PlatformRead(PlatformFile* file, void* buffer, uint32_t count)
{
    const int64_t n = ReadFrom(file, file == nullptr ? 0 : file->position, buffer, count);
    if (n > 0) {
        file->position += n;
    }
    return n;
}

int64_t PlatformWrite(PlatformFile* file, const void* buffer, uint32_t count)
{
    const int64_t n = WriteTo(file, file == nullptr ? 0 : file->position, buffer, count);
    if (n > 0) {
        file->position += n;
    }
    return n;
}

int64_t PlatformReadAt(PlatformFile* file, int64_t position, void* buffer, uint32_t count)
{
    return ReadFrom(file, position, buffer, count);
}

int64_t PlatformWriteAt(PlatformFile* file, int64_t position, const void* buffer, uint32_t count)
{
    return WriteTo(file, position, buffer, count);
}

int64_t PlatformCopyRange(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length)
{
    // Through the fake's own reads and writes, so their failure switches
    // apply. The buffer holds no more than the source can supply: hostile
    // images ask for copies far past their end.
    const int64_t available = from == nullptr ? 0 : FakeLength(from->path) - fromPosition;
    return CopyThroughBuffer(from, fromPosition, to, toPosition, length, 0, available);
}

bool PlatformNextData(PlatformFile* file, int64_t position, int64_t* dataStart, int64_t* dataEnd)
{
    const FakeFile* data = file == nullptr ? nullptr : Find(file->path);
    if (data == nullptr || position < 0 || position >= data->length) {
        return false;
    }
    // Pages that were written are data, the rest holes.
    auto it = data->pages.lower_bound(position / kPage);
    if (it == data->pages.end()) {
        return false;
    }
    *dataStart = std::max(position, it->first * kPage);
    int64_t end = it->first;
    for (; it != data->pages.end() && it->first == end; ++it) {
        ++end;
    }
    *dataEnd = std::min(end * kPage, data->length);
    return true;
}

bool PlatformSetLength(PlatformFile* file, int64_t length)
{
    if (file == nullptr || Injected("setlength", file->path)) {
        return false;
    }
    FakeFile* data = Find(file->path);
    if (data == nullptr || !file->canWrite || length < 0) {
        return Fail("access denied");
    }
    Truncate(*data, length);
    return true;
}

int64_t PlatformFileSize(const std::string& path)
{
    const FakeFile* file = Find(path);
    if (file == nullptr) {
        return -1;
    }
    return file->kind == FakeFile::Kind::Regular ? file->length : 0;
}

bool PlatformRemoveFile(const std::string& path)
{
    if (Injected("remove", path)) {
        return false;
    }
    FakeFile* file = Find(path);
    if (file == nullptr) {
        return Fail("no such file or directory");
    }
    if (file->kind != FakeFile::Kind::Regular) {
        return Fail("not a regular file");
    }
    State().files.erase(path);
    return true;
}

bool PlatformRenameNoReplace(const std::string& from, const std::string& to)
{
    if (Injected("rename", from)) {
        return false;
    }
    if (Find(from) == nullptr || to.empty()) {
        return Fail("no such file or directory");
    }
    if (Find(to) != nullptr) {
        return Fail("file exists");
    }
    State().files[to] = State().files[from];
    State().files.erase(from);
    return true;
}

bool PlatformSameFile(const std::string& first, const std::string& second)
{
    return FakeExists(first) && first == second;
}

std::string PlatformDirectoryPart(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string PlatformErrorText()
{
    return g_error;
}

void PlatformNewGuid(uint8_t out[16])
{
    for (int i = 0; i < 16; ++i) {
        out[i] = State().nextGuidByte++;
    }
}

void* PlatformAlloc(size_t bytes)
{
    FakeFs& fs = State();
    if (Injected("alloc", "", -1, static_cast<int64_t>(bytes)) || bytes > fs.allocLimit) {
        return nullptr;
    }
    void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (memory != nullptr) {
        fs.allocated += bytes;
        fs.peakAllocated = std::max(fs.peakAllocated, fs.allocated);
    }
    return memory;
}

void PlatformFree(void* memory, size_t bytes)
{
    if (memory != nullptr) {
        State().allocated -= bytes;
    }
    std::free(memory);
}

void PlatformInitConsole() {}

bool PlatformStderrIsTerminal()
{
    return false;
}

int64_t PlatformMonotonicMs()
{
    // Time moves on by 100 ms at every look, so progress lines are paced
    // the same way in every run.
    return State().clockMs += 100;
}
