// SPDX-License-Identifier: GPL-3.0-or-later
// The window's own options and the environment it reads, described once:
// `kestrane --help` (app/CommandLine.cpp) and the man page (docs/options) are
// written from here. Plain C++, so the man page writer needs no Qt.
#pragma once

#include <string>

#include "docs/options/OptionDocs.h"

namespace kestrane::app {

const docs::ProgramDocs& WindowDocs();

// The whole of `kestrane --help`.
std::string WindowHelpText();

}  // namespace kestrane::app
