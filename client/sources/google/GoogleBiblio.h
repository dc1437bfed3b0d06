// SPDX-License-Identifier: GPL-3.0-or-later
// Bibliographic data of a Google Patents page, from the head's meta tags the
// page reader has already taken out (no request of its own).
#pragma once

#include <string>
#include <vector>

#include "client/Biblio.h"

namespace kestrane {

struct MetaTag {
    std::string Name;     // the name attribute ("DC.title")
    std::string Scheme;   // the scheme attribute, or ""
    std::string Content;  // the content attribute, character references decoded
};

// DC.title (the page's language is not given: a title with German
// umlauts or "ß" counts as German, else as English), DC.date without a
// scheme (the publication date), DC.contributor with scheme "inventor" and
// "assignee", citation_patent_publication_number ("DE:19758096:C2"). False
// when the tags hold none of these.
bool BiblioFromMeta(const std::vector<MetaTag>& tags, Biblio& info);

}  // namespace kestrane
