// SPDX-License-Identifier: GPL-3.0-or-later
// The window's own command-line options, answered before Qt starts: `kestrane
// --version` and `--help` print and end without a display, and never meet the
// single-instance guard of a window that is already open.
#pragma once

#include <optional>

namespace kestrane::app {

// The exit status when argv asks for --version or --help (already printed on
// standard output); nothing when the window should start. Every other argument
// is left to Qt (-platform, -style, ...).
std::optional<int> AnswerCommandLine(int argc, char** argv);

}  // namespace kestrane::app
