// SPDX-License-Identifier: GPL-3.0-or-later
// The options that make kestrane-cli fit scripts and long lists. Each one is
// opt-in: without them a run behaves as the window's.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "cli/Output.h"
#include "docs/options/OptionDocs.h"
#include "run/RunController.h"

namespace kestrane::cli {

struct ScriptOptions {
    bool quiet = false;
    bool verbose = false;
    bool batch = false;
    bool normalize = false;
    bool skipExisting = false;
    double waitSeconds = 0.0;
    int retries = -1;        // -1 when not given: each source keeps its own number
    bool resume = false;     // --continue
    std::string reportPath;  // --report FILE; "" for none
    bool biblio = false;     // --biblio
    std::string nameFormat;  // --name-format PATTERN; "" keeps today's names

    [[nodiscard]] Verbosity Level() const {
        return quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    }
};

// Adds them to app with their texts from table (cli/CliDocs.h).
void AddScriptOptions(CLI::App& app, const docs::ProgramDocs& table, ScriptOptions& options);

// Into the run's options; false with a message for a value no range check catches.
[[nodiscard]] bool ApplyScriptOptions(const ScriptOptions& script, RunOptions& run,
                                      std::string& message);

}  // namespace kestrane::cli
