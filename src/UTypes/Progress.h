// A progress line for long runs: percent done and bytes per second on
// standard error, redrawn in place at most four times a second and cleared
// at the end. Shown only when standard error is a terminal, so scripts see
// exactly the command's own output. Standard output is never touched.
#pragma once

#include <cstdint>
#include <string>

// Starts a progress line for a job of `total` bytes, named `label`.
void ProgressBegin(const std::string& label, int64_t total);

// Reports that `done` of the bytes are done; cheap enough to call per block.
void ProgressUpdate(int64_t done);

// Clears the line; also called when a job ends early.
void ProgressEnd();

// Ends the progress line when it goes out of scope, on every path out of
// a job, failures included.
struct ProgressScope {
    ProgressScope(const std::string& label, int64_t total) { ProgressBegin(label, total); }
    ~ProgressScope() { ProgressEnd(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;
};

// The text of one progress line: "label: 45% 1.2 GiB/s". For the tests.
std::string ProgressText(const std::string& label, int64_t done, int64_t total, double bytesPerSecond);
