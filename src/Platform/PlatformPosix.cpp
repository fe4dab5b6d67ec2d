// The platform layer on POSIX systems (Linux first): 64-bit positions
// everywhere, EINTR and short transfers retried, no call that replaces or
// removes a file it was not asked to.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "Platform.h"

static_assert(sizeof(off_t) == 8, "dravik needs 64-bit file positions");

struct PlatformFile {
    int fd;
    dev_t device;
    bool sharingFileSystem;  // on a file system that shares extents or copies on its server
};

namespace {

// The error of the last failing call: an errno value, or a text of our own
// for the refusals that have no errno of their own.
thread_local int t_errorCode = 0;
thread_local const char* t_errorText = nullptr;

bool Fail(int code)
{
    t_errorCode = code;
    t_errorText = nullptr;
    return false;
}

bool FailWithText(const char* text)
{
    t_errorCode = 0;
    t_errorText = text;
    return false;
}

constexpr const char* kNotRegular = "not a regular file";

// The file systems where copy_file_range need not move the data through
// this machine: they share extents (btrfs, XFS, bcachefs, ZFS, OCFS2) or
// copy on their server (NFS, SMB, CIFS). Elsewhere (ext4, tmpfs) it copies
// through the page cache on one thread.
bool SharesExtents(int fd)
{
    constexpr unsigned long kSharing[] = {0x9123683E, 0x58465342, 0xCA451A4E, 0x2FC12FC1,
                                          0x7461636F, 0x6969,     0xFE534D42, 0xFF534D42};
    struct statfs info {};
    return fstatfs(fd, &info) == 0 && std::find(std::begin(kSharing), std::end(kSharing),
                                                static_cast<unsigned long>(info.f_type)) != std::end(kSharing);
}

bool IsRegular(const struct stat& info)
{
    return S_ISREG(info.st_mode);
}

// Moves a file to another file system: the copy is made under the new
// name, created exclusively, with the source's holes and permissions; the
// source is removed only once the copy is complete and on disk. On any
// failure the copy goes again, so exactly one file remains.
bool MoveAcrossFileSystems(const std::string& from, const std::string& to)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) {
        return Fail(errno);
    }
    struct stat info {};
    if (fstat(in, &info) != 0 || !IsRegular(info)) {
        const int code = errno;
        close(in);
        return IsRegular(info) ? Fail(code) : FailWithText(kNotRegular);
    }
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
    if (out < 0) {
        const int code = errno;
        close(in);
        return Fail(code);
    }

    bool ok = true;
    PlatformFile source{in, info.st_dev, SharesExtents(in)};
    PlatformFile target{out, info.st_dev, SharesExtents(out)};
    off_t position = 0;
    while (ok && position < info.st_size) {
        off_t data = lseek(in, position, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole remains
            }
            data = position;  // no hole support: copy everything
        }
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0) {
            hole = info.st_size;
        }
        const int64_t copied = PlatformCopyRange(&source, data, &target, data, hole - data);
        if (copied >= 0 && copied < hole - data) {
            Fail(EIO);  // the source ended early
        }
        ok = copied == hole - data;
        position = hole;
    }
    ok = ok && (ftruncate(out, info.st_size) == 0 || Fail(errno));
    ok = ok && (fsync(out) == 0 || Fail(errno));
    ok = (close(out) == 0 || Fail(errno)) && ok;
    close(in);
    ok = ok && (unlink(from.c_str()) == 0 || Fail(errno));
    if (!ok) {
        const int code = t_errorCode;
        const char* text = t_errorText;
        unlink(to.c_str());
        t_errorCode = code;
        t_errorText = text;
    }
    return ok;
}

// Renames without replacing on a file system that has no such rename:
// a hard link where there are hard links, else a placeholder created
// exclusively under the new name and then replaced by the file itself.
bool RenameWithoutNoReplaceSupport(const std::string& from, const std::string& to)
{
    if (link(from.c_str(), to.c_str()) == 0) {
        if (unlink(from.c_str()) == 0) {
            return true;
        }
        const int code = errno;
        unlink(to.c_str());
        return Fail(code);
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
        return Fail(errno);
    }
    const int placeholder = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (placeholder < 0) {
        return Fail(errno);
    }
    close(placeholder);
    if (rename(from.c_str(), to.c_str()) != 0) {
        const int code = errno;
        unlink(to.c_str());
        return Fail(code);
    }
    return true;
}

}  // namespace

PlatformFile* PlatformOpen(const std::string& path, OpenMode mode)
{
    int flags = O_CLOEXEC | O_NOCTTY;
    const bool create = mode == OpenMode::CreateNewWrite || mode == OpenMode::CreateNewReadWrite;
    switch (mode) {
    case OpenMode::ReadExisting: flags |= O_RDONLY; break;
    case OpenMode::ReadWriteExisting: flags |= O_RDWR; break;
    case OpenMode::CreateNewWrite: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case OpenMode::CreateNewReadWrite: flags |= O_RDWR | O_CREAT | O_EXCL; break;
    }
    if (!create) {
        // Look before opening: opening some devices has effects of its own.
        // O_NONBLOCK keeps a pipe put there meanwhile from blocking the open.
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            Fail(errno);
            return nullptr;
        }
        if (!IsRegular(info)) {
            S_ISDIR(info.st_mode) ? Fail(EISDIR) : FailWithText(kNotRegular);
            return nullptr;
        }
        flags |= O_NONBLOCK;
    }
    int fd = -1;
    do {
        fd = open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !IsRegular(info)) {
        close(fd);
        FailWithText(kNotRegular);
        return nullptr;
    }
    if (!create) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return new PlatformFile{fd, info.st_dev, SharesExtents(fd)};
}

