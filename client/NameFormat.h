// SPDX-License-Identifier: GPL-3.0-or-later
// File names the user chooses (--name-format, the Settings field): a pattern
// of literal text and the fields {number}, {compact}, {country}, {kind},
// {title}, {date} and {applicant}, turned into a name that is safe in the
// save folder on every platform the program runs on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/Biblio.h"

namespace kestrane {

// The longest stem a formatted name gets (bytes, before ".pdf"): room for the
// save folder's path within the limits of Windows and of Linux file systems.
inline constexpr std::size_t kMaxFormattedStem = 120;

// What a pattern can say about one document.
struct NameFields {
    std::string Number;            // the name the document is saved under today
    const Biblio* Info = nullptr;  // null when no bibliographic data was read
};

class NameFormat {
  public:
    // The default pattern, "{number}": today's names exactly.
    NameFormat() = default;

    // A pattern as the user wrote it, or std::nullopt with error set to a
    // sentence saying what is wrong (an unknown field, a brace left open, a
    // folder separator, no field at all).
    static std::optional<NameFormat> Parse(std::string_view pattern, std::string& error);

    // True for "{number}": the caller keeps today's name untouched.
    bool IsDefault() const { return isDefault_; }
    // Whether a field needs bibliographic data ({title}, {date}, {applicant}).
    bool WantsBiblio() const { return wantsBiblio_; }

    // The stem for one document (without ".pdf"): every field filled in and
    // made safe (see SafeFileStem), a field without a value left empty; the
    // compact number when nothing usable is left.
    std::string Apply(const NameFields& fields) const;

  private:
    struct Piece {
        bool field = false;
        std::string text;  // literal text, or the field's name
    };
    std::vector<Piece> pieces_;
    bool isDefault_ = true;
    bool wantsBiblio_ = false;
};

// Text as a file name stem that every supported file system takes and that
// stays in its folder: 7-bit only (German letters spelt out: "ä" -> "ae"),
// no control characters, no path separators, none of < > : " | ? * (each
// becomes "_"), no ".." and no leading dot, no trailing dots or blanks, not a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension: a "_" goes in front), at most kMaxFormattedStem bytes. May
// return "" when nothing usable is left.
std::string SafeFileStem(std::string_view text);

}  // namespace kestrane
