// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/HelpText.h"

#include <CLI/CLI.hpp>

#include "cli/CliDocs.h"
#include "docs/options/Cli11Docs.h"

namespace kestrane::cli {

namespace {

constexpr const char* kUsage = "Usage: kestrane-cli [OPTIONS] [NUMBER...]\n\n";

constexpr const char* kDescription =
    "Downloads German patent documents as PDF files: for each publication number it\n"
    "searches the server, saves the document's pages and joins them into one PDF\n"
    "named after the document, in the save folder.\n\n";

constexpr const char* kNotes = R"(Numbers:
  At most 20 numbers per run, as in the window (blank lines do not count);
  --batch takes up to 100000, in consecutive runs of at most 20 (one dl.log, one
  summary, one exit status; Ctrl-C stops the whole batch); a longer list is
  refused (exit status 2) before anything is fetched. Numbers come from
  the command line and from -i, one per line; "#" starts a comment. A number
  listed twice is fetched once.

Output:
  Standard output has one line per number, for scripts:
    DE60218500T2 Success -> DE000060218500T2.pdf, EP000001389012B1.pdf
    DE1NOMATCH Failed
  Files that --skip-existing did not fetch again are followed by: (already saved)
  Standard error has each failure's cause ("DE1NOMATCH: no match on the
  server") followed by the window's text, notices and the closing summary;
  on a terminal also a progress line for the number in work.

Files:
  dl.log                 one line per number is appended in the save folder:
                         "2009-12-14 09:30:05 DE19758096C2 Success" (or Failed,
                         Cancelled), CR LF
  .kestrane/partial/     with --continue: pages of unfinished documents, kept
                         for the next --continue run in the save folder
  $XDG_CONFIG_HOME/kestrane/kestrane.conf
                         settings (default ~/.config/kestrane/kestrane.conf,
                         mode 0600): [run] source=, each source's keys under
                         its own name, [merge] program=

Exit status:
  0    every number was saved
  1    some number failed, no server session could be opened, or dl.log
       could not be written
  2    the input was refused (nothing was fetched)
  130  cancelled with Ctrl-C, SIGTERM or SIGHUP (a second one cancels at
       once, recording the number in work as Cancelled)

)";

constexpr const char* kSeeAlso =
    "\nSee kestrane-cli(1) and the user guide in /usr/share/doc/kestrane/.\n";

}  // namespace

std::string VersionLine() {
    return std::string("kestrane-cli ") + KESTRANE_VERSION;
}

std::string HelpText(const docs::ProgramDocs& parsed) {
    return std::string(kUsage) + kDescription + docs::HelpOptions(parsed) + "\n" + kNotes +
           docs::HelpEnvironment(parsed) + kSeeAlso;
}

void DescribeProgram(CLI::App& app) {
    const docs::ProgramDocs& docs = CliDocs();
    app.description(kDescription);
    app.set_help_flag("-h,--help", docs::FindOption(docs, "--help")->Help);
    app.set_version_flag("--version", VersionLine(), docs::FindOption(docs, "--version")->Help);
    docs::UseHelpText(app, docs, HelpText);
}

}  // namespace kestrane::cli
