#include "Report.h"

#include <algorithm>
#include <ostream>

namespace {

std::ostream* g_out = nullptr;
std::ostream* g_err = nullptr;
bool g_failed = false;
bool g_errIsTerminal = false;

void WriteLine(std::ostream* stream, const std::string& line)
{
    if (stream != nullptr) {
        *stream << line << "\r\n";
        stream->flush();
    }
}

}  // namespace

void ReportBegin(std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    g_out = &out;
    g_err = &err;
    g_failed = false;
    g_errIsTerminal = errIsTerminal;
}

void ReportProgress(const std::string& text)
{
    if (g_err != nullptr) {
        *g_err << text;
        g_err->flush();
    }
}

bool ReportErrIsTerminal()
{
    return g_errIsTerminal;
}

void ReportLine(const std::string& line)
{
    WriteLine(g_out, line);
}

std::string Shown(std::string text)
{
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20; };
    std::replace_if(text.begin(), text.end(), control, '?');
    return text;
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

void ReportCannotOpen(const std::string& path, const std::string& why)
{
    ReportProblem("cannot open " + path + ": " + why);
}

void ReportNote(const std::string& text)
{
    WriteLine(g_err, "dravik: " + text);
}

void ReportWarning(const std::string& text)
{
    WriteLine(g_err, "dravik: warning: " + text);
}

bool RunFailed()
{
    return g_failed;
}
