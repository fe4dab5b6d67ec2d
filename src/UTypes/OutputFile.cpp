#include "OutputFile.h"

#include <cstring>
#include <limits>

#include "Report.h"
#include "VhdRecords.h"

Memory ObtainMemory(uint64_t bytes, const std::string& purpose)
{
    void* memory = nullptr;
    if (bytes <= std::numeric_limits<size_t>::max()) {
        memory = PlatformAlloc(static_cast<size_t>(bytes));
    }
    if (memory == nullptr) {
        throw FatalError(purpose, "Out of memory");
    }
    return Memory(static_cast<uint8_t*>(memory), PlatformFreer{static_cast<size_t>(bytes)});
}

OutputFile CreateOutputFile(const std::string& path, OpenMode mode)
{
    OutputFile output;
    output.path = path;
    output.file.reset(PlatformOpen(path, mode));
    if (!output.file) {
        output.createError = PlatformErrorText();
        ReportProblem("could not create " + path + (output.createError.empty() ? "" : ": " + output.createError));
    }
    return output;
}

bool AllZero(const uint8_t* bytes, int64_t length)
{
    return length <= 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, static_cast<size_t>(length - 1)) == 0);
}

std::string WriteErrorText(const OutputFile& output)
{
    return output.file ? PlatformErrorText() : output.createError;
}

bool MayCreate(const std::string& path)
{
    if (path.empty()) {
        ReportProblem("no destination given");
        return false;
    }
    if (PlatformFileSize(path) >= 0) {
        ReportProblem(path + " exists; not replaced");
        return false;
    }
    return true;
}

void WarnIfBeyondPeers(int64_t size)
{
    if (size > kLargestDisk) {
        ReportWarning("the disk is " + std::to_string(size) + " bytes, more than the " + std::to_string(kLargestDisk) +
                      " bytes (2040 GiB) the VHD format allows; Hyper-V and qemu-img will not open it");
    }
}

void SetOutputLength(const OutputFile& output, uint64_t length)
{
    if (!output.file) {
        return;  // reported when the creation failed
    }
    const bool reachable = length <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (!reachable || !PlatformSetLength(output.file.get(), static_cast<int64_t>(length))) {
        ReportProblem("could not give " + output.path + " its length of " + std::to_string(length) +
                      " bytes: " + (reachable ? PlatformErrorText() : "beyond the largest file position"));
    }
}
