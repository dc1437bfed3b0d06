// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScriptOptions.h"

#include <cmath>

#include "docs/options/Cli11Docs.h"

namespace kestrane::cli {

void AddScriptOptions(CLI::App& app, const docs::ProgramDocs& table, ScriptOptions& options) {
    auto* quiet = docs::AddOption(app, table, "--quiet", options.quiet);
    docs::AddOption(app, table, "--verbose", options.verbose)->excludes(quiet);
    docs::AddOption(app, table, "--batch", options.batch);
    docs::AddOption(app, table, "--normalize", options.normalize);
    docs::AddOption(app, table, "--skip-existing", options.skipExisting);
    // Bounded above: a server that needs a longer wait is better not asked at all.
    docs::AddOption(app, table, "--wait", options.waitSeconds)->check(CLI::Range(0.0, 60.0));
    docs::AddOption(app, table, "--retries", options.retries)->check(CLI::Range(0, 10));
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
