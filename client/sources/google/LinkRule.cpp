// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/google/LinkRule.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "util/Ascii.h"

namespace kestrane::google {

namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

std::optional<std::string> Part(const Url& url, CURLUPart part, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url.get(), part, &text, flags) != CURLUE_OK || text == nullptr)
        return std::nullopt;
    std::string out(text);
    curl_free(text);
    return out;
}

// Parses text (relative to base when base is given); null when it does not parse.
Url Parse(std::string_view text, std::string_view base = {}) {
    Url url(curl_url());
    if (!url)
        return nullptr;
    if (!base.empty() &&
        curl_url_set(url.get(), CURLUPART_URL, std::string(base).c_str(), 0) != CURLUE_OK)
        return nullptr;
    if (curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(),
                     CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return nullptr;
    return url;
}

std::optional<Origin> OriginOfUrl(const Url& url) {
    if (!url || Part(url, CURLUPART_USER) || Part(url, CURLUPART_PASSWORD))
        return std::nullopt;
    auto scheme = Part(url, CURLUPART_SCHEME);
    auto host = Part(url, CURLUPART_HOST);
    auto port = Part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port || (*scheme != "http" && *scheme != "https"))
        return std::nullopt;
    *host = ascii::Lower(*host);
    if (port->empty() || port->size() > 5 ||
        !std::all_of(port->begin(), port->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return Origin{*scheme, *host, std::stoi(*port)};
}

}  // namespace

std::optional<Origin> OriginOf(std::string_view url) {
    return OriginOfUrl(Parse(url));
}

std::optional<std::string> FollowablePdfLink(std::string_view link, std::string_view base) {
    const std::optional<Origin> own = OriginOf(base);
    if (!own || link.empty())
        return std::nullopt;
    const std::optional<Origin> google = OriginOf(kDefaultBase);
    const std::string pdfHost = std::string("https://") + kPdfHost + "/";
    const Url url = Parse(link, own == google ? std::string_view(pdfHost) : base);
    const std::optional<Origin> origin = OriginOfUrl(url);
    if (!origin)
        return std::nullopt;
    const bool onPdfHost =
        origin->scheme == "https" && origin->host == kPdfHost && origin->port == 443;
    if (!onPdfHost && *origin != *own)
        return std::nullopt;
    return Part(url, CURLUPART_URL, CURLU_NO_DEFAULT_PORT);
}

std::string PathAndQuery(std::string_view text) {
    const Url url = Parse(text);
    if (!url)
        return "/";
    std::string path = Part(url, CURLUPART_PATH).value_or("/");
    if (auto query = Part(url, CURLUPART_QUERY))
        path += "?" + *query;
    return path.empty() ? "/" : path;
}

}  // namespace kestrane::google
