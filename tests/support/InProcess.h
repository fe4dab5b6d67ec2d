// Runs the front end in-process and captures what it prints.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "FrontEnd.h"

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

inline RunResult RunInProcess(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunDravik(args, out, err);
    return {status, out.str(), err.str()};
}

// Joins lines with the CR LF that ends every line dravik prints.
inline std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) {
        text += line + "\r\n";
    }
    return text;
}
