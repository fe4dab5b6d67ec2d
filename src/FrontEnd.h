// The command-line front end: the usage text, the command table, the
// progress lines around each command and the exit status. It is a function
// of the arguments and two streams so that tests can drive it in-process.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// Runs one command. `args` are the arguments after the program's name.
// Gives the process exit status: 0 when the command did its whole job (and
// for the usage text), 1 otherwise, an unknown command word included.
// `errIsTerminal` allows a progress line on `err` during long runs.
int RunDravik(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal = false);

// Parses the size operand of `resize` as a signed 32-bit integer: leading
// blanks, an optional sign, then decimal digits, or "$", "x", "X", "0x" or
// "0X" and hexadecimal digits (values up to FFFFFFFF taken as 32-bit two's
// complement). Nothing may follow the digits. False when it is no such
// integer.
bool ParseSizeArgument(const std::string& text, int32_t* value);
