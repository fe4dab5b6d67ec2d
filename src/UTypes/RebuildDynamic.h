// The dynamic branch of resize: rebuilds a dynamic VHD at a new size into
// "new.vhd" in the source's directory. The source is only read.
#pragma once

#include <cstdint>
#include <string>

#include "VhdRecords.h"

struct PlatformFile;

// `source` is the open source of `sourceSize` bytes, a dynamic disk by its
// records (RecogniseDisk); it stays open for the caller to close.
void RebuildDynamic(const std::string& sourcePath, PlatformFile* source, int64_t sourceSize, const DiskRecords& records,
                    int64_t newSize);
