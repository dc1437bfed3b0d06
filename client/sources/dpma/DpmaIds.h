// SPDX-License-Identifier: GPL-3.0-or-later
// Which DPMAconnectPlus document ids a typed publication number is asked
// under. DPMA files numbers zero-padded to 12 digits in its own answers
// ("DE000010027360A1"); whether the PDF call also knows the plain form is
// not known, so a short German number is asked under both, padded first.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrane::dpma {

// The ids to ask for, in order, stopping at the first PDF: for a DE number
// with fewer than 12 digits the padded id, then the plain one; else the one
// id. Empty when the compact number is not two letters, digits and a kind
// code (a letter and an optional digit): the item fails before any request.
std::vector<std::string> DocumentIds(std::string_view typed);

}  // namespace kestrane::dpma