void PlatformClose(PlatformFile* file)
{
    if (file != nullptr) {
        close(file->fd);
        delete file;
    }
}

bool PlatformSeek(PlatformFile* file, int64_t position)
{
    if (file == nullptr) {
        return Fail(EBADF);
    }
    return lseek(file->fd, position, SEEK_SET) >= 0 || Fail(errno);
}

bool PlatformSeekEnd(PlatformFile* file, int64_t* end)
{
    if (file == nullptr) {
        return Fail(EBADF);
    }
    const off_t position = lseek(file->fd, 0, SEEK_END);
    if (position < 0) {
        return Fail(errno);
    }
    *end = position;
    return true;
}

namespace {

// One transfer loop for the four read and write calls: retries after
// signals and short transfers, stops at the end of the file (reads) or at
// the first error, and gives the bytes moved, or -1 when none moved.
template <typename Transfer>
int64_t TransferAll(PlatformFile* file, uint32_t count, bool isRead, Transfer transfer)
{
    if (file == nullptr) {
        Fail(EBADF);
        return -1;
    }
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = transfer(done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(errno);
            return done > 0 ? int64_t{done} : -1;
        }
        if (n == 0) {
            if (!isRead) {
                Fail(ENOSPC);  // a write that moves nothing and says nothing
            }
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

}  // namespace

int64_t PlatformWrite(PlatformFile* file, const void* buffer, uint32_t count)
{
    const auto* bytes = static_cast<const char*>(buffer);
    return TransferAll(file, count, false,
                       [&](uint32_t done, uint32_t left) { return write(file->fd, bytes + done, left); });
}

int64_t PlatformReadAt(PlatformFile* file, int64_t position, void* buffer, uint32_t count)
{
    if (position < 0) {
        Fail(EINVAL);
        return -1;
    }
    auto* bytes = static_cast<char*>(buffer);
    return TransferAll(file, count, true, [&](uint32_t done, uint32_t left) {
        return pread(file->fd, bytes + done, left, position + done);
    });
}

int64_t PlatformWriteAt(PlatformFile* file, int64_t position, const void* buffer, uint32_t count)
{
    if (position < 0) {
        Fail(EINVAL);
        return -1;
    }
    const auto* bytes = static_cast<const char*>(buffer);
    return TransferAll(file, count, false, [&](uint32_t done, uint32_t left) {
        return pwrite(file->fd, bytes + done, left, position + done);
    });
}

bool PlatformSharesExtents(PlatformFile* from, PlatformFile* to)
{
    return from != nullptr && to != nullptr && from->sharingFileSystem && from->device == to->device;
}

int64_t PlatformCopyInSystem(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                             int64_t length)
{
    if (from == nullptr || to == nullptr || fromPosition < 0 || toPosition < 0 || length < 0) {
        Fail(from == nullptr || to == nullptr ? EBADF : EINVAL);
        return -1;
    }
    int64_t done = 0;
    while (done < length) {
        off_t in = fromPosition + done;
        off_t out = toPosition + done;
        const ssize_t n = copy_file_range(from->fd, &in, to->fd, &out, static_cast<size_t>(length - done), 0);
        if (n > 0) {
            done += n;
        } else if (n == 0) {
            break;  // the source ended
        } else if (errno != EINTR) {
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP && errno != EBADF) {
                Fail(errno);
                return done > 0 ? done : -1;
            }
            // Not between these files: on through the buffer.
            return CopyThroughBuffer(from, fromPosition, to, toPosition, length, done, length, PlatformReadAt,
                                     PlatformWriteAt);
        }
    }
    return done;
}

int64_t PlatformCopyRange(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length)
{
    constexpr int64_t kPage = 4096;  // the block size of the file systems that share extents
    if ((fromPosition - toPosition) % kPage == 0 && PlatformSharesExtents(from, to)) {
        return PlatformCopyInSystem(from, fromPosition, to, toPosition, length);
    }
    if (from == nullptr || to == nullptr || fromPosition < 0 || toPosition < 0 || length < 0) {
        Fail(from == nullptr || to == nullptr ? EBADF : EINVAL);
        return -1;
    }
    // The buffered copy takes this layer's own reads and writes.
    return CopyThroughBuffer(from, fromPosition, to, toPosition, length, 0, length, PlatformReadAt, PlatformWriteAt);
}

int PlatformNextData(PlatformFile* file, int64_t position, int64_t* dataStart, int64_t* dataEnd)
{
    if (file == nullptr || position < 0) {
        Fail(file == nullptr ? EBADF : EINVAL);
        return -1;
    }
    struct stat info {};
    if (fstat(file->fd, &info) != 0) {
        Fail(errno);
        return -1;
    }
    if (position >= info.st_size) {
        return 0;
    }
    const off_t data = lseek(file->fd, position, SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO) {
            return 0;  // only a hole follows
        }
        *dataStart = position;  // no hole support: all of it may be data
        *dataEnd = info.st_size;
        return 1;
    }
    const off_t hole = lseek(file->fd, data, SEEK_HOLE);
    *dataStart = data;
    *dataEnd = hole < 0 ? info.st_size : std::min<off_t>(hole, info.st_size);
    return 1;
}

