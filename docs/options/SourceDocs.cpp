// SPDX-License-Identifier: GPL-3.0-or-later
#include "docs/options/SourceDocs.h"

#include "client/sources/Registry.h"

namespace kestrane::docs {

namespace {

std::string Text(std::string_view text) {
    return std::string(text);
}

}  // namespace

std::vector<std::string> SourceIds() {
    std::vector<std::string> ids;
    for (const sources::SourceEntry& entry : sources::All()) ids.push_back(Text(entry.Id));
    return ids;
}

OptionDoc SourceOption() {
    OptionDoc option("--source", "", "Where documents come from: " + sources::ChoicesText(), "",
                     Complete::Words);
    std::string man =
        "Where the documents come from (default: the settings file's choice, "
        "else *" +
        Text(sources::All().front().Id) + "*):\n";
    for (const sources::SourceEntry& entry : sources::All()) {
        const bool first = option.Words.empty();
        option.Value.append(first ? "" : "|").append(entry.Id);
        option.Words.append(first ? "" : " ").append(entry.Id);
        man.append("*").append(entry.Id).append("* (").append(entry.Label).append("): ");
        man.append(entry.Help).append("\n");
    }
    option.Man = man + "A source's address and keys come from *ENVIRONMENT* or *FILES*.";
    return option;
}

std::vector<EnvDoc> SourceEnvironment() {
    std::vector<EnvDoc> env;
    for (const sources::SourceEntry& entry : sources::All()) {
        const std::string name = Text(entry.Name);
        if (!entry.BaseEnv.empty()) {
            env.push_back({Text(entry.BaseEnv),
                           name + " address (default " + Text(entry.DefaultBase) + ")",
                           "The " + name + " address (default " + Text(entry.DefaultBase) +
                               "): a mirror, or the stand-in\n*kestrane-pubserver*(1)."});
        }
        for (const sources::SettingKey& key : entry.Keys) {
            if (key.EnvVar.empty())
                continue;
            // The dialog's label, which names the source ("OPS consumer key").
            const std::string what = Text(key.Label);
            env.push_back({Text(key.EnvVar), what + " (else the settings file)",
                           what + "; it takes precedence over the settings file." +
                               (key.Secret ? " It is never printed or logged." : "")});
        }
    }
    return env;
}

}  // namespace kestrane::docs
