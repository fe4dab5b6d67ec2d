// The raw export of a dynamic or differencing disk, entered once
// ConvertToImg has recognised one (and, for a differencing disk, found the
// parents of its chain).
#pragma once

#include <cstdint>
#include <string>

struct DiskChain;
struct PlatformFile;

// `chain` is null for a dynamic disk; for a differencing disk it holds the
// whole chain, every disk with 2 MiB blocks.
void ExportDynamic(PlatformFile* source, int64_t sourceSize, uint64_t headerPosition, const std::string& destination,
                   const DiskChain* chain);
