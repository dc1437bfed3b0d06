// SPDX-License-Identifier: GPL-3.0-or-later
// Which source a kestrane-cli run uses, and its configuration (the source registry's entry).
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
    std::string Name;     // the source's registry id
    // For RunOptions::MakeSource.
    std::function<std::unique_ptr<Source>()> MakeSource;
};

// requested: --source as given ("" when absent: the settings file decides,
// else the default source). Each of the source's keys comes from its
// environment variable, else from the settings file. Sends nothing and creates nothing.
SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod);

}  // namespace kestrane::cli
