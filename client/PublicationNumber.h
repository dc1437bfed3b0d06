// SPDX-License-Identifier: GPL-3.0-or-later
// Publication numbers as users type them, in the one compact form every
// source and front end shares.
#pragma once

#include <string>
#include <string_view>

namespace kestrane {

// What the user typed, upper-cased and without blanks, "-", "/", "_" and ".":
// the OPS source's file name ("DE19758096C2"), and what --normalize searches for.
std::string CompactNumber(std::string_view typed);

}  // namespace kestrane
