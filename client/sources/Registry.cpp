// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/Registry.h"

#include <cstdlib>

namespace kestrane::sources {

// Each source's entry, defined in its own folder (<id>/<Name>Entry.cpp).
SourceEntry ClassicEntry();
SourceEntry OpsEntry();
SourceEntry DpmaEntry();
SourceEntry GoogleEntry();

namespace {

std::string Env(std::string_view name) {
    if (name.empty())
        return {};
    const char* value = std::getenv(std::string(name).c_str());
    return value != nullptr ? value : "";
}

// "a", "a and b", "a, b and c".
std::string JoinWithAnd(const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += i + 1 == parts.size() ? " and " : ", ";
        out += parts[i];
    }
    return out;
}

std::vector<SourceEntry> MakeTable() {
    std::vector<SourceEntry> table;
    table.push_back(ClassicEntry());
    table.push_back(OpsEntry());
    table.push_back(DpmaEntry());
    table.push_back(GoogleEntry());
    return table;
}

}  // namespace

std::string SourceConfig::Value(std::string_view key) const {
    const auto it = Values.find(key);
    return it == Values.end() ? std::string() : it->second;
}

const std::vector<SourceEntry>& All() {
    static const std::vector<SourceEntry> table = MakeTable();
    return table;
}

const SourceEntry* Find(std::string_view id) {
    for (const SourceEntry& entry : All()) {
        if (entry.Id == id)
            return &entry;
    }
    return nullptr;
}

const SourceEntry& FindOrDefault(std::string_view id) {
    const SourceEntry* entry = Find(id);
    return entry != nullptr ? *entry : All().front();
}

std::string SettingName(const SourceEntry& entry, const SettingKey& key) {
    return std::string(entry.Id) + "." + std::string(key.Key);
}

bool EnvironmentComplete(const SourceEntry& entry) {
    for (const SettingKey& key : entry.Keys) {
        if (Env(key.EnvVar).empty())
            return false;
    }
    return true;
}

SourceConfig Resolve(const SourceEntry& entry, const Settings* file,
                     std::chrono::milliseconds maxWait) {
    SourceConfig config;
    config.MaxWait = maxWait;
    config.Base = Env(entry.BaseEnv);
    if (config.Base.empty())
        config.Base = entry.DefaultBase;
    while (!config.Base.empty() && config.Base.back() == '/') config.Base.pop_back();
    for (const SettingKey& key : entry.Keys) {
        std::string value = Env(key.EnvVar);
        if (value.empty() && file != nullptr)
            value = file->Get(SettingName(entry, key));
        config.Values[std::string(key.Key)] = std::move(value);
    }
    return config;
}

std::vector<const SettingKey*> MissingKeys(const SourceEntry& entry, const SourceConfig& config) {
    std::vector<const SettingKey*> missing;
    for (const SettingKey& key : entry.Keys) {
        if (config.Value(key.Key).empty())
            missing.push_back(&key);
    }
    return missing;
}

std::string NeedsText(const SourceEntry& entry, const std::string& settingsPath, Remedy remedy) {
    std::string text =
        "The " + std::string(entry.Name) + " source needs " + std::string(entry.Requires) + ": ";
    if (remedy == Remedy::Window)
        return text + "enter them under Settings... (or in " + settingsPath + ").";
    std::vector<std::string> vars;
    std::vector<std::string> keys;
    for (const SettingKey& key : entry.Keys) {
        if (!key.EnvVar.empty())
            vars.emplace_back(key.EnvVar);
        keys.push_back(std::string(key.Key) + "=");
    }
    if (!vars.empty())
        text += "set " + JoinWithAnd(vars) + ", or ";
    return text + "put " + JoinWithAnd(keys) + " under [" + std::string(entry.Id) + "] in " +
           settingsPath + " (mode 0600), e.g. through the window's Settings dialog.";
}

namespace {

// "a", "a and b", "a, b and c" (with `last` for "and").
std::string JoinList(const std::vector<std::string>& items, std::string_view last) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out.append(i + 1 == items.size() ? last : ", ");
        out += items[i];
    }
    return out;
}

}  // namespace

std::string ChoicesText() {
    std::vector<std::string> choices;
    for (const SourceEntry& entry : All()) {
        std::string choice = std::string(entry.Id) + " (" + std::string(entry.Summary);
        if (&entry == &All().front())
            choice += ", default";
        choices.push_back(choice + ")");
    }
    return JoinList(choices, " or ");
}

std::string NamesWhere(bool (*pick)(const SourceEntry&)) {
    std::vector<std::string> names;
    for (const SourceEntry& entry : All()) {
        if (pick(entry))
            names.emplace_back(entry.Name);
    }
    return JoinList(names, " and ");
}

std::string BiblioCostText(std::string_view more) {
    std::vector<std::string> costs;
    for (const SourceEntry& entry : All()) {
        if (entry.BiblioCostsRequest)
            costs.push_back(std::string(entry.Name) + ": " + std::string(more));
    }
    return JoinList(costs, "; ");
}

}  // namespace kestrane::sources
