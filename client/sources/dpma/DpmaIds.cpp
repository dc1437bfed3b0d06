// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/dpma/DpmaIds.h"

#include "client/PublicationNumber.h"

namespace kestrane::dpma {

namespace {

bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr std::size_t kGermanDigits = 12;
// Longer numbers are no publication number of any office DPMA serves.
constexpr std::size_t kMaxDigits = 16;

}  // namespace

std::vector<std::string> DocumentIds(std::string_view typed) {
    const std::string compact = CompactNumber(typed);
    std::size_t i = 0;
    while (i < compact.size() && IsUpper(compact[i])) ++i;
    if (i != 2)
        return {};
    while (i < compact.size() && IsDigit(compact[i])) ++i;
    const std::string country = compact.substr(0, 2);
    const std::string digits = compact.substr(2, i - 2);
    const std::string kind = compact.substr(i);
    const bool kindOk = (kind.size() == 1 && IsUpper(kind[0])) ||
                        (kind.size() == 2 && IsUpper(kind[0]) && IsDigit(kind[1]));
    const std::size_t nonZero = digits.find_first_not_of('0');
    if (!kindOk || nonZero == std::string::npos)
        return {};
    const std::string significant = digits.substr(nonZero);
    const std::size_t limit = country == "DE" ? kGermanDigits : kMaxDigits;
    if (significant.size() > limit)
        return {};
    if (country != "DE")
        return {compact};
    const std::string plain = country + significant + kind;
    if (significant.size() == kGermanDigits)
        return {plain};
    return {country + std::string(kGermanDigits - significant.size(), '0') + significant + kind,
            plain};
}

}  // namespace kestrane::dpma
