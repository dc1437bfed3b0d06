// SPDX-License-Identifier: GPL-3.0-or-later
// What `kestrane-cli --help` and `--version` say beyond the options: the
// limits, the log, the exit codes and the environment. Kept apart from main so
// the option list and these texts can change without touching each other; the
// man page (docs/kestrane-cli.1.scd) says the same at more length.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace kestrane::cli {

// "kestrane-cli 1.0.0.5": what --version prints.
std::string VersionLine();

// Gives app its description, its --version flag and the help's closing
// sections (footer). Call before the options are parsed.
void DescribeProgram(CLI::App& app);

}  // namespace kestrane::cli
