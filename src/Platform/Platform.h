// The platform layer: every file, console and system service that dravik
// uses goes through these free functions, so that one POSIX and one Win32
// implementation can stand behind them (PlatformPosix.cpp, PlatformWin32.cpp,
// chosen by CMake) and tests can link a fake in their place.
//
// Each call maps onto one Win32 call (named beside it) and fails cleanly
// when handed a null file: an operation may go on using a file whose open
// failed and then simply sees nothing. A failing call saves the system's
// error for PlatformErrorText().
//
// Our names never clash with the Win32 names and macros (CreateFile,
// ReadFile, WriteFile, DeleteFile, MoveFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct PlatformFile;  // a file descriptor or a HANDLE inside

enum class OpenMode {
    // An existing regular file, read access; others may read and write it
    // meanwhile (CreateFileA: GENERIC_READ, FILE_SHARE_READ |
    // FILE_SHARE_WRITE, OPEN_EXISTING).
    ReadExisting,
    // An existing regular file, read and write access, same sharing
    // (GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING).
    ReadWriteExisting,
    // A new file that must not exist yet, write access (GENERIC_WRITE,
    // CREATE_NEW).
    CreateNewWrite,
    // A new file that must not exist yet, read and write access
    // (GENERIC_READ | GENERIC_WRITE, CREATE_NEW).
    CreateNewReadWrite,
};

// Opens or creates a file (CreateFileA); nullptr on failure. Opening an
// existing path that is not a regular file (a directory, a device, a pipe)
// fails: dravik never reads or writes a device node.
PlatformFile* PlatformOpen(const std::string& path, OpenMode mode);

// Closes the file (CloseHandle); accepts nullptr.
void PlatformClose(PlatformFile* file);

// A file that is closed when it goes out of scope.
using FileHandle = std::unique_ptr<PlatformFile, void (*)(PlatformFile*)>;

// Moves the file position to a byte position counted from the start
// (SetFilePointer, FILE_BEGIN, 64-bit position as low and high halves).
bool PlatformSeek(PlatformFile* file, int64_t position);

// Moves the file position to the end and stores that position in *end
// (SetFilePointer, FILE_END, distance 0).
bool PlatformSeekEnd(PlatformFile* file, int64_t* end);

// Writes at the file position, which then moves on by the bytes written
// (WriteFile). Gives the count of bytes written, or -1 when the call failed
// before writing any. A write that stops part way (a full disk) gives the
// part it wrote, and the error is saved.
int64_t PlatformWrite(PlatformFile* file, const void* buffer, uint32_t count);

// Read and write at an explicit position (ReadFile, WriteFile with an
// OVERLAPPED position), with the counts PlatformWrite gives; a read at the
// end of the file gives 0. Several threads may use them on one file at
// once. Whether the file position moves is left open: callers that mix
// these with PlatformWrite seek first.
int64_t PlatformReadAt(PlatformFile* file, int64_t position, void* buffer, uint32_t count);
int64_t PlatformWriteAt(PlatformFile* file, int64_t position, const void* buffer, uint32_t count);

// True when the system can copy between the two files without moving the
// data through this machine: both lie on one file system that shares
// extents (btrfs, XFS, bcachefs, ZFS, OCFS2) or copies on its server (NFS,
// SMB). Never on Windows, where dravik does not use ReFS's block cloning.
bool PlatformSharesExtents(PlatformFile* from, PlatformFile* to);

// Copies `length` bytes from one file at `fromPosition` to another at
// `toPosition`, the cheapest way that is correct: between files that share
// extents, a range whose two positions are equally aligned to a page goes
// inside the system (PlatformCopyInSystem), which shares them or copies on
// the server; everything else goes through this thread's buffer
// (CopyThroughBuffer), which costs less than the system's own copy where
// that copy has to move the data anyway. Gives the count of bytes copied,
// less than asked when the source ends first, or -1 when the call failed
// before copying any. Several threads may copy between the same files at
// once.
int64_t PlatformCopyRange(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length);

// The same, inside the system (copy_file_range), and through the buffer
// where the system cannot copy between these files (always on Windows).
int64_t PlatformCopyInSystem(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                             int64_t length);

// Finds the next stretch of a file that may hold data, at or after
// `position`: [*dataStart, *dataEnd). Holes of a sparse file lie outside
// every stretch and read as zeros. Where the system cannot tell holes from
// data, the whole rest of the file is one stretch. Gives 1 when it found a
// stretch, 0 when only holes, or nothing, follow `position`, and -1 when the
// call failed (the caller then cannot know where data lies).
int PlatformNextData(PlatformFile* file, int64_t position, int64_t* dataStart, int64_t* dataEnd);

// Marks a new file sparse, so that the zeros written past its end stay a
// hole (DeviceIoControl, FSCTL_SET_SPARSE). True also where the file system
// has no sparse files, which then takes the space; POSIX file systems leave
// such holes unasked, so there it does nothing.
bool PlatformMakeSparse(PlatformFile* file);

