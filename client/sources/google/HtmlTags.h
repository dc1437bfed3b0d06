// SPDX-License-Identifier: GPL-3.0-or-later
// Start tags and their attributes read from an HTML page the way a browser's
// tokenizer sees them: comments, doctypes and the insides of script and
// style skipped, attributes in any order and quoting, character references
// decoded. Flat and non-recursive; every count is bounded.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/sources/google/GoogleBiblio.h"

namespace kestrane::google {

inline constexpr std::size_t kMaxTags = 4096;      // tags kept from one page
inline constexpr std::size_t kMaxAttributes = 64;  // attributes kept from one tag

struct HtmlTag {
    std::string name;  // lower case
    // Names lower case, values decoded; the first of a repeated name only.
    std::vector<std::pair<std::string, std::string>> attributes;
    // The value of attribute name (lower case), or nullptr.
    [[nodiscard]] const std::string* Attribute(std::string_view name) const;
};

// The start tags that keep accepts, in page order, at most kMaxTags.
std::vector<HtmlTag> ReadTags(std::string_view html,
                              const std::function<bool(const HtmlTag&)>& keep);

// "&amp;", "&#252;", "&#xFC;" and the other common references decoded to
// UTF-8; unknown or malformed references stay as written.
std::string DecodeEntities(std::string_view text);

// What a patent page says about itself.
struct PatentPage {
    // Every <meta name=...>, in page order (BiblioFromMeta reads them).
    std::vector<MetaTag> meta;
    // citation_pdf_url, else the href of the element whose itemprop is pdfLink; "" when neither.
    std::string pdfLink;
    // A citation_patent_* meta or an itemprop publicationNumber: the page is
    // about a publication, even when it offers no PDF.
    bool hasRecord = false;

    // The content of the first meta called name (case-blind) with this
    // scheme ("" matches a meta without one), or nullopt.
    [[nodiscard]] std::optional<std::string> Meta(std::string_view name,
                                                  std::string_view scheme = {}) const;
    // Every such content, in page order (inventors, assignees).
    [[nodiscard]] std::vector<std::string> MetaAll(std::string_view name,
                                                   std::string_view scheme = {}) const;
};

PatentPage ReadPatentPage(std::string_view html);

// A page that speaks of unusual traffic, automated queries or a CAPTCHA:
// when it holds no record, the site is blocking this address.
bool LooksBlocked(std::string_view html);

}  // namespace kestrane::google
