// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-pubserver's options, each described once: the parser takes them
// from here (server/main.cpp), and --help and the man page are written from
// here (docs/options).
#pragma once

#include "docs/options/OptionDocs.h"

namespace kestrane::pubserver {

const docs::ProgramDocs& ServerDocs();

// The whole of --help for the options the parser takes.
std::string ServerHelpText(const docs::ProgramDocs& parsed);

}  // namespace kestrane::pubserver