// Waits until the file's data written so far is on the device, so that no
// write after this reaches it first (fdatasync, FlushFileBuffers).
bool PlatformFlush(PlatformFile* file);

// Cuts the file back to, or extends it with zeros (a hole where the file
// system allows) to, the given length (SetFilePointer, SetEndOfFile).
bool PlatformSetLength(PlatformFile* file, int64_t length);

// The size of the file a path names, from its directory entry, without
// opening it (FindFirstFileA); -1 when there is no such file. Existing
// entries that are not regular files give 0.
int64_t PlatformFileSize(const std::string& path);

// Removes a regular file, or a symbolic link itself (DeleteFileA). A
// directory, device or other special file is never removed: false, with
// the error saved, as for a missing file.
bool PlatformRemoveFile(const std::string& path);

// Renames a file, never replacing an existing destination (MoveFileA).
// A destination on another file system is reached by copying the file to
// the new name, created exclusively, and then removing the source; when
// that fails part way the copy is removed again, so there is always
// exactly one file.
bool PlatformRenameNoReplace(const std::string& from, const std::string& to);

// True when both paths exist and name the same file (device and inode;
// GetFileInformationByHandle on Windows), whatever the spelling, links
// included.
bool PlatformSameFile(const std::string& first, const std::string& second);

// Whether this system's paths are Windows paths, with drive letters and
// "\\" as a separator.
bool PlatformWindowsPaths();

// The directory part of a path: everything up to and including its last
// separator ("/" on POSIX; "\\", "/" or ":" on Windows), empty when it has
// none. "dir/a.vhd" gives "dir/".
std::string PlatformDirectoryPart(const std::string& path);

// The absolute form of a path as this system writes it (GetFullPathNameA):
// a relative path joined to the current folder, "." and ".." parts and
// repeated separators resolved by name alone, so symbolic links stay as
// named. "C:\\dir\\p.vhd" on Windows, "/dir/p.vhd" on POSIX. Empty on failure.
std::string PlatformAbsolutePath(const std::string& path);

// The path of `target` from the folder holding the file `fromFolderOf`,
// both made absolute by PlatformAbsolutePath, with "\\" between its parts
// as Windows relative locators store it: ".\\p.vhd" in that folder,
// ".\\sub\\p.vhd" below it, "..\\base\\p.vhd" beside it. False, leaving
// *relative as it was, where there is none: on Windows, a target on another
// drive or share. Windows compares drives, shares and parts ignoring case.
bool PlatformRelativePath(const std::string& fromFolderOf, const std::string& target, std::string* relative);

// The system's text for the error of the last failing call (GetLastError,
// FormatMessageA), trimmed by TrimErrorText. Empty when there is none.
std::string PlatformErrorText();

// 16 fresh random bytes in the layout of a version 4 GUID (CoCreateGuid).
void PlatformNewGuid(uint8_t out[16]);

// Zero-filled memory for large buffers (VirtualAlloc); nullptr on failure.
void* PlatformAlloc(size_t bytes);
void PlatformFree(void* memory, size_t bytes);

// The number of processors this process may run on (sched_getaffinity,
// GetActiveProcessorCount), at least 1: how many workers a transfer uses.
unsigned PlatformProcessorCount();

// Whether standard error is a terminal (isatty, GetConsoleMode), where a
// progress line may be drawn.
bool PlatformStderrIsTerminal();

// Milliseconds from a clock that never goes back (CLOCK_MONOTONIC,
// GetTickCount64), for pacing the progress line.
int64_t PlatformMonotonicMs();

// Sets the process up: standard output and error write bytes as given (no
// "\n" to "\r\n" translation, so the CR LF line ends dravik writes stay
// single), and a write beyond the file size limit fails instead of ending
// the process (SIGXFSZ ignored), so that a command can remove what it began.
void PlatformInitProcess();

// Removes every trailing blank, control character (codes 0 to 31) and "."
// from a system error message. Shared by every implementation.
std::string TrimErrorText(std::string text);

// PlatformRelativePath's part by name, on paths as PlatformAbsolutePath
// gives them: false when their roots ("/", a drive "C:", a share
// "\\\\server\\share") differ. Shared by every implementation.
bool RelativeByName(const std::string& fromFolderOf, const std::string& target, bool windowsPaths,
                    std::string* relative);

// Copies with `read` and `write` (PlatformReadAt and PlatformWriteAt unless
// given) through this thread's buffer of 1 MiB, in pieces of at most
// `bufferLimit` bytes, from `done` bytes into the range on. Gives what
// PlatformCopyRange gives, `done` included. Shared by every implementation.
using ReadAtCall = int64_t (*)(PlatformFile*, int64_t, void*, uint32_t);
using WriteAtCall = int64_t (*)(PlatformFile*, int64_t, const void*, uint32_t);
int64_t CopyThroughBuffer(PlatformFile* from, int64_t fromPosition, PlatformFile* to, int64_t toPosition,
                          int64_t length, int64_t done, int64_t bufferLimit, ReadAtCall read = PlatformReadAt,
                          WriteAtCall write = PlatformWriteAt);
