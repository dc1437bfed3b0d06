// SPDX-License-Identifier: GPL-3.0-or-later
// The sources a user can choose in the window, as the Settings dialog and the
// first-run chooser show them: what each needs, where to get it, its fields
// in the settings file and its connection test.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestrane::app {

struct SourceField {
    std::string SettingsKey;  // "section.key" in the settings file
    std::string Label;        // the field's label
    bool Secret = false;      // shown as dots, never echoed
    std::string EnvVar;       // a variable that supplies it instead, or ""
};

// A connection test: off the GUI thread, with the fields as typed (by
// settings key); returns what to show, "Connected: ..." or "Failed: ...".
// abort ends it early (the dialog is closing).
using ConnectionTest = std::function<std::string(const std::map<std::string, std::string>& values,
                                                 const std::atomic<bool>& abort)>;

struct SourceView {
    std::string Id;     // the [run] source= value
    std::string Label;  // what the window calls it
    std::string Needs;  // one line on what the user needs
    std::string Link;   // registration or information page, or ""
    std::vector<SourceField> Fields;
    ConnectionTest Test;  // empty: nothing to test
};

// Every source, in the order the window offers them.
const std::vector<SourceView>& WindowSources();

// The source with this id, or nullptr.
const SourceView* FindWindowSource(const std::string& id);

}  // namespace kestrane::app
