// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in server's HTML pages and page PDFs, and the text helpers they
// share. Every link the pages carry names the searched number (pn), and where
// it matters the document index (d) and page, so that any request can be
// answered without server-side state beyond the session cookie.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::pubserver::pages {

inline constexpr const char* kRoot = "/DPMApublikationen/";

// Percent-encodes every byte but the unreserved ones (letters, digits, -._~).
std::string EncodeComponent(std::string_view text);
// Form decoding: %XX becomes its byte and '+' a blank; a malformed escape is kept as it stands.
std::string DecodeFormComponent(std::string_view text);
std::string HtmlEscape(std::string_view text);
// The decoded value of the first field called key in a raw query string.
std::optional<std::string> QueryField(std::string_view query, std::string_view key);

struct Document {
    std::string id;  // docIdNormed, also the name printed on its pages
    int pages = 1;
};

struct SelectionLink {
    std::string docIdNormed;  // written into the link as it stands
    int doc = 0;              // the document the link leads to
};

std::string SessionPage();
std::string SessionExpiredPage();
std::string NoMatchPage(const std::string& number);
// The first hit links to the document (or selection); a second hit follows it.
// linkTail is written raw after the first hit's link (a hostile server's bytes).
std::string HitListPage(const std::string& number, bool withLinks,
                        const std::string& linkTail = "");
std::string SelectionPage(const std::string& number, const std::vector<SelectionLink>& links,
                          int promisedHits);
std::string ViewerPage(const std::string& number, const Document& doc, int docIndex, int page,
                       bool withNavigation);
std::string NavigationPage(const std::string& number, int docIndex, int page, int pages,
                           bool withNext);
std::string NotAvailablePage();
std::string ServerErrorPage();
std::string NotFoundPage();

// A one-page PDF whose text reads "NAME page N of M"; when kb > 0 it carries an
// incompressible picture so that the file is about kb KB.
std::string RenderPagePdf(const std::string& name, int page, int pages, int kb);
// The whole document of `pages` such pages in one PDF.
std::string RenderDocumentPdf(const std::string& name, int pages, int kb);

// Standard base64; bytes outside its alphabet are skipped.
std::string Base64Decode(std::string_view in);

}  // namespace kestrane::pubserver::pages
