// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/SourceChoice.h"

#include "client/Settings.h"
#include "client/sources/Registry.h"

namespace kestrane::cli {

SourceChoice ChooseSource(const std::string& requested, std::chrono::milliseconds watchdogPeriod) {
    SourceChoice choice;
    const sources::SourceEntry* entry = requested.empty() ? nullptr : sources::Find(requested);
    if (!requested.empty() && entry == nullptr) {
        choice.Message = "--source: no source is called " + requested + ".";
        return choice;
    }
    // The file is read only when it has something to decide.
    SettingsLoad settings;
    const std::string path = SettingsPath();
    const bool readFile = entry == nullptr || !sources::EnvironmentComplete(*entry);
    if (readFile) {
        settings = LoadSettings(path);
        if (!settings.Ok) {
            choice.Message = settings.Error;
            return choice;
        }
        if (entry == nullptr)
            entry = &sources::FindOrDefault(settings.Values.Source());
    }
    const sources::SourceConfig config =
        sources::Resolve(*entry, readFile ? &settings.Values : nullptr, watchdogPeriod);
    if (!sources::MissingKeys(*entry, config).empty()) {
        choice.Message = sources::NeedsText(*entry, path, sources::Remedy::CommandLine);
        return choice;
    }
    choice.Name = std::string(entry->Id);
    choice.MakeSource = entry->Make(config);
    choice.Ok = true;
    return choice;
}

}  // namespace kestrane::cli
