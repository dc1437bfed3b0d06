// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/NameFormat.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "client/PublicationNumber.h"

namespace kestrane {

namespace {

constexpr std::array<std::string_view, 7> kFields = {"number", "compact", "country",  "kind",
                                                     "title",  "date",    "applicant"};

bool IsBiblioField(std::string_view name) {
    return name == "title" || name == "date" || name == "applicant";
}

// German letters as they are spelt without umlauts; other non-ASCII
// characters become "_". text[at] is the lead byte; advances at past the character.
std::string SpellOut(std::string_view text, std::size_t& at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == 0xC3 && at + 1 < text.size()) {
        const auto d = static_cast<unsigned char>(text[at + 1]);
        at += 2;
        switch (d) {
            case 0xA4:
                return "ae";
            case 0xB6:
                return "oe";
            case 0xBC:
                return "ue";
            case 0x84:
                return "Ae";
            case 0x96:
                return "Oe";
            case 0x9C:
                return "Ue";
            case 0x9F:
                return "ss";
            default:
                return "_";
        }
    }
    // Skip the whole sequence (or one stray byte).
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    return "_";
}

bool IsRefused(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '<' || c == '>' || c == ':' ||
           c == '"' || c == '|' || c == '?' || c == '*';
}

bool IsReservedDevice(std::string_view stem) {
    const std::string base(stem.substr(0, stem.find('.')));
    std::string upper;
    for (char c : base) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (!upper.empty() && upper.back() == ' ') upper.pop_back();
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
        return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

// Country and kind as the number spells them: its leading letters, and
// what follows its digits ("DE19758096C2" -> "DE", "C2").
void CountryAndKind(const std::string& compact, std::string& country, std::string& kind) {
    const auto isAlpha = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t at = 0;
    while (at < compact.size() && at < 2 && isAlpha(compact[at])) ++at;
    country = compact.substr(0, at);
    while (at < compact.size() && isDigit(compact[at])) ++at;
    kind = compact.substr(at, 2);
    if (kind.empty() || !isAlpha(kind[0]) || (kind.size() == 2 && !isDigit(kind[1])))
        kind.clear();
}

}  // namespace

std::string SafeFileStem(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            out += SpellOut(text, at);
            continue;
        }
        ++at;
        if (IsRefused(c))
            out += '_';
        else if (c == '.' && !out.empty() && out.back() == '.')
            continue;  // ".." never stands in a name
        else
            out += static_cast<char>(c);
    }
    while (!out.empty() && (out.front() == '.' || out.front() == ' ')) out.erase(out.begin());
    if (out.size() > kMaxFormattedStem)
        out.resize(kMaxFormattedStem);
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (!out.empty() && IsReservedDevice(out)) {
        out.insert(out.begin(), '_');
        if (out.size() > kMaxFormattedStem)
            out.resize(kMaxFormattedStem);
    }
    return out;
}

std::optional<NameFormat> NameFormat::Parse(std::string_view pattern, std::string& error) {
    NameFormat format;
    format.isDefault_ = false;
    bool anyField = false;
    for (std::size_t at = 0; at < pattern.size();) {
        const char c = pattern[at];
        if (c == '/' || c == '\\') {
            error = "A name format cannot name folders: \"/\" and \"\\\" are not allowed.";
            return std::nullopt;
        }
        if (c == '}') {
            error = "The name format has a \"}\" without its \"{\".";
            return std::nullopt;
        }
        if (c != '{') {
            if (format.pieces_.empty() || format.pieces_.back().field)
                format.pieces_.push_back({false, {}});
            format.pieces_.back().text += c;
            ++at;
            continue;
        }
        const std::size_t close = pattern.find('}', at);
        if (close == std::string_view::npos) {
            error = "The name format has a \"{\" that is never closed.";
            return std::nullopt;
        }
        const std::string_view name = pattern.substr(at + 1, close - at - 1);
        if (std::find(kFields.begin(), kFields.end(), name) == kFields.end()) {
            error = "The name format has an unknown field {" + std::string(name).substr(0, 40) +
                    "}; known are {number}, {compact}, {country}, {kind}, {title}, {date} and "
                    "{applicant}.";
            return std::nullopt;
        }
        format.pieces_.push_back({true, std::string(name)});
        format.wantsBiblio_ = format.wantsBiblio_ || IsBiblioField(name);
        anyField = true;
        at = close + 1;
    }
    if (!anyField) {
        error = "The name format needs at least one field, such as {number}.";
        return std::nullopt;
    }
    format.isDefault_ = format.pieces_.size() == 1 && format.pieces_[0].text == "number";
    return format;
}

std::string NameFormat::Apply(const NameFields& fields) const {
    const std::string compact = CompactNumber(fields.Number);
    if (isDefault_)
        return fields.Number;
    std::string country;
    std::string kind;
    CountryAndKind(compact, country, kind);
    std::string raw;
    for (const Piece& piece : pieces_) {
        if (!piece.field) {
            raw += piece.text;
            continue;
        }
        const Biblio* info = fields.Info;
        if (piece.text == "number")
            raw += fields.Number;
        else if (piece.text == "compact")
            raw += compact;
        else if (piece.text == "country")
            raw += country;
        else if (piece.text == "kind")
            raw += kind;
        else if (piece.text == "title" && info)
            raw += info->Title();
        else if (piece.text == "date" && info)
            raw += info->Date;
        else if (piece.text == "applicant" && info && !info->Applicants.empty())
            raw += info->Applicants.front();
    }
    std::string stem = SafeFileStem(raw);
    return stem.empty() ? SafeFileStem(compact) : stem;
}

}  // namespace kestrane
