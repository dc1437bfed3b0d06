// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScriptOptions.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "run/Report.h"

namespace kestrane::cli {

void AddScriptOptions(CLI::App& app, ScriptOptions& options) {
    auto* quiet = app.add_flag("-q,--quiet", options.quiet, "Print nothing but errors");
    app.add_flag("-v,--verbose", options.verbose,
                 "Also print every request's address (on standard error)")
        ->excludes(quiet);
    app.add_flag("--batch", options.batch,
                 "Take lists of any length, in consecutive runs of at most 20 numbers");
    app.add_flag("--normalize", options.normalize,
                 "Search for numbers upper-cased, without blanks and - / _ . "
                 "(dl.log keeps them as typed)");
    app.add_flag("--skip-existing", options.skipExisting,
                 "Do not fetch a document whose PDF is already in the save folder");
    // Bounded above: a wait longer than the watchdog's two periods would stall every item.
    app.add_option("--wait", options.waitSeconds, "Seconds between two requests to the server")
        ->check(CLI::Range(0.0, 60.0));
    app.add_option("--retries", options.retries,
                   "Further tries after a connection failure, a server error or a cut-off "
                   "answer, with growing waits")
        ->check(CLI::Range(0, 10));
    app.add_flag("--continue", options.resume,
                 "Keep the pages of a document that does not finish (in the save folder's "
                 ".kestrane/partial/) and fetch only the missing ones in a later run with "
                 "--continue");
    app.add_option("--report", options.reportPath,
                   "Append one row per number to FILE as it is decided: CSV when FILE ends in "
                   ".csv, JSON lines when it ends in .jsonl");
    app.add_flag("--biblio", options.biblio,
                 "Read each number's title, applicants, inventors, date and IPC classes where "
                 "the source has them (EPO OPS: one request more per number), for the report "
                 "and the saved PDF's document information");
    app.add_option("--name-format", options.nameFormat,
                   "Name saved files after PATTERN: {number} (default), {compact}, {country}, "
                   "{kind}, {title}, {date}, {applicant}; made safe for every file system");
}

bool ApplyScriptOptions(const ScriptOptions& script, RunOptions& run, std::string& message) {
    // NaN slips through a range check.
    if (!std::isfinite(script.waitSeconds)) {
        message = "--wait: a number of seconds is needed.";
        return false;
    }
    run.Requests.Gap = std::chrono::milliseconds(std::llround(script.waitSeconds * 1000.0));
    run.Requests.Retries = script.retries;
    run.NormalizeNumbers = script.normalize;
    run.SkipExisting = script.skipExisting;
    run.Choices.Resume = script.resume;
    run.Choices.Biblio = script.biblio;
    if (!script.reportPath.empty()) {
        if (!ReportFormatFor(script.reportPath)) {
            message = "--report: the file name must end in .csv or .jsonl.";
            return false;
        }
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(script.reportPath, ec);
        run.ReportPath = ec ? script.reportPath : absolute.string();
    }
    if (!script.nameFormat.empty()) {
        std::string error;
        const auto format = NameFormat::Parse(script.nameFormat, error);
        if (!format) {
            message = "--name-format: " + error;
            return false;
        }
        run.Choices.Names = *format;
    }
    return true;
}

}  // namespace kestrane::cli
