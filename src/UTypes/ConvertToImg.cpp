// Placeholder until the command is built.
#include "Report.h"
#include "VhdCommands.h"

void ConvertToImg(const std::string& source, const std::string& destination)
{
    (void)source;
    (void)destination;
    ReportProblem("ConvertToImg is not built yet");
}
