// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/WindowDocs.h"

#include "client/pdf/MergeStep.h"
#include "docs/options/SourceDocs.h"

namespace kestrane::app {

namespace {

std::vector<docs::EnvDoc> Environment() {
    std::vector<docs::EnvDoc> env = docs::SourceEnvironment();
    env.push_back({"http_proxy", "proxy for http:// requests when Proxy Server is not ticked", ""});
    env.push_back({kMergeProgramVariable,
                   "program that joins the pages, with pdftk's command line, instead of the "
                   "built-in merge",
                   ""});
    env.push_back(
        {"XDG_CONFIG_HOME", "where the settings file is looked for (default ~/.config)", ""});
    env.push_back({"QT_SCALE_FACTOR", "scales the whole window, for example 1.5 or 2", ""});
    env.push_back({"KESTRANE_INSTANCE_NAME",
                   "name of the one-window-per-session guard: windows of different names run "
                   "side by side",
                   ""});
    env.push_back({"KESTRANE_AUTORUN",
                   "numbers, blank-separated, to type into the list and download at once (for "
                   "demonstrations)",
                   ""});
    env.push_back({"KESTRANE_AUTORUN_FOLDER", "the save folder of KESTRANE_AUTORUN", ""});
    return env;
}

}  // namespace

const docs::ProgramDocs& WindowDocs() {
    static const docs::ProgramDocs docs{"kestrane",
                                        {
                                            {"--version", "", "Print the version and exit"},
                                            {"-h,--help", "", "Print this help and exit"},
                                        },
                                        Environment()};
    return docs;
}

std::string WindowHelpText() {
    return "Usage: kestrane [--version] [--help] [Qt options]\n\n"
           "Opens the Kestrane window: type up to 20 publication numbers (or drop a text\n"
           "file of them onto the list), choose a save folder and press Download. Help in\n"
           "the window (or F1) opens the user guide; the window's context menu has About\n"
           "and Settings.\n\n" +
           docs::HelpOptions(WindowDocs()) + "  Other options are Qt's, e.g. -platform NAME.\n\n" +
           docs::HelpEnvironment(WindowDocs()) +
           "\nSee kestrane(1), kestrane-cli(1) and /usr/share/doc/kestrane/index.html.\n";
}

}  // namespace kestrane::app
