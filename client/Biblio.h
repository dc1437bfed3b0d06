// SPDX-License-Identifier: GPL-3.0-or-later
// What a source tells about a publication besides its pages: the
// bibliographic fields a report, a file name and the saved PDF's document
// information take. Every field is server text, already trimmed and cut to
// kMaxBiblioField bytes; none is safe for a terminal or a path as it stands.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

inline constexpr std::size_t kMaxBiblioField = 1000;  // bytes of one title or name
inline constexpr std::size_t kMaxBiblioNames = 50;    // applicants, inventors, classes each

struct Biblio {
    std::string Number;                   // the publication as the source names it ("DE19758096C2")
    std::string TitleDe;                  // German title, or ""
    std::string TitleEn;                  // English title, or ""
    std::string TitleOther;               // a title in another language when neither is given
    std::vector<std::string> Applicants;  // as filed ("Siemens AG"), in the source's order
    std::vector<std::string> Inventors;
    std::string Date;              // publication date, YYYY-MM-DD, or ""
    std::vector<std::string> Ipc;  // IPC classes ("H01L 21/00")

    bool Empty() const {
        return TitleDe.empty() && TitleEn.empty() && TitleOther.empty() && Applicants.empty() &&
               Inventors.empty() && Date.empty() && Ipc.empty();
    }
    // The title a file name or a document title takes: German first (the
    // documents are German), then English, then whatever there is.
    const std::string& Title() const {
        return !TitleDe.empty() ? TitleDe : !TitleEn.empty() ? TitleEn : TitleOther;
    }
};

// Server text as a field: white space runs (newlines included) become one
// blank, control characters go, the ends are trimmed, and the result is cut
// to kMaxBiblioField bytes without splitting a UTF-8 sequence.
std::string CleanBiblioText(std::string_view text);

// Adds a cleaned value to a list unless it is empty, already there, or the list is full.
void AddBiblioName(std::vector<std::string>& list, std::string_view text);

}  // namespace kestrane
