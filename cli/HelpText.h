// SPDX-License-Identifier: GPL-3.0-or-later
// What `kestrane-cli --help` and `--version` say: the options and environment
// variables from the option table (cli/CliDocs.h), and around them the
// limits, the output, the log and the exit codes. The man page
// (docs/kestrane-cli.1.scd) says the same at more length.
#pragma once

#include <string>

#include "docs/options/OptionDocs.h"

namespace CLI {
class App;
}

namespace kestrane::cli {

// "kestrane-cli 1.0.0.5": what --version prints.
std::string VersionLine();

// The whole of --help for the options the parser takes (see docs::AsParsed).
std::string HelpText(const docs::ProgramDocs& parsed);

// Gives app its description, its --help and --version flags and its help
// text. Call before the options are parsed.
void DescribeProgram(CLI::App& app);

}  // namespace kestrane::cli
