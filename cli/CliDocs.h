// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-cli's options and environment variables, each described once:
// the parser takes its options from here (cli/main.cpp), and --help, the man
// page and the bash completion are written from here (docs/options).
#pragma once

#include "docs/options/OptionDocs.h"

namespace kestrane::cli {

// Every option and environment variable of kestrane-cli, the sources' own
// included.
const docs::ProgramDocs& CliDocs();

}  // namespace kestrane::cli
