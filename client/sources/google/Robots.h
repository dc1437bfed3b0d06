// SPDX-License-Identifier: GPL-3.0-or-later
// robots.txt as the Robots Exclusion Protocol (RFC 9309) reads it: the group
// naming our product token, else the "*" group; the longest matching rule
// wins, an allow wins a tie; "*" is any run of characters and a final "$"
// ends the path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::google {

// The protocol asks crawlers to read at least 500 KiB of a robots.txt; the
// rest of a longer file is ignored.
inline constexpr std::size_t kMaxRobotsBytes = 500 * 1024;

class RobotsRules {
  public:
    // No rules: everything allowed (a robots.txt answered with 4xx).
    RobotsRules() = default;
    // The rules text holds for productToken (case-blind), else for "*".
    static RobotsRules Parse(std::string_view text, std::string_view productToken);

    // pathAndQuery: the request's path with its query, percent-encoded as sent.
    [[nodiscard]] bool Allowed(std::string_view pathAndQuery) const;

  private:
    struct Rule {
        bool allow = false;
        std::string pattern;  // percent-encoding normalised, "$" kept at the end
    };
    std::vector<Rule> rules_;
};

}  // namespace kestrane::google
