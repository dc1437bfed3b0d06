// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliDocs.h"

#include <string>
#include <vector>

#include "client/pdf/MergeStep.h"
#include "docs/options/SourceDocs.h"

namespace kestrane::cli {

namespace {

using docs::Complete;
using docs::EnvDoc;
using docs::OptionDoc;

std::vector<OptionDoc> Options() {
    return {
        {"-o,--output", "DIR", "Folder to save into (default: current folder)",
         "Save into _DIR_, whose path must be plain ASCII (default: the current folder).\n"
         "It must exist unless *--create-folder* is given.",
         Complete::Folder},
        {"--create-folder", "", "Make the save folder first when it does not exist (like mkdir -p)",
         "Make the save folder, and any folder above it, when it does not exist yet.\n"
         "Without it a missing save folder refuses the run (exit status 2).",
         Complete::Nothing},
        {"-i,--input", "FILE", "File with one number per line; - reads stdin",
         "Read numbers from _FILE_, one per line. *-* reads standard input.",
         Complete::FileOrStdin},
        {"--proxy", "IP:PORT", "HTTP proxy for http:// requests",
         "Send http:// requests through this HTTP proxy, as the window's Proxy\n"
         "Server box does. Without it, *http_proxy* applies.",
         Complete::Nothing},
        {"--watchdog", "SECONDS", "Seconds before a stalled item is checked (default 120)",
         "How long a number may stall before the watchdog looks at it (default\n"
         "120, at most a week). A number still stalled after two periods is abandoned,\n"
         "logged as Failed, and the run goes on.",
         Complete::Nothing},
        docs::SourceOption(),
        {"--merge-program", "PROGRAM",
         "Merge with this pdftk-like program (a name looked up beside kestrane-cli, then in "
         "PATH, or a path) instead of in-process with qpdf; 'qpdf' is the built-in engine. "
         "Default: $KESTRANE_MERGE_PROGRAM, else the settings file, else qpdf",
         "Join the pages with _PROGRAM_, which follows pdftk's command line\n"
         "(\"PAGE... cat output FILE dont_ask\"): a name looked up beside\n"
         "kestrane-cli, then in PATH, or a path. *qpdf* names the built-in merge.\n"
         "Default: *KESTRANE_MERGE_PROGRAM*, else the settings file's [merge]\n"
         "program, else the built-in merge. A program that cannot be found\n"
         "refuses the run before it starts (exit status 2).",
         Complete::Command},
        {"-q,--quiet", "", "Print nothing but errors (not with --verbose)",
         "Print nothing but errors: no outcome lines, no progress, no summary.\n"
         "Not together with *--verbose*.",
         Complete::Nothing},
        {"-v,--verbose", "", "Also print every request's address (on standard error)",
         "Also print the address of every request, on standard error.", Complete::Nothing},
        {"--batch", "", "Take lists of up to 100000 numbers, in consecutive runs of at most 20",
         "Take a list of up to 100000 numbers, in consecutive runs of at most 20\n"
         "numbers: one dl.log, one summary, one exit status over all runs. Ctrl-C\n"
         "stops the whole batch. A longer list is refused (exit status 2) before\n"
         "anything is fetched.",
         Complete::Nothing},
        {"--normalize", "",
         "Search for numbers upper-cased, without blanks and - / _ . (dl.log keeps them as "
         "typed)",
         "Search for each number upper-cased, without blanks and *- / \\_ .*, and\n"
         "name its file so; dl.log keeps the number as typed.",
         Complete::Nothing},
        {"--skip-existing", "", "Do not fetch a document whose PDF is already in the save folder",
         "Do not fetch a document whose merged file is already in the save folder\n"
         "and opens as a PDF with at least one page. For a number of one document\n"
         "this is known before the search; its record is Success and its outcome\n"
         "line says \"(already saved)\".",
         Complete::Nothing},
        {"--continue", "",
         "Keep the pages of a document that does not finish (in the save folder's "
         ".kestrane/partial/) and fetch only the missing ones (or the rest of a whole document) "
         "in a later run with --continue",
         docs::ResumeMan(), Complete::Nothing},
        {"--report", "FILE",
         "Append one row per number to FILE as it is decided: CSV when FILE ends in .csv, JSON "
         "lines when it ends in .jsonl",
         "Append one row per number to _FILE_ the moment its outcome is decided,\n"
         "like dl.log: CSV when _FILE_ ends in .csv (with a header line when the\n"
         "file is new), JSON lines when it ends in .jsonl. A row holds the number as\n"
         "typed and compact, the source, the outcome, the failure's kind and cause,\n"
         "the saved files with the SHA-256 of each, pages, bytes received,\n"
         "requests, seconds and, with *--biblio*, the bibliographic fields.",
         Complete::File},
        {"--biblio", "", docs::BiblioHelp(), docs::BiblioMan(), Complete::Nothing},
        {"--name-format", "PATTERN",
         "Name saved files after PATTERN: {number} (default), {compact}, {country}, {kind}, "
         "{title}, {date}, {applicant}; made safe for every file system",
         "Name saved files after _PATTERN_ instead of the number: *{number}* (the\n"
         "default, today's name), *{compact}*, *{country}*, *{kind}*, *{title}*,\n"
         "*{date}*, *{applicant}* and any text; e.g. \"{compact} {title}\". The\n"
         "bibliographic fields need *--biblio* data. The name is cut to 120\n"
         "characters, German letters are spelt out (ä -> ae), and path\n"
         "separators, control characters and < > : \" | ? \\* become \"\\_\";\n"
         "reserved device names (CON, NUL, COM1, ...) get a \"\\_\" in front. A\n"
         "run still never replaces a file it saved earlier. *--skip-existing*\n"
         "looks for the number's own name.",
         Complete::Nothing},
        {"--wait", "SECONDS", "Seconds between two requests to the server (0 to 60)",
         "Keep at least this long between two requests to the server (0 to 60).",
         Complete::Nothing},
        {"--retries", "N",
         "Further tries (0 to 10) after a connection failure, a server error or a cut-off "
         "answer, with growing waits",
         "Try a request again up to _N_ times (0 to 10) after a connection failure,\n"
         "a server error (5xx) or an answer cut short, waiting 1, 2, 4 ... seconds\n"
         "(at most 30); never after an answer such as \"no match\".",
         Complete::Nothing},
        {"--version", "", "Print the version and exit", "", Complete::Nothing},
        {"-h,--help", "", "Print this help and exit",
         "Print the options, exit codes and environment variables, and exit.", Complete::Nothing},
    };
}

std::vector<EnvDoc> Environment() {
    std::vector<EnvDoc> env = docs::SourceEnvironment();
    env.push_back({"http_proxy, https_proxy, no_proxy",
                   "proxy settings as curl reads them, when --proxy is not given",
                   "Proxy settings, read as curl(1) reads them, when *--proxy* is not given."});
    env.push_back({kMergeProgramVariable,
                   "program that joins the pages, with pdftk's command line, instead of the "
                   "built-in merge",
                   "A program with pdftk's command line (\"PAGE... cat output FILE\n"
                   "dont_ask\") that joins the pages instead of the built-in merge."});
    env.push_back(
        {"XDG_CONFIG_HOME", "where the settings file is looked for (default ~/.config)", ""});
    return env;
}

}  // namespace

const docs::ProgramDocs& CliDocs() {
    static const docs::ProgramDocs docs{"kestrane-cli", Options(), Environment()};
    return docs;
}

}  // namespace kestrane::cli
