// Placeholder until the command is built.
#include "Report.h"
#include "VhdCommands.h"

void ResizeVhd(const std::string& path, int64_t newSizeBytes)
{
    (void)path;
    (void)newSizeBytes;
    ReportProblem("ResizeVhd is not built yet");
}
