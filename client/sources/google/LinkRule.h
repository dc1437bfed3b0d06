// SPDX-License-Identifier: GPL-3.0-or-later
// Which PDF links from a Google Patents page are followed: https on Google's
// PDF host, or the page's own scheme, host and port (a mirror or the
// stand-in). Anything else is never requested.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane::google {

inline constexpr const char* kDefaultBase = "https://patents.google.com";
inline constexpr const char* kPdfHost = "patentimages.storage.googleapis.com";

struct Origin {
    std::string scheme;  // "http" or "https"
    std::string host;    // lower case
    int port = 0;        // the scheme's default when none is written
    bool operator==(const Origin&) const = default;
};

// The origin of an absolute http or https URL without user name or password; nullopt else.
std::optional<Origin> OriginOf(std::string_view url);

// The absolute URL to fetch for link as read from a page under base, or
// nullopt when it is not https on kPdfHost (port 443) nor on base's own
// origin. A relative link is taken relative to the PDF host of Google's own
// base, and to base itself for any other base.
std::optional<std::string> FollowablePdfLink(std::string_view link, std::string_view base);

// The path and query of an absolute URL ("/patent/DE1A/en"), for robots.txt.
std::string PathAndQuery(std::string_view url);

}  // namespace kestrane::google
