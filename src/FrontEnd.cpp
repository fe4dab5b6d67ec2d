#include "FrontEnd.h"

#include <algorithm>
#include <charconv>
#include <climits>
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
    "dravik conv2dyn source_file dest_file_dynamic.vhd",
    "dravik check source_file.vhd",
    "dravik create dest_file.vhd size_in_Mbytes [fixed]",
    "dravik child parent_file.vhd dest_file_child.vhd",
    "dravik merge child_file.vhd",
    "dravik reparent child_file.vhd parent_file.vhd",
};

constexpr const char* kCommands[] = {"conv2img", "conv2vhd", "info",  "resize", "conv2dyn",
                                     "check",    "create",   "child", "merge",  "reparent"};

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
    if (command == "check") {
        CheckVhd(arg(2));
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
    if (command == "create") {
        // The size and the kind are read here, as resize's size is; a word
        // that is neither is refused before any file is looked at.
        const bool fixed = arg(4) == "fixed";
        ReportLine(fixed ? "creating new fixed vhd file" : "creating new dynamic vhd file");
        int32_t mebibytes = 0;
        if (!ParseSizeArgument(arg(3), &mebibytes) || mebibytes <= 0) {
            ReportProblem("the size '" + arg(3) + "' is not a whole number of MiB above 0");
        } else if (!fixed && !arg(4).empty() && arg(4) != "dynamic") {
            ReportProblem("the kind '" + arg(4) + "' is neither fixed nor dynamic");
        } else {
            CreateDisk(arg(2), static_cast<int64_t>(mebibytes) * (int64_t{1} << 20), fixed);
        }
        ReportLine("done");
    }
    if (command == "child") {
        ReportLine("creating new differencing vhd file");
        CreateChild(arg(2), arg(3));
        ReportLine("done");
    }
    if (command == "merge") {
        ReportLine("merging differencing vhd file into its parent");
        MergeChild(arg(2));
        ReportLine("done");
    }
    if (command == "reparent") {
        ReportLine("setting the parent of a differencing vhd file");
        ReparentChild(arg(2), arg(3));
        ReportLine("done");
    }
    if (command == "conv2dyn") {
        ReportLine("creating new dynamic vhd file");
        ConvertToDynamic(arg(2), arg(3));
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
    size_t at = std::min(text.find_first_not_of(" \t"), text.size());
    const bool negative = at < text.size() && text[at] == '-';
    at += at < text.size() && (negative || text[at] == '+') ? 1 : 0;
    int base = 10;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    } else if (at < text.size() && (text[at] == '$' || text[at] == 'x' || text[at] == 'X')) {
        base = 16;
        at += 1;
    }
    // Digits only, up to the end; no sign of their own.
    uint64_t magnitude = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + at, end, magnitude, base);
    if (error != std::errc() || stop != end || magnitude > 0xFFFFFFFFu) {
        return false;
    }
    if (base == 16) {
        // Taken as a 32-bit pattern: $FFFFFFFF is -1. The sign then applies
        // with 32-bit wrap-around, so -$80000000 stays the lowest value.
        const auto pattern = static_cast<uint32_t>(magnitude);
        *value = static_cast<int32_t>(negative ? 0u - pattern : pattern);
        return true;
    }
    const int64_t result = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (result < INT32_MIN || result > INT32_MAX) {
        return false;
    }
    *value = static_cast<int32_t>(result);
    return true;
}

int RunDravik(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    ReportBegin(out, err, errIsTerminal);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "--version") {
        const bool version = !args.empty() && args[0] == "--version";
        for (const char* line : kUsage) {
            ReportLine(line);
            if (version) {
                break;
            }
        }
        return 0;
    }
    if (std::find(std::begin(kCommands), std::end(kCommands), args[0]) == std::end(kCommands)) {
        // A mistyped word must not pass for success: standard output stays
        // empty, standard error names the word and shows the usage.
        WriteErrLine(err, "dravik: unknown command '" + args[0] + "'");
        for (const char* line : kUsage) {
            WriteErrLine(err, line);
        }
        return 1;
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
