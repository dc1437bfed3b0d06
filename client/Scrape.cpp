#include "client/Scrape.h"

#include <boost/regex.hpp>

namespace kestrane {

namespace {

// Patterns are few and fixed; compiling each once per thread keeps page
// scanning cheap without sharing a regex object across threads.
const boost::regex* Compiled(const char* pattern) {
    thread_local std::vector<std::pair<const char*, boost::regex>> cache;
    for (auto& entry : cache) {
        if (entry.first == pattern)
            return &entry.second;
    }
    try {
        cache.emplace_back(pattern,
                           boost::regex(pattern, boost::regex::perl | boost::regex::icase));
    } catch (const boost::regex_error&) {
        return nullptr;
    }
    return &cache.back().second;
}

}  // namespace

std::optional<Group1> FindGroup1(const char* pattern, std::string_view text) {
    const boost::regex* re = Compiled(pattern);
    if (re == nullptr)
        return std::nullopt;
    boost::match_results<std::string_view::const_iterator> m;
    try {
        if (!boost::regex_search(text.begin(), text.end(), m, *re, boost::match_default))
            return std::nullopt;
    } catch (const std::runtime_error&) {
        // Boost gives up on pathological pages (complexity or stack limits):
        // such a page holds no link we could trust.
        return std::nullopt;
    }
    if (m.size() < 2 || !m[1].matched)
        return Group1{std::string(), 0};
    return Group1{m[1].str(), static_cast<std::size_t>(m[1].second - text.begin())};
}

bool Contains(const char* pattern, std::string_view text) {
    const boost::regex* re = Compiled(pattern);
    if (re == nullptr)
        return false;
    try {
        return boost::regex_search(text.begin(), text.end(), *re, boost::match_default);
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::string ReplaceAmp(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    std::size_t i = 0;
    while (i < path.size()) {
        if (path.compare(i, 5, "&amp;") == 0) {
            out += '&';
            i += 5;
        } else {
            out += path[i++];
        }
    }
    return out;
}

std::string LinkToUrl(const std::string& serverBase, std::string_view path) {
    return serverBase + ReplaceAmp(path);
}

}  // namespace kestrane
