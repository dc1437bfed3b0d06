// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/google/Robots.h"

#include <algorithm>
#include <cctype>

#include "util/Ascii.h"

namespace kestrane::google {

namespace {

using ascii::Lower;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Both sides compare in one form: "%xx" with upper-case hex digits, and any
// byte outside printable ASCII percent-encoded.
std::string Normalise(std::string_view text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += '%';
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 2])));
            i += 2;
        } else if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The user-agent line's product token: letters, "_" and "-" from its start.
std::string ProductToken(std::string_view value) {
    std::size_t n = 0;
    while (n < value.size() && (std::isalpha(static_cast<unsigned char>(value[n])) ||
                                value[n] == '_' || value[n] == '-'))
        ++n;
    return Lower(value.substr(0, n));
}

// Whether pattern matches a prefix of path ("*" any run, a final "$" the
// end); greedy with one backtracking point, so no recursion and at most
// |pattern| * |path| steps.
bool Matches(std::string_view pattern, std::string_view path) {
    const bool anchored = pattern.ends_with('$');
    if (anchored)
        pattern.remove_suffix(1);
    std::size_t p = 0, s = 0;
    std::size_t star = std::string_view::npos, starS = 0;
    for (;;) {
        if (p < pattern.size()) {
            if (pattern[p] == '*') {
                star = p++;
                starS = s;
                continue;
            }
            if (s < path.size() && pattern[p] == path[s]) {
                ++p;
                ++s;
                continue;
            }
        } else if (!anchored || s == path.size()) {
            return true;
        }
        if (star == std::string_view::npos || starS >= path.size())
            return false;
        s = ++starS;
        p = star + 1;
    }
}

struct Line {
    std::string key;  // lower case
    std::string_view value;
};

// "key: value  # comment" -> {key, value}; key empty for anything else.
Line ReadLine(std::string_view line) {
    if (const auto hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    return {Lower(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1))};
}

}  // namespace

RobotsRules RobotsRules::Parse(std::string_view text, std::string_view productToken) {
    text = text.substr(0, kMaxRobotsBytes);
    const std::string token = Lower(productToken);
    RobotsRules own, any;
    bool ownSeen = false;
    bool inAgents = false;                // the previous line was a user-agent line
    bool forOwn = false, forAny = false;  // the group being read applies to us / to "*"
    std::size_t from = 0;
    while (from < text.size()) {
        const auto end = text.find_first_of("\r\n", from);
        const std::string_view raw =
            text.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
        from = end == std::string_view::npos ? text.size() : end + 1;
        const Line line = ReadLine(raw);
        if (line.key == "user-agent") {
            if (!inAgents)
                forOwn = forAny = false;  // a new group begins
            inAgents = true;
            const std::string agent = ProductToken(line.value);
            if (!token.empty() && agent == token)
                forOwn = ownSeen = true;
            if (Trim(line.value) == "*")
                forAny = true;
            continue;
        }
        if (line.key != "allow" && line.key != "disallow")
            continue;  // other lines (sitemap, crawl-delay) neither end nor start a group
        inAgents = false;
        if (line.value.empty())
            continue;  // an empty rule matches nothing
        const Rule rule{line.key == "allow", Normalise(line.value)};
        if (forOwn)
            own.rules_.push_back(rule);
        if (forAny)
            any.rules_.push_back(rule);
    }
    return ownSeen ? own : any;
}

bool RobotsRules::Allowed(std::string_view pathAndQuery) const {
    const std::string path = Normalise(pathAndQuery.empty() ? "/" : pathAndQuery);
    if (path == "/robots.txt")
        return true;
    const Rule* best = nullptr;
    for (const Rule& rule : rules_) {
        if (!Matches(rule.pattern, path))
            continue;
        if (best == nullptr || rule.pattern.size() > best->pattern.size() ||
            (rule.pattern.size() == best->pattern.size() && rule.allow))
            best = &rule;
    }
    return best == nullptr || best->allow;
}

}  // namespace kestrane::google
