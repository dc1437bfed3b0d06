// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the numbers of an -i input (a file or standard input) in bounded
// memory and time: reading ends as soon as the input can no longer pass the
// input checks, and no line is held beyond the length the checks look at.
#pragma once

#include <string>
#include <vector>

namespace kestrane::cli {

struct InputLines {
    std::vector<std::string> lines;  // each cut at kMaxLineLength bytes
    bool readFailed = false;         // the input could not be read to its end
};

// Numbers --batch takes at most (a long list, but not an endless one); a
// longer list is refused with kListTooLong.
inline constexpr int kMaxListLines = 100000;
inline constexpr const char* kListTooLong =
    "--batch takes at most 100000 numbers; this list holds more. Split it into several lists.";

// Reads fd line by line. A UTF-8 byte-order mark at its start is dropped (as
// Windows editors write one), and so is every "#" comment (a "#" is never
// part of a number; a line left blank counts as blank). Stops after the line that makes
// nonBlankLimit non-blank lines, or after a line holding a control character: from there on the
// checks refuse the list whatever follows.
InputLines ReadInputLines(int fd, int nonBlankLimit);

}  // namespace kestrane::cli
