// The raw export of a dynamic or differencing disk, entered once
// ConvertToImg has recognised one (and, for a differencing disk, found the
// parents of its chain).
#pragma once

#include <string>

struct SourceDisk;

void ExportDynamic(const SourceDisk& source, const std::string& destination);
