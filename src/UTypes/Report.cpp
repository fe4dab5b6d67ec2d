#include "Report.h"

#include <ostream>

namespace {

std::ostream* g_out = nullptr;
std::ostream* g_err = nullptr;
bool g_failed = false;

void WriteLine(std::ostream* stream, const std::string& line)
{
    if (stream != nullptr) {
        *stream << line << "\r\n";
        stream->flush();
    }
}

}  // namespace

void ReportBegin(std::ostream& out, std::ostream& err)
{
    g_out = &out;
    g_err = &err;
    g_failed = false;
}

void ReportLine(const std::string& line)
{
    WriteLine(g_out, line);
}

void ReportFailure(const std::string& line)
{
    g_failed = true;
    WriteLine(g_out, line);
}

void ReportProblem(const std::string& text)
{
    g_failed = true;
    WriteLine(g_err, "dravik: " + text);
}

bool RunFailed()
{
    return g_failed;
}
