// SPDX-License-Identifier: GPL-3.0-or-later
// Text from a server or a user, made safe to show on a terminal or in a box.
#pragma once

#include <string>
#include <string_view>

namespace kestrane {

// Control bytes, DEL and bytes above 0x7F become "\xNN" and a backslash "\\",
// so that nothing a page holds can move the cursor, retitle or clear the
// terminal, or end a line; printable ASCII stays as it is.
std::string Printable(std::string_view text);

}  // namespace kestrane
