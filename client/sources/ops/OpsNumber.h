// SPDX-License-Identifier: GPL-3.0-or-later
// Publication numbers as users type them, turned into the docdb form EPO OPS
// asks for (country, number and kind apart).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/PublicationNumber.h"

namespace kestrane {

struct DocdbNumber {
    std::string country;  // two letters, "DE"
    std::string number;   // digits; German numbers without leading zeros
    std::string kind;     // a letter and an optional digit, as OPS files it
    // "DE.19758096.C2", as the inquiry's address wants it.
    std::string Dotted() const { return country + "." + number + "." + kind; }
};

// The docdb form, or std::nullopt for a number without a kind code or not of
// the shape country + digits + kind. Old German kind codes are mapped as OPS
// files them (below 1,000,000 A/B -> C; up to 1,399,999 A -> B; above A -> A1).
std::optional<DocdbNumber> ToDocdb(std::string_view typed);

}  // namespace kestrane
