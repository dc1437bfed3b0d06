// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Biblio.h"

#include <algorithm>

namespace kestrane {

namespace {

// Bytes in a row that belong to a UTF-8 sequence's tail.
bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

}  // namespace

std::string CleanBiblioText(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), kMaxBiblioField));
    bool blank = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == ' ') {
            // Tabs and newlines separate words; other controls are dropped
            // the same way, so nothing of them reaches a terminal or a file.
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += ch;
        if (out.size() >= kMaxBiblioField)
            break;
    }
    if (out.size() > kMaxBiblioField)
        out.resize(kMaxBiblioField);
    // A cut in the middle of a multi-byte character leaves no broken tail.
    std::size_t end = out.size();
    std::size_t lead = end;
    while (lead > 0 && IsContinuation(static_cast<unsigned char>(out[lead - 1]))) --lead;
    if (lead > 0) {
        const auto c = static_cast<unsigned char>(out[lead - 1]);
        const std::size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (end - (lead - 1) < want)
            out.resize(lead - 1);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void AddBiblioName(std::vector<std::string>& list, std::string_view text) {
    if (list.size() >= kMaxBiblioNames)
        return;
    std::string value = CleanBiblioText(text);
    if (value.empty() || std::find(list.begin(), list.end(), value) != list.end())
        return;
    list.push_back(std::move(value));
}

}  // namespace kestrane
