// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/classic/Scrape.h"

#include <boost/regex.hpp>
#include <initializer_list>
#include <string>

#include "client/net/HttpExchange.h"

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

// ---- The page readers, matched by hand in time linear in the page.
//
// A backtracking engine needs minutes for a page of "Selection of :" and
// megabytes of blanks, and ignores a cancel meanwhile. Each reader below
// gives exactly the leftmost match its pattern would: the fixed words are
// found by plain search, and each candidate's scan stops where the next
// candidate could begin, so no byte is looked at more than a few times.

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// word is lower-case ASCII.
bool WordAt(std::string_view text, std::size_t at, std::string_view word) {
    if (at > text.size() || text.size() - at < word.size())
        return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (Lower(text[at + k]) != word[k])
            return false;
    }
    return true;
}

// The first place at or after from where word (lower-case) stands, in any case.
std::size_t FindWord(std::string_view text, std::string_view word, std::size_t from) {
    const char first = word[0];
    const char firsts[] = {
        first, (first >= 'a' && first <= 'z') ? static_cast<char>(first - 32) : first, '\0'};
    for (std::size_t at = text.find_first_of(firsts, from); at != std::string_view::npos;
         at = text.find_first_of(firsts, at + 1)) {
        if (WordAt(text, at, word))
            return at;
    }
    return std::string_view::npos;
}

std::size_t SkipBlanks(std::string_view text, std::size_t at) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    return at;
}

// Words in order with optional blanks between them; the end of the last word, or npos.
std::size_t WordsAt(std::string_view text, std::size_t at,
                    std::initializer_list<std::string_view> words) {
    bool first = true;
    for (std::string_view word : words) {
        if (!first)
            at = SkipBlanks(text, at);
        first = false;
        if (!WordAt(text, at, word))
            return std::string_view::npos;
        at += word.size();
    }
    return at;
}

// The rest of a "(MARKER.*?)"" match once MARKER was found at start: up to the next quote.
std::optional<Group1> UpToQuote(std::string_view text, std::size_t start, std::size_t markerSize) {
    const std::size_t quote = text.find('"', start + markerSize);
    if (quote == std::string_view::npos)
        return std::nullopt;
    return Group1{std::string(text.substr(start, quote - start)), quote};
}

// "(MARKER.*?)"": a later candidate starts with a quote, which would close this one.
std::optional<Group1> QuotedLink(std::string_view text, std::string_view marker) {
    std::string quoted = "\"";
    quoted.append(marker);
    const std::size_t at = FindWord(text, quoted, 0);
    if (at == std::string_view::npos)
        return std::nullopt;
    return UpToQuote(text, at + 1, marker.size());
}

constexpr std::string_view kViewerMarker = "/dpmapublikationen/pdf_any_pgd";

// Next\s*page"\s*href="(/DPMApublikationen/pdf_any_pgd.*?)"
std::optional<Group1> NextPageLink(std::string_view text) {
    for (std::size_t at = FindWord(text, "next", 0); at != std::string_view::npos;
         at = FindWord(text, "next", at + 1)) {
        std::size_t i = WordsAt(text, at, {"next", "page\""});
        if (i == std::string_view::npos)
            continue;
        i = WordsAt(text, i, {"", "href=\""});
        if (i == std::string_view::npos || !WordAt(text, i, kViewerMarker))
            continue;
        return UpToQuote(text, i, kViewerMarker.size());
    }
    return std::nullopt;
}

// Selection\s*of\s*:\s*(.*?)\s*hits: the count runs from the blanks after the
// colon to the blanks before the first "hits" after them.
std::optional<Group1> HitCount(std::string_view text) {
    for (std::size_t at = FindWord(text, "selection", 0); at != std::string_view::npos;
         at = FindWord(text, "selection", at + 1)) {
        const std::size_t colon = WordsAt(text, at, {"selection", "of", ":"});
        if (colon == std::string_view::npos)
            continue;
        const std::size_t start = SkipBlanks(text, colon);
        const std::size_t hits = FindWord(text, "hits", start);
        if (hits == std::string_view::npos)
            return std::nullopt;
        std::size_t end = hits;
        while (end > start && IsBlank(text[end - 1])) --end;
        return Group1{std::string(text.substr(start, end - start)), end};
    }
    return std::nullopt;
}

bool HasNoMatchNotice(std::string_view text) {
    for (std::size_t at = FindWord(text, "the", 0); at != std::string_view::npos;
         at = FindWord(text, "the", at + 1)) {
        if (WordsAt(text, at, {"the", "database", "query", "returned", "no", "matches"}) !=
            std::string_view::npos)
            return true;
    }
    return false;
}

// The reader for one of the fixed patterns; false for any other pattern.
bool ReadByHand(std::string_view pattern, std::string_view text, std::optional<Group1>& out) {
    if (pattern == kHitLinkPattern) {
        out = QuotedLink(text, kViewerMarker);
    } else if (pattern == kPagePdfPattern) {
        out = QuotedLink(text, "/dpmapublikationen/schriften/");
    } else if (pattern == kNavigationPattern) {
        out = QuotedLink(text, "/dpmapublikationen/pdm_any_pgd");
    } else if (pattern == kNextPagePattern) {
        out = NextPageLink(text);
    } else if (pattern == kHitCountPattern) {
        out = HitCount(text);
    } else if (pattern == kNoMatchPattern) {
        out = HasNoMatchNotice(text) ? std::optional<Group1>(Group1{}) : std::nullopt;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<Group1> FindGroup1(const char* pattern, std::string_view text) {
    if (std::optional<Group1> read; ReadByHand(pattern, text, read))
        return read;
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
    if (std::optional<Group1> read; ReadByHand(pattern, text, read))
        return read.has_value();
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

bool PageHasMatches(const std::string& text) {
    return !Contains(kNoMatchPattern, text);
}

Failure FetchPage(ClientContext& ctx, std::string_view verb, const std::string& url,
                  std::string& page, long* status) {
    HttpExtra extra;
    extra.judgeText = [](const std::string& text) {
        return PageHasMatches(text) ? FailureKind::None : FailureKind::NoSuchPatent;
    };
    return SendHttpRequest(ctx, verb, url, "", page, nullptr, 0, status, &extra);
}

}  // namespace kestrane
