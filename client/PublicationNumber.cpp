// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/PublicationNumber.h"

namespace kestrane {

std::string CompactNumber(std::string_view typed) {
    std::string out;
    for (char c : typed) {
        if (c == ' ' || c == '\t' || c == '-' || c == '/' || c == '_' || c == '.')
            continue;
        // ASCII only: the file name must not depend on the locale the window set.
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

}  // namespace kestrane
