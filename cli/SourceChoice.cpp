// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/SourceChoice.h"

#include <cstdlib>
#include <optional>

#include "client/OpsSource.h"
#include "client/Settings.h"
#include "client/sources/dpma/DpmaSource.h"
#include "client/sources/google/GoogleSource.h"

namespace kestrane::cli {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Two credentials of a source: from the environment when both are set there, else from the file.
struct Credentials {
    const char* firstEnv;
    const char* secondEnv;
    const char* firstKey;   // "ops.key"
    const char* secondKey;  // "ops.secret"
    const char* refusal;    // what is missing, before the ways to give it
};

const Credentials* CredentialsOf(const std::string& source) {
    static const Credentials ops{"KESTRANE_OPS_KEY", "KESTRANE_OPS_SECRET", "ops.key", "ops.secret",
                                 "The EPO OPS source needs a consumer key and secret"};
    static const Credentials dpma{
        "KESTRANE_DPMA_USER", "KESTRANE_DPMA_PASSWORD", "dpma.user", "dpma.password",
        "The DPMAconnectPlus source needs the user name and password of your DPMA contract"};
    if (source == "ops")
        return &ops;
    if (source == "dpma")
        return &dpma;
    return nullptr;
}

std::string Refusal(const Credentials& c, const std::string& path) {
    auto key = [](const char* sectionKey) {
        return std::string(sectionKey).substr(std::string(sectionKey).find('.') + 1) + "=";
    };
    const std::string section =
        std::string(c.firstKey).substr(0, std::string(c.firstKey).find('.'));
    return std::string(c.refusal) + ": set " + c.firstEnv + " and " + c.secondEnv + ", or put " +
           key(c.firstKey) + " and " + key(c.secondKey) + " under [" + section + "] in " + path +
           " (mode 0600), e.g. through the window's Settings dialog.";
}

std::string BaseFrom(const char* variable, const std::string& fallback) {
    std::string base = Env(variable);
    if (base.empty())
        base = fallback;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

}  // namespace

SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod,
                          std::chrono::milliseconds wait) {
    SourceChoice choice;
    if (requested == "classic") {
        choice.Ok = true;
        choice.Name = "classic";
        return choice;
    }
    const Credentials* needs = CredentialsOf(requested);
    std::string first = needs ? Env(needs->firstEnv) : "";
    std::string second = needs ? Env(needs->secondEnv) : "";
    const bool fromEnvironment = !first.empty() && !second.empty();
    choice.Name = requested;
    // The file is read only when it has something to decide.
    if (requested.empty() || (needs != nullptr && !fromEnvironment)) {
        const std::string path = SettingsPath();
        const SettingsLoad settings = LoadSettings(path);
        if (!settings.Ok) {
            choice.Message = settings.Error;
            return choice;
        }
        if (requested.empty()) {
            choice.Name = settings.Values.Source();
            needs = CredentialsOf(choice.Name);
            first = needs ? Env(needs->firstEnv) : "";
            second = needs ? Env(needs->secondEnv) : "";
        }
        if (needs != nullptr && (first.empty() || second.empty())) {
            first = settings.Values.Get(needs->firstKey);
            second = settings.Values.Get(needs->secondKey);
        }
        if (needs != nullptr && (first.empty() || second.empty())) {
            choice.Message = Refusal(*needs, path);
            return choice;
        }
    }
    choice.Ok = true;
    if (choice.Name == "ops") {
        OpsConfig config;
        config.Base = DefaultOpsBase();
        config.Key = first;
        config.Secret = second;
        config.MaxWait = watchdogPeriod;
        choice.MakeSource = OpsSourceMaker(std::move(config));
    } else if (choice.Name == "dpma") {
        DpmaConfig config;
        config.Base = BaseFrom("KESTRANE_DPMA_BASE", kDpmaDefaultBase);
        config.User = first;
        config.Password = second;
        choice.MakeSource = DpmaSourceMaker(std::move(config));
    } else if (choice.Name == "google") {
        GoogleConfig config;
        config.Base = BaseFrom("KESTRANE_GOOGLE_BASE", config.Base);
        config.Wait = wait;
        choice.MakeSource = GoogleSourceMaker(std::move(config));
    } else {
        choice.Name = "classic";
    }
    return choice;
}

}  // namespace kestrane::cli
