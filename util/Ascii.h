// SPDX-License-Identifier: GPL-3.0-or-later
// Case rules for protocol text (header names, hosts, tags, file names compared
// for a clash): ASCII letters only, whatever locale the window set.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace kestrane::ascii {

inline char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

}  // namespace kestrane::ascii
