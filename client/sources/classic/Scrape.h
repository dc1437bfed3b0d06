// SPDX-License-Identifier: GPL-3.0-or-later
// Reading links out of the server's pages: Perl syntax, case-insensitive,
// leftmost match, capture group 1 only. A pattern too costly for the regex
// engine on a huge page counts as "not found".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "client/ClientContext.h"

namespace kestrane {

inline constexpr const char* kHitLinkPattern = "\"(/DPMApublikationen/pdf_any_pgd.*?)\"";
inline constexpr const char* kPagePdfPattern = "\"(/DPMApublikationen/schriften/.*?)\"";
inline constexpr const char* kNavigationPattern = "\"(/DPMApublikationen/pdm_any_pgd.*?)\"";
inline constexpr const char* kNextPagePattern =
    "Next\\s*page\"\\s*href=\"(/DPMApublikationen/pdf_any_pgd.*?)\"";
inline constexpr const char* kHitCountPattern = "Selection\\s*of\\s*:\\s*(.*?)\\s*hits";
inline constexpr const char* kNoMatchPattern =
    "The\\s*database\\s*query\\s*returned\\s*no\\s*matches";

struct Group1 {
    std::string text;     // capture group 1
    std::size_t end = 0;  // offset just past group 1 in the searched text
};

// Leftmost match of pattern in text; nullopt when there is none.
std::optional<Group1> FindGroup1(const char* pattern, std::string_view text);

// True when the pattern matches anywhere in text.
bool Contains(const char* pattern, std::string_view text);

// Every "&amp;" becomes "&", left to right, without rescanning.
std::string ReplaceAmp(std::string_view path);

// ServerBase + path with "&amp;" replaced.
std::string LinkToUrl(const std::string& serverBase, std::string_view path);

// False when the page carries the server's no-match notice.
[[nodiscard]] bool PageHasMatches(const std::string& text);

// One exchange for a page of the server (SendHttpRequest in text mode): a
// page with the no-match notice fails it with NoSuchPatent. No failure when
// the page arrived; status as SendHttpRequest's.
[[nodiscard]] Failure FetchPage(ClientContext& ctx, std::string_view verb, const std::string& url,
                                std::string& page, long* status = nullptr);

}  // namespace kestrane
