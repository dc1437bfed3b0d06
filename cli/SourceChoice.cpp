// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/SourceChoice.h"

#include <cstdlib>

#include "client/OpsSource.h"
#include "client/Settings.h"

namespace kestrane::cli {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod) {
    SourceChoice choice;
    if (requested == "classic") {
        choice.Ok = true;
        choice.Name = "classic";
        return choice;
    }
    std::string key = Env("KESTRANE_OPS_KEY");
    std::string secret = Env("KESTRANE_OPS_SECRET");
    const bool fromEnvironment = !key.empty() && !secret.empty();
    // The file is read only when it has something to decide.
    if (requested.empty() || !fromEnvironment) {
        const std::string path = SettingsPath();
        const SettingsLoad settings = LoadSettings(path);
        if (!settings.Ok) {
            choice.Message = settings.Error;
            return choice;
        }
        choice.Name = requested.empty() ? settings.Values.Source() : requested;
        if (!fromEnvironment) {
            key = settings.Values.OpsKey();
            secret = settings.Values.OpsSecret();
        }
        if (choice.Name == "ops" && (key.empty() || secret.empty())) {
            choice.Message =
                "The EPO OPS source needs a consumer key and secret: set KESTRANE_OPS_KEY and "
                "KESTRANE_OPS_SECRET, or put key= and secret= under [ops] in " +
                path + " (mode 0600), e.g. through the window's Settings dialog.";
            return choice;
        }
    } else {
        choice.Name = requested;
    }
    if (choice.Name != "ops") {
        choice.Ok = true;
        choice.Name = "classic";
        return choice;
    }
    OpsConfig config;
    config.Base = DefaultOpsBase();
    config.Key = key;
    config.Secret = secret;
    config.MaxWait = watchdogPeriod;
    choice.MakeSource = OpsSourceMaker(std::move(config));
    choice.Ok = true;
    return choice;
}

}  // namespace kestrane::cli
