// SPDX-License-Identifier: GPL-3.0-or-later
// The CLI's list of numbers before the Download command's checks: comments in
// list files, numbers listed twice, and the runs of a batch.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kestrane::cli {

struct NumberList {
    std::vector<std::string> Lines;       // blank lines gone, each number once, in list order
    std::vector<std::string> Duplicates;  // the numbers left out, as typed
};

// Two lines name the same number when they read the same after trailing
// blanks (and, with normalize, after CompactNumber), or when the source saves
// them under one name (outputName, may be null); the first one stays.
[[nodiscard]] NumberList PlanList(const std::vector<std::string>& lines, bool normalize,
                                  std::string (*outputName)(const std::string&) = nullptr);

// The lines the checks count as numbers.
[[nodiscard]] int NonBlankLines(const std::vector<std::string>& lines);

// Consecutive runs of at most runSize lines.
[[nodiscard]] std::vector<std::vector<std::string>> SplitRuns(const std::vector<std::string>& lines,
                                                              std::size_t runSize);

}  // namespace kestrane::cli
