#include "Progress.h"

#include <cstdio>

#include "Platform/Platform.h"
#include "Report.h"

namespace {

constexpr int64_t kRedrawMs = 250;

struct ProgressState {
    bool active = false;
    std::string label;
    int64_t total = 0;
    int64_t startMs = 0;
    int64_t lastDrawMs = 0;
    size_t lastWidth = 0;
} g_progress;

void Draw(int64_t done, int64_t nowMs)
{
    const double seconds = static_cast<double>(nowMs - g_progress.startMs) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string line = ProgressText(g_progress.label, done, g_progress.total, rate);
    const size_t width = line.size();
    if (width < g_progress.lastWidth) {
        line.append(g_progress.lastWidth - width, ' ');
    }
    line.insert(line.begin(), '\r');
    ReportProgress(line);
    g_progress.lastWidth = width;
    g_progress.lastDrawMs = nowMs;
}

}  // namespace

std::string ProgressText(const std::string& label, int64_t done, int64_t total, double bytesPerSecond)
{
    const int64_t percent = total > 0 ? done * 100 / total : 100;
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytesPerSecond >= 1024.0 && unit < 4) {
        bytesPerSecond /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, ": %3lld%% %.1f %s/s", static_cast<long long>(percent), bytesPerSecond,
                  units[unit]);
    return label + text;
}

void ProgressBegin(const std::string& label, int64_t total)
{
    g_progress = ProgressState{};
    if (!ReportErrIsTerminal()) {
        return;
    }
    g_progress.active = true;
    g_progress.label = label;
    g_progress.total = total;
    g_progress.startMs = PlatformMonotonicMs();
    Draw(0, g_progress.startMs);
}

void ProgressUpdate(int64_t done)
{
    if (!g_progress.active) {
        return;
    }
    const int64_t now = PlatformMonotonicMs();
    if (now - g_progress.lastDrawMs >= kRedrawMs) {
        Draw(done, now);
    }
}

void ProgressEnd()
{
    if (!g_progress.active) {
        return;
    }
    // Blanks over the last line, the cursor back at its start.
    std::string clear(g_progress.lastWidth + 2, ' ');
    clear.front() = '\r';
    clear.back() = '\r';
    ReportProgress(clear);
    g_progress.active = false;
}