bool PlatformMakeSparse(PlatformFile* file)
{
    return file != nullptr || Fail(EBADF);
}

bool PlatformFlush(PlatformFile* file)
{
    if (file == nullptr) {
        return Fail(EBADF);
    }
    int result = 0;
    do {
        result = fdatasync(file->fd);
    } while (result != 0 && errno == EINTR);
    return result == 0 || Fail(errno);
}

bool PlatformSetLength(PlatformFile* file, int64_t length)
{
    if (file == nullptr) {
        return Fail(EBADF);
    }
    int result = 0;
    do {
        result = ftruncate(file->fd, length);
    } while (result != 0 && errno == EINTR);
    return result == 0 || Fail(errno);
}

int64_t PlatformFileSize(const std::string& path)
{
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        Fail(path.empty() ? ENOENT : errno);
        return -1;
    }
    return IsRegular(info) ? info.st_size : 0;
}

bool PlatformRemoveFile(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return Fail(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return Fail(EISDIR);
    }
    if (!IsRegular(info) && !S_ISLNK(info.st_mode)) {
        return FailWithText(kNotRegular);
    }
    return unlink(path.c_str()) == 0 || Fail(errno);
}

bool PlatformRenameNoReplace(const std::string& from, const std::string& to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    switch (errno) {
    case EXDEV: return MoveAcrossFileSystems(from, to);
    case EINVAL:
    case ENOSYS:
    case EOPNOTSUPP: return RenameWithoutNoReplaceSupport(from, to);
    default: return Fail(errno);
    }
}

bool PlatformSameFile(const std::string& first, const std::string& second)
{
    struct stat a {};
    struct stat b {};
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool PlatformWindowsPaths()
{
    return false;
}

std::string PlatformDirectoryPart(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string PlatformAbsolutePath(const std::string& path)
{
    if (path.empty()) {
        Fail(ENOENT);
        return {};
    }
    std::string joined;
    if (path[0] != '/') {
        std::vector<char> folder(256);
        while (getcwd(folder.data(), folder.size()) == nullptr) {
            if (errno != ERANGE) {
                Fail(errno);
                return {};
            }
            folder.resize(folder.size() * 2);
        }
        joined = folder.data();
    }
    joined += "/" + path;
    // The parts by name: "." goes, ".." takes the part before it away (none
    // above the root).
    std::vector<std::string> parts;
    for (size_t at = 0; at < joined.size();) {
        const size_t end = std::min(joined.find('/', at), joined.size());
        const std::string part = joined.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string absolute;
    for (const std::string& part : parts) {
        absolute += "/" + part;
    }
    return absolute.empty() ? "/" : absolute;
}

bool PlatformRelativePath(const std::string& fromFolderOf, const std::string& target, std::string* relative)
{
    const std::string from = PlatformAbsolutePath(fromFolderOf);
    const std::string to = PlatformAbsolutePath(target);
    // Every absolute path here has the one root.
    return !from.empty() && !to.empty() && RelativeByName(from, to, false, relative);
}

std::string PlatformErrorText()
{
    if (t_errorText != nullptr) {
        return t_errorText;
    }
    return t_errorCode == 0 ? std::string() : TrimErrorText(std::strerror(t_errorCode));
}

void PlatformNewGuid(uint8_t out[16])
{
    size_t filled = 0;
    while (filled < 16) {
        const ssize_t n = getrandom(out + filled, 16 - filled, 0);
        if (n > 0) {
            filled += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            break;
        }
    }
    if (filled < 16) {
        // No kernel random source: fall back to the C library's, which is
        // still unique enough for an identifier nothing depends on.
        for (; filled < 16; ++filled) {
            out[filled] = static_cast<uint8_t>(std::rand() >> 7);  // NOLINT(cert-msc30-c)
        }
    }
    // A version 4 GUID as CoCreateGuid lays it out: the version in the high
    // nibble of the third group (little-endian, so byte 7), the variant in
    // the top bits of byte 8.
    out[7] = static_cast<uint8_t>((out[7] & 0x0F) | 0x40);
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
}

void* PlatformAlloc(size_t bytes)
{
    return std::calloc(bytes == 0 ? 1 : bytes, 1);
}

void PlatformFree(void* memory, size_t /*bytes*/)
{
    std::free(memory);
}

void PlatformInitProcess()
{
    signal(SIGXFSZ, SIG_IGN);
}

unsigned PlatformProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    }
    return static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

bool PlatformStderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

int64_t PlatformMonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}
