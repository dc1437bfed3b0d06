// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScriptOptions.h"

#include <cmath>

namespace kestrane::cli {

void AddScriptOptions(CLI::App& app, ScriptOptions& options) {
    auto* quiet = app.add_flag("-q,--quiet", options.quiet, "Print nothing but errors");
    app.add_flag("-v,--verbose", options.verbose,
                 "Also print every request's address (on standard error)")
        ->excludes(quiet);
    app.add_flag("--batch", options.batch,
                 "Take lists of up to 100000 numbers, in consecutive runs of at most 20");
    app.add_flag("--normalize", options.normalize,
                 "Search for numbers upper-cased, without blanks and - / _ . "
                 "(dl.log keeps them as typed)");
    app.add_flag("--skip-existing", options.skipExisting,
                 "Do not fetch a document whose PDF is already in the save folder");
    // Bounded above: a server that needs a longer wait is better not asked at all.
    app.add_option("--wait", options.waitSeconds, "Seconds between two requests to the server")
        ->check(CLI::Range(0.0, 60.0));
    app.add_option("--retries", options.retries,
                   "Further tries after a connection failure, a server error or a cut-off "
                   "answer, with growing waits")
        ->check(CLI::Range(0, 10));
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
    return true;
}

}  // namespace kestrane::cli
