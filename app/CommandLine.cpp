// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include <cstdio>
#include <string_view>

namespace kestrane::app {

namespace {

constexpr const char* kHelp = R"(Usage: kestrane [--version] [--help] [Qt options]

Opens the Kestrane window: type up to 20 publication numbers (or drop a text
file of them onto the list), choose a save folder and press Download. Help in
the window opens the user guide; the window's context menu has About and
Settings.

Options:
  --version   print the version and exit
  --help      print this text and exit

Environment:
  KESTRANE_SERVER_BASE     publication server address (default
                           http://depatisnet.dpma.de)
  http_proxy               proxy for http:// requests when Proxy Server is
                           not ticked
  KESTRANE_OPS_KEY, KESTRANE_OPS_SECRET
                           EPO OPS credentials (else the settings file
                           $XDG_CONFIG_HOME/kestrane/kestrane.conf)
  KESTRANE_MERGE_PROGRAM   program that joins the pages, with pdftk's command
                           line, instead of the built-in merge
  QT_SCALE_FACTOR          scales the whole window

See kestrane(1), kestrane-cli(1) and /usr/share/doc/kestrane/index.html.
)";

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--version") {
            std::printf("kestrane %s\n", KESTRANE_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace kestrane::app
