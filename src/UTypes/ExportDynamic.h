// The raw export of a dynamic disk, entered once ConvertToImg has
// recognised one.
#pragma once

#include <cstdint>
#include <string>

struct PlatformFile;

void ExportDynamic(PlatformFile* source, int64_t sourceSize, uint64_t headerPosition, const std::string& destination);
