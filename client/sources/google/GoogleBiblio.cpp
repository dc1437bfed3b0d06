// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/google/GoogleBiblio.h"

#include <algorithm>
#include <cctype>

namespace kestrane {

namespace {

bool LooksGerman(const std::string& text) {
    for (const char* mark : {"ä", "ö", "ü", "Ä", "Ö", "Ü", "ß"}) {
        if (text.find(mark) != std::string::npos)
            return true;
    }
    return false;
}

bool IsDate(const std::string& text) {
    return text.size() == 10 && text[4] == '-' && text[7] == '-' &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return c == '-' || std::isdigit(static_cast<unsigned char>(c));
           });
}

}  // namespace

bool BiblioFromMeta(const std::vector<MetaTag>& tags, Biblio& info) {
    info = {};
    bool any = false;
    for (const MetaTag& tag : tags) {
        const std::string value = CleanBiblioText(tag.Content);
        if (value.empty())
            continue;
        if (tag.Name == "DC.title" && info.Title().empty()) {
            (LooksGerman(value) ? info.TitleDe : info.TitleEn) = value;
        } else if (tag.Name == "DC.date" && tag.Scheme.empty() && info.Date.empty()) {
            if (IsDate(value))
                info.Date = value;
        } else if (tag.Name == "DC.contributor" && tag.Scheme == "inventor") {
            AddBiblioName(info.Inventors, value);
        } else if (tag.Name == "DC.contributor" && tag.Scheme == "assignee") {
            AddBiblioName(info.Applicants, value);
        } else if (tag.Name == "citation_patent_publication_number" && info.Number.empty()) {
            std::string number;
            for (char c : value) {
                if (c != ':')
                    number += c;
            }
            info.Number = number;
        } else {
            continue;
        }
        any = true;
    }
    return any && !info.Empty();
}

}  // namespace kestrane
