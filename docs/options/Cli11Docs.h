// SPDX-License-Identifier: GPL-3.0-or-later
// A CLI11 parser whose options come from a program's option table, and whose
// --help prints the table's texts for what the parser really takes (so no
// parser notation such as "FLOAT in [0 - 60]" reaches the user).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "docs/options/OptionDocs.h"

namespace kestrane::docs {

// Adds the option of docs named name ("--output") bound to value: a flag when
// the table gives it no value. An option missing from the table is still
// added, undescribed, so the help shows the gap (and the docs test fails).
template <typename T>
CLI::Option* AddOption(CLI::App& app, const ProgramDocs& docs, const std::string& name, T& value) {
    const OptionDoc* doc = FindOption(docs, name);
    const std::string names = doc != nullptr ? doc->Names : name;
    const std::string help = doc != nullptr ? doc->Help : "";
    if (doc != nullptr && doc->Value.empty())
        return app.add_flag(names, value, help);
    return app.add_option(names, value, help);
}

// docs with the options that app takes, in the table's order: a table entry
// that app lacks is left out, an option the table lacks comes last with its bare names.
inline ProgramDocs AsParsed(const ProgramDocs& docs, const CLI::App& app) {
    ProgramDocs parsed{docs.Program, {}, docs.Environment};
    std::vector<OptionDoc> undescribed;
    for (const OptionDoc& doc : docs.Options) {
        const std::string first = doc.Names.substr(0, doc.Names.find(','));
        if (app.get_option_no_throw(first) != nullptr)
            parsed.Options.push_back(doc);
    }
    for (const CLI::Option* option : app.get_options()) {
        std::string names;
        for (const std::string& s : option->get_snames()) names += (names.empty() ? "-" : ",-") + s;
        for (const std::string& l : option->get_lnames())
            names += (names.empty() ? "--" : ",--") + l;
        // The positional arguments have no names.
        if (!names.empty() && FindOption(docs, names.substr(0, names.find(','))) == nullptr)
            undescribed.emplace_back(names, "", "");
    }
    parsed.Options.insert(parsed.Options.end(), undescribed.begin(), undescribed.end());
    return parsed;
}

// Makes app's --help print help(the options app takes) instead of CLI11's own text.
inline void UseHelpText(CLI::App& app, const ProgramDocs& docs,
                        std::function<std::string(const ProgramDocs&)> help) {
    app.formatter_fn(
        [&docs, help = std::move(help)](const CLI::App* parsed, std::string, CLI::AppFormatMode) {
            return help(AsParsed(docs, *parsed));
        });
}

}  // namespace kestrane::docs
