// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsNumber.h"

#include <cctype>

namespace kestrane {

namespace {

bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Only the old German kinds without a digit are renamed; numbers too long to
// hold in a long long never reach here (at most 12 digits are taken).
std::string GermanKind(const std::string& number, const std::string& kind) {
    const long long value = std::stoll(number);
    if (value < 1'000'000 && (kind == "A" || kind == "B"))
        return "C";
    if (value >= 1'000'000 && value < 1'400'000 && kind == "A")
        return "B";
    if (value >= 1'400'000 && kind == "A")
        return "A1";
    return kind;
}

}  // namespace

std::optional<DocdbNumber> ToDocdb(std::string_view typed) {
    const std::string compact = CompactNumber(typed);
    std::size_t i = 0;
    while (i < compact.size() && IsUpper(compact[i])) ++i;
    if (i != 2)
        return std::nullopt;
    const std::size_t digitsFrom = i;
    while (i < compact.size() && IsDigit(compact[i])) ++i;
    const std::size_t digitsTo = i;
    const std::string kind = compact.substr(i);
    const bool kindOk = (kind.size() == 1 && IsUpper(kind[0])) ||
                        (kind.size() == 2 && IsUpper(kind[0]) && IsDigit(kind[1]));
    if (digitsTo == digitsFrom || !kindOk)
        return std::nullopt;

    DocdbNumber docdb{compact.substr(0, 2), compact.substr(digitsFrom, digitsTo - digitsFrom),
                      kind};
    if (docdb.country == "DE") {
        const std::size_t nonZero = docdb.number.find_first_not_of('0');
        if (nonZero == std::string::npos)
            return std::nullopt;
        docdb.number.erase(0, nonZero);
        if (docdb.number.size() > 12)
            return std::nullopt;
        docdb.kind = GermanKind(docdb.number, docdb.kind);
    } else if (docdb.number.size() > 16) {
        return std::nullopt;
    }
    return docdb;
}

}  // namespace kestrane
