// The platform layer on Windows: the ANSI file API with 64-bit positions
// passed as low and high halves, the system's own error texts, and no call
// that replaces or removes a file it was not asked to.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>  // before the other Windows headers

#include <objbase.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Platform.h"

struct PlatformFile {
    HANDLE handle;
};

namespace {

// The error of the last failing call: a GetLastError code, or a text of
// our own for the refusals that have no system code of their own.
thread_local DWORD t_errorCode = 0;
thread_local const char* t_errorText = nullptr;

bool Fail(DWORD code)
{
    t_errorCode = code;
    t_errorText = nullptr;
    return false;
}

bool FailLast()
{
    return Fail(GetLastError());
}

bool FailWithText(const char* text)
{
    t_errorCode = 0;
    t_errorText = text;
    return false;
}

constexpr const char* kNotRegular = "not a regular file";
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool IsSpecial(DWORD attributes)
{
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

// A handle on an ordinary file on a disk: not a console, pipe, printer or
// other character device (GetFileType), not a directory, and not a raw
// volume or drive, which has no file information.
bool IsRegularHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) != 0 &&
           !IsSpecial(info.dwFileAttributes);
}

// SetFilePointer with a 64-bit distance as low and high halves. Its
// failure is 0xFFFFFFFF together with an error code: 0xFFFFFFFF alone is
// also the low half of valid positions (4 GiB - 1, 8 GiB - 1, ...).
bool MovePointer(PlatformFile* file, int64_t distance, DWORD method, int64_t* position)
{
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const auto bits = static_cast<uint64_t>(distance);
    LONG high = static_cast<LONG>(static_cast<DWORD>(bits >> 32));
    const LONG low = static_cast<LONG>(static_cast<DWORD>(bits & 0xFFFFFFFFu));
    SetLastError(NO_ERROR);
    const DWORD result = SetFilePointer(file->handle, low, &high, method);
    if (result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        return FailLast();
    }
    if (position != nullptr) {
        *position = static_cast<int64_t>((static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | result);
    }
    return true;
}

// One transfer loop for the read and write calls: goes on after short
// transfers, stops at the end of the file (reads) or at the first error,
// and gives the bytes moved, or -1 when none moved. With a position, each
// call names it in an OVERLAPPED record, so threads sharing the handle do
// not move one another's file pointer; without one (-1), the calls go on
// from the file pointer.
int64_t TransferAll(PlatformFile* file, int64_t position, char* bytes, uint32_t count, bool isRead)
{
    if (file == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return -1;
    }
    uint32_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        const auto offset = static_cast<uint64_t>(position + done);
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        OVERLAPPED* where = position < 0 ? nullptr : &at;
        DWORD moved = 0;
        const BOOL ok = isRead ? ReadFile(file->handle, bytes + done, count - done, &moved, where)
                               : WriteFile(file->handle, bytes + done, count - done, &moved, where);
        if (ok == 0) {
            if (isRead && GetLastError() == ERROR_HANDLE_EOF) {
                break;  // a positional read at or past the end
            }
            FailLast();
            return done > 0 ? int64_t{done} : -1;
        }
        if (moved == 0) {
            if (!isRead) {
                Fail(ERROR_DISK_FULL);  // a write that moves nothing and says nothing
            }
            break;
        }
        done += moved;
    }
    return done;
}

}  // namespace

PlatformFile* PlatformOpen(const std::string& path, OpenMode mode)
{
    DWORD access = 0;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case OpenMode::ReadExisting: access = GENERIC_READ; break;
    case OpenMode::ReadWriteExisting: access = GENERIC_READ | GENERIC_WRITE; break;
    case OpenMode::CreateNewWrite:
        access = GENERIC_WRITE;
        disposition = CREATE_NEW;
        break;
    case OpenMode::CreateNewReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_NEW;
        break;
    }
    if (disposition == OPEN_EXISTING) {
        // Look before opening: a directory never opens as a file, and
        // opening some devices has effects of its own.
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            FailLast();
            return nullptr;
        }
        if (IsSpecial(attributes)) {
            FailWithText(kNotRegular);
            return nullptr;
        }
    }
    const HANDLE handle = CreateFileA(path.c_str(), access, kShareReadWrite, nullptr, disposition, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        FailLast();
        return nullptr;
    }
    // A file just made is a disk file wherever it lies; one that existed
    // must also be no directory or volume.
    const bool regular = disposition == CREATE_NEW ? GetFileType(handle) == FILE_TYPE_DISK : IsRegularHandle(handle);
    if (!regular) {
        CloseHandle(handle);
        FailWithText(kNotRegular);
        return nullptr;
    }
    return new PlatformFile{handle};
}

