// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include <cstdio>
#include <string_view>

#include "app/WindowDocs.h"

namespace kestrane::app {

std::optional<int> AnswerCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--version") {
            std::printf("kestrane %s\n", KESTRANE_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(WindowHelpText().c_str(), stdout);
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace kestrane::app
