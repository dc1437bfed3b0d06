// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScriptOptions.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "docs/options/Cli11Docs.h"
#include "run/Report.h"

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
    docs::AddOption(app, table, "--continue", options.resume);
    docs::AddOption(app, table, "--report", options.reportPath);
    docs::AddOption(app, table, "--biblio", options.biblio);
    docs::AddOption(app, table, "--name-format", options.nameFormat);
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