void PlatformClose(PlatformFile* file)
{
    if (file != nullptr) {
        CloseHandle(file->handle);
        delete file;
    }
}

bool PlatformSeek(PlatformFile* file, int64_t position)
{
    if (position < 0) {
        return Fail(ERROR_NEGATIVE_SEEK);
    }
    return MovePointer(file, position, FILE_BEGIN, nullptr);
}

bool PlatformSeekEnd(PlatformFile* file, int64_t* end)
{
    return MovePointer(file, 0, FILE_END, end);
}

int64_t PlatformWrite(PlatformFile* file, const void* buffer, uint32_t count)
{
    // WriteFile takes a pointer to const; the loop is shared with reads.
    return TransferAll(file, -1, const_cast<char*>(static_cast<const char*>(buffer)), count, false);
}

int64_t PlatformReadAt(PlatformFile* file, int64_t position, void* buffer, uint32_t count)
{
    if (position < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    return TransferAll(file, position, static_cast<char*>(buffer), count, true);
}

int64_t PlatformWriteAt(PlatformFile* file, int64_t position, const void* buffer, uint32_t count)
{
    if (position < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    return TransferAll(file, position, const_cast<char*>(static_cast<const char*>(buffer)), count, false);
}

bool PlatformSharesExtents(PlatformFile* /*from*/, PlatformFile* /*to*/)
{
    return false;
}

int64_t PlatformCopyInSystem(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                             int64_t length)
{
    if (from == nullptr || to == nullptr || fromPosition < 0 || toPosition < 0 || length < 0) {
        Fail(from == nullptr || to == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Through the buffer, with this layer's own reads and writes.
    return CopyThroughBuffer(from, fromPosition, to, toPosition, length, 0, length, PlatformReadAt, PlatformWriteAt);
}

int64_t PlatformCopyRange(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length)
{
    return PlatformCopyInSystem(from, fromPosition, to, toPosition, length);
}

int PlatformNextData(PlatformFile* file, int64_t position, int64_t* dataStart, int64_t* dataEnd)
{
    if (file == nullptr || position < 0) {
        Fail(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file->handle, &size) == 0) {
        FailLast();
        return -1;
    }
    if (position >= size.QuadPart) {
        return 0;
    }
    // The first allocated range at or after the position; a file that is
    // not sparse is one range from start to end.
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = position;
    query.Length.QuadPart = size.QuadPart - position;
    FILE_ALLOCATED_RANGE_BUFFER range{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(file->handle, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range,
                                    sizeof range, &returned, nullptr);
    if (ok != 0 && returned == 0) {
        return 0;  // only holes follow
    }
    if ((ok != 0 || GetLastError() == ERROR_MORE_DATA) && returned >= sizeof range) {
        const int64_t start = std::max(range.FileOffset.QuadPart, position);
        const int64_t end = std::min(range.FileOffset.QuadPart + range.Length.QuadPart, size.QuadPart);
        if (start < end) {
            *dataStart = start;
            *dataEnd = end;
            return 1;
        }
    }
    *dataStart = position;  // the system cannot tell: all of it may be data
    *dataEnd = size.QuadPart;
    return 1;
}

bool PlatformMakeSparse(PlatformFile* file)
{
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD returned = 0;
    if (DeviceIoControl(file->handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) != 0) {
        return true;
    }
    // FAT and other file systems without sparse files refuse the request.
    const DWORD code = GetLastError();
    return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || Fail(code);
}

bool PlatformFlush(PlatformFile* file)
{
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FlushFileBuffers(file->handle) != 0 || FailLast();
}

bool PlatformSetLength(PlatformFile* file, int64_t length)
{
    if (length < 0) {
        return Fail(ERROR_NEGATIVE_SEEK);
    }
    if (!MovePointer(file, length, FILE_BEGIN, nullptr)) {
        return false;
    }
    return SetEndOfFile(file->handle) != 0 || FailLast();
}

int64_t PlatformFileSize(const std::string& path)
{
    // FindFirstFileA takes a pattern: a wildcard ("*", "?", and the "<",
    // ">" and '"' the system treats as such) could match some other file.
    if (path.empty() || path.find_first_of("*?<>\"") != std::string::npos) {
        Fail(path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
        return -1;
    }
    WIN32_FIND_DATAA entry{};
    const HANDLE search = FindFirstFileA(path.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        FailLast();
        return -1;
    }
    FindClose(search);
    if (IsSpecial(entry.dwFileAttributes)) {
        return 0;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
}

bool PlatformRemoveFile(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FailLast();
    }
    if (IsSpecial(attributes)) {
        return FailWithText(kNotRegular);
    }
    return DeleteFileA(path.c_str()) != 0 || FailLast();
}

bool PlatformRenameNoReplace(const std::string& from, const std::string& to)
{
    const DWORD attributes = GetFileAttributesA(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FailLast();
    }
    if (IsSpecial(attributes)) {
        return FailWithText(kNotRegular);
    }
    // MoveFileA never replaces an existing destination, and moves a file to
    // another volume by copying it and then deleting the source.
    return MoveFileA(from.c_str(), to.c_str()) != 0 || FailLast();
}

bool PlatformSameFile(const std::string& first, const std::string& second)
{
    // No access asked for: only the file's identity is read.
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
        if (path.empty()) {
            return false;
        }
        const HANDLE handle = CreateFileA(path.c_str(), 0, kShareReadWrite | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool ok = GetFileInformationByHandle(handle, info) != 0;
        CloseHandle(handle);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return identify(first, &a) && identify(second, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool PlatformWindowsPaths()
{
    return true;
}

std::string PlatformDirectoryPart(const std::string& path)
{
    // "D:a.vhd" lies in drive D's current directory: its directory part is
    // "D:", so a file made beside it lands there too.
    const size_t separator = path.find_last_of("\\/:");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string PlatformAbsolutePath(const std::string& path)
{
    if (path.empty()) {
        Fail(ERROR_INVALID_NAME);
        return {};
    }
    // The size asked for counts the closing zero; the one written does not.
    // Another thread may change the current folder in between: ask again.
    std::vector<char> absolute(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetFullPathNameA(path.c_str(), static_cast<DWORD>(absolute.size()), absolute.data(), nullptr);
        if (length == 0) {
            FailLast();
            return {};
        }
        if (length < absolute.size()) {
            return std::string(absolute.data(), length);
        }
        absolute.resize(length);
    }
}

bool PlatformRelativePath(const std::string& fromFolderOf, const std::string& target, std::string* relative)
{
    const std::string from = PlatformAbsolutePath(fromFolderOf);
    const std::string to = PlatformAbsolutePath(target);
    if (from.empty() || to.empty()) {
        return false;
    }
    return RelativeByName(from, to, true, relative) || FailWithText("on another drive or share");
}

std::string PlatformErrorText()
{
    if (t_errorText != nullptr) {
        return t_errorText;
    }
    if (t_errorCode == 0) {
        return {};
    }
    // The user's default language; where the system has no message in it,
    // the system's own search order of languages.
    char text[256] = {};
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD userDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
    DWORD length = FormatMessageA(flags, nullptr, t_errorCode, userDefault, text, sizeof text, nullptr);
    if (length == 0) {
        length = FormatMessageA(flags, nullptr, t_errorCode, 0, text, sizeof text, nullptr);
    }
    return TrimErrorText(std::string(text, std::min<DWORD>(length, sizeof text)));
}

void PlatformNewGuid(uint8_t out[16])
{
    GUID guid{};
    if (CoCreateGuid(&guid) == S_OK) {
        std::memcpy(out, &guid, 16);
    } else {
        // No system source: the C++ library's, still unique enough for an
        // identifier nothing depends on.
        std::random_device random;
        for (int i = 0; i < 16; ++i) {
            out[i] = static_cast<uint8_t>(random());
        }
    }
    // The version 4 and variant bits, in CoCreateGuid's byte layout.
    out[7] = static_cast<uint8_t>((out[7] & 0x0F) | 0x40);
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
}

void* PlatformAlloc(size_t bytes)
{
    // Committed pages read as zeros.
    void* memory = VirtualAlloc(nullptr, bytes == 0 ? 1 : bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr) {
        FailLast();
    }
    return memory;
}

void PlatformFree(void* memory, size_t /*bytes*/)
{
    if (memory != nullptr) {
        VirtualFree(memory, 0, MEM_RELEASE);
    }
}

void PlatformInitProcess()
{
    // Binary mode: the C runtime's text mode would turn the "\r\n" that
    // ends every line into "\r\r\n".
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

unsigned PlatformProcessorCount()
{
    return std::max<DWORD>(1, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

bool PlatformStderrIsTerminal()
{
    // A console answers GetConsoleMode; a file or a pipe does not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int64_t PlatformMonotonicMs()
{
    return static_cast<int64_t>(GetTickCount64());
}
