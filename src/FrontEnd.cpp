#include "FrontEnd.h"

#include <exception>
#include <new>
#include <ostream>

#include "UTypes/Report.h"
#include "UTypes/VhdCommands.h"

namespace {

constexpr const char* kUsage[] = {
    "dravik " DRAVIK_VERSION " by the dravik maintainers <maintainers@users.noreply.c-seed-1a23ec98.example>",
    "dravik conv2img source_file.vhd dest_file.img",
    "dravik conv2vhd source_file.img dest_file_fixed.vhd",
    "dravik resize source_file_fixed.vhd size_in_Mbytes",
    "dravik info source_file.vhd",
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void Dispatch(const std::vector<std::string>& args)
{
    auto arg = [&args](size_t n) { return n <= args.size() ? args[n - 1] : std::string(); };
    const std::string command = arg(1);

    if (command == "conv2img") {
        ReportLine("creating new img file");
        ConvertToImg(arg(2), arg(3));
        ReportLine("done");
    }
    if (command == "conv2vhd") {
        ReportLine("appending a 512bytes footer to the img file");
        ConvertToVhd(arg(2), arg(3));
        ReportLine("done");
    }
    if (command == "info") {
        ShowInfo(arg(2));
        ReportLine("done");
    }
    if (command == "resize") {
        ReportLine("resizing vhd file to " + arg(3));
        int32_t mebibytes = 0;
        if (!ParseSizeArgument(arg(3), &mebibytes)) {
            throw FatalError("reading the size of resize", "'" + arg(3) + "' is not a valid integer value");
        }
        ResizeVhd(arg(2), static_cast<int64_t>(mebibytes) * (int64_t{1} << 20));
        ReportLine("done");
    }
}

void WriteErrLine(std::ostream& err, const std::string& line)
{
    err << line << "\r\n";
    err.flush();
}

}  // namespace

bool ParseSizeArgument(const std::string& text, int32_t* value)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size()) {
        return false;  // no digits
    }

    // Accumulate in 64 bits; every limit below keeps the sum far from overflow.
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0) {
            return false;  // a stray character, a blank after the digits included
        }
        magnitude = magnitude * (hex ? 16u : 10u) + static_cast<uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFu) {
            return false;
        }
    }

    int64_t result = 0;
    if (hex) {
        // Taken as a 32-bit pattern: $FFFFFFFF is -1. The sign then applies
        // with 32-bit wrap-around, so -$80000000 stays the lowest value.
        const auto pattern = static_cast<uint32_t>(magnitude);
        const uint32_t signedPattern = negative ? 0u - pattern : pattern;
        result = static_cast<int32_t>(signedPattern);
    } else {
        result = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        if (result < INT32_MIN || result > INT32_MAX) {
            return false;
        }
    }
    *value = static_cast<int32_t>(result);
    return true;
}

int RunDravik(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    ReportBegin(out, err, errIsTerminal);
    if (args.empty()) {
        for (const char* line : kUsage) {
            ReportLine(line);
        }
    }
    try {
        Dispatch(args);
    } catch (const FatalError& failure) {
        WriteErrLine(err, std::string("dravik: unhandled failure while ") + failure.where + ":");
        WriteErrLine(err, std::string(failure.what()) + ".");
        return 1;
    } catch (const std::bad_alloc&) {
        WriteErrLine(err, "dravik: unhandled failure: memory exhausted:");
        WriteErrLine(err, "Out of memory.");
        return 1;
    } catch (const std::exception& failure) {
        WriteErrLine(err, "dravik: unhandled failure:");
        WriteErrLine(err, std::string(failure.what()) + ".");
        return 1;
    }
    return RunFailed() ? 1 : 0;
}
