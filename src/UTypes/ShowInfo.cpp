// Placeholder until the command is built.
#include "Report.h"
#include "VhdCommands.h"

void ShowInfo(const std::string& path)
{
    (void)path;
    ReportProblem("ShowInfo is not built yet");
}
