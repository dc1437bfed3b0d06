// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/NumberList.h"

#include <algorithm>
#include <set>

#include "client/PublicationNumber.h"
#include "run/InputCheck.h"

namespace kestrane::cli {

NumberList PlanList(const std::vector<std::string>& lines, bool normalize) {
    NumberList list;
    std::set<std::string> seen;
    for (const std::string& line : lines) {
        // The same cut and trim as the Download command's checks.
        std::string key = TrimRight(line.substr(0, kMaxLineLength));
        if (key.empty())
            continue;
        if (normalize)
            key = CompactNumber(key);
        if (!seen.insert(key).second) {
            list.Duplicates.push_back(TrimRight(line));
            continue;
        }
        list.Lines.push_back(line);
    }
    return list;
}

int NonBlankLines(const std::vector<std::string>& lines) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return !TrimRight(line.substr(0, kMaxLineLength)).empty();
    }));
}

std::vector<std::vector<std::string>> SplitRuns(const std::vector<std::string>& lines,
                                                std::size_t runSize) {
    std::vector<std::vector<std::string>> runs;
    for (std::size_t at = 0; at < lines.size(); at += runSize) {
        const std::size_t end = std::min(lines.size(), at + runSize);
        runs.emplace_back(lines.begin() + static_cast<std::ptrdiff_t>(at),
                          lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return runs;
}

}  // namespace kestrane::cli
