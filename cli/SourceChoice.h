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
    std::string Name;     // "classic" or "ops"
    // For RunOptions::MakeSource; empty for the publication server.
    std::function<std::unique_ptr<Source>()> MakeSource;
};

// requested: --source as given ("" when absent: the settings file decides,
// else classic). Credentials come from KESTRANE_OPS_KEY / KESTRANE_OPS_SECRET,
// else from the settings file. Sends nothing and creates nothing.
SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod);

}  // namespace kestrane::cli
