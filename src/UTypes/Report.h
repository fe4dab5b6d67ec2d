// How the commands talk to the user. Every standard output line ends with
// CR LF and is flushed at once, on every platform. A command that fails
// says so through ReportFailure (its specified stdout line) or
// ReportProblem (a line on stderr where stdout stays silent); either marks
// the run failed, and the front end then exits with status 1.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <utility>

// Directs the report to two streams and clears the failed mark; the front
// end calls it once per run. `errIsTerminal` tells whether standard error
// is a terminal, where a progress line may be drawn.
void ReportBegin(std::ostream& out, std::ostream& err, bool errIsTerminal = false);

// Raw text on standard error for the progress line (no line end), flushed.
void ReportProgress(const std::string& text);
bool ReportErrIsTerminal();

// One line on standard output.
void ReportLine(const std::string& line);

// A name or path read from a disk as a line shows it: its characters below
// U+0020 as "?", so that it stays on its line.
std::string Shown(std::string text);

// One line on standard output that tells of a failure; marks the run failed.
void ReportFailure(const std::string& line);

// One line "dravik: <text>" on standard error; marks the run failed.
void ReportProblem(const std::string& text);

// One line "dravik: cannot open PATH: <why>" on standard error, for a
// source that cannot be opened or does not exist; marks the run failed.
void ReportCannotOpen(const std::string& path, const std::string& why);

// One line "dravik: <text>" on standard error that tells what dravik did
// beyond what was asked. The run does not fail.
void ReportNote(const std::string& text);

// One line "dravik: warning: <text>" on standard error: the job is done,
// but the user should know. The run does not fail.
void ReportWarning(const std::string& text);

bool RunFailed();

// A failure that ends the run at once: the front end prints the report on
// standard error, the message with a full stop appended on its last line,
// and exits with status 1 without printing "done".
struct FatalError : std::runtime_error {
    FatalError(std::string place, const std::string& message) : std::runtime_error(message), where(std::move(place)) {}
    std::string where;
};
