// SPDX-License-Identifier: GPL-3.0-or-later
// Which source a kestrane-cli run uses, and the EPO OPS credentials for it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "client/Source.h"

namespace kestrane::cli {

struct SourceChoice {
    bool Ok = false;
    std::string Message;  // why the input is refused, when !Ok
    std::string Name;     // "classic", "ops", "dpma" or "google"
    // For RunOptions::MakeSource; empty for the publication server.
    std::function<std::unique_ptr<Source>()> MakeSource;
};

// requested: --source as given ("" when absent: the settings file decides,
// else classic). Credentials come from the environment (KESTRANE_OPS_KEY /
// KESTRANE_OPS_SECRET, KESTRANE_DPMA_USER / KESTRANE_DPMA_PASSWORD), else from
// the settings file; wait is --wait (Google Patents keeps at least 4 s).
// Sends nothing and creates nothing.
SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod,
                          std::chrono::milliseconds wait);

}  // namespace kestrane::cli
