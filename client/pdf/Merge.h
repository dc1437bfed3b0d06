// SPDX-License-Identifier: GPL-3.0-or-later
// Joining page files with pdftk as a child process.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace kestrane {

struct MergeResult {
    bool started = false;        // the program could be started
    bool stopped = false;        // the abort flag ended it (child killed, output removed)
    int exitStatus = -1;         // exit status when it ended by itself, else -1
    std::string output;          // everything it wrote to stdout and stderr (the first 64 KiB)
    bool outputWritten = false;  // once it ended: the output file exists and is not empty
    bool overLimit = false;      // built-in merge: a page passed a limit (named in output)
    // Success: started, exited 0, printed nothing, and the output file exists and is not empty.
    bool ok() const;
};

// Runs: <program> <pageFiles...> cat output <outputFile> dont_ask, as an
// argument vector (no shell). The program is looked up beside our executable
// first, then in PATH. The sources' credential variables (KESTRANE_OPS_KEY,
// KESTRANE_OPS_SECRET, KESTRANE_DPMA_USER, KESTRANE_DPMA_PASSWORD) and Java
// option variables are removed from the child's environment and a UTF-8
// locale is set. When *abort or *cancel (a confirmed
// cancel; may be null) becomes true the child and all it started are killed
// and reaped and outputFile is removed; the call returns within ~0.2 s.
MergeResult RunPdftk(const std::string& program, const std::vector<std::string>& pageFiles,
                     const std::string& outputFile, const std::atomic<bool>* abort,
                     const std::atomic<bool>* cancel = nullptr);

// Where the program would be found: beside our executable, then PATH; "" if nowhere.
std::string FindProgram(const std::string& program);

}  // namespace kestrane
