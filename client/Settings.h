// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file, $XDG_CONFIG_HOME/kestrane/kestrane.conf: which source a
// run uses, each source's keys (client/sources/Registry.h) and the merge
// program. INI text:
//
//   [run]
//   source=ops
//   [ops]
//   key=...
//   secret=...
//   [merge]
//   program=pdftk
//
// It holds a secret, so it is written with mode 0600 and refused when others
// may read it. Keys it does not know are kept as they are.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace kestrane {

class Settings {
  public:
    // "section.key" -> value; "" when not set.
    std::string Get(const std::string& sectionKey) const;
    void Set(const std::string& sectionKey, const std::string& value);
    // As the file has it: a section name may itself hold a dot ("[a.b]"),
    // which "section.key" could not tell apart; kept so that it is written back as read.
    void SetIn(const std::string& section, const std::string& key, const std::string& value) {
        sections_[section][key] = value;
    }

    std::string Source() const { return Get("run.source"); }  // a source's registry id, or ""
    std::string MergeProgram() const { return Get("merge.program"); }

    const std::map<std::string, std::map<std::string, std::string>>& Sections() const {
        return sections_;
    }

  private:
    std::map<std::string, std::map<std::string, std::string>> sections_;
};

// $XDG_CONFIG_HOME/kestrane/kestrane.conf, else ~/.config/kestrane/kestrane.conf.
std::string SettingsPath();

struct SettingsLoad {
    bool Ok = false;
    // Empty when the file does not exist. When others may read the file the
    // values are there but must not be used (only kept when it is rewritten).
    Settings Values;
    std::string Error;  // what the user should do, when !Ok
};

// The values of a settings file's text; lines that are no "key=value" or
// "[section]" are skipped.
Settings ParseSettingsText(std::string_view text);

// The file's text for settings (values are written as they stand).
std::string SettingsText(const Settings& settings);

// A missing file is fine (no settings); a file others may read is refused, and
// so is anything but a regular file (without waiting on it).
SettingsLoad LoadSettings(const std::string& path);

// The settings file's [merge] program= value (for ChooseMergeProgram); "" when
// it is unset or the file is not used.
std::string MergeProgramSetting();

// Writes through a temporary file (mode 0600 from the start) and a rename;
// creates the folder (0700) when it is missing; an existing one is left
// alone. "" on success, else what went wrong.
std::string SaveSettings(const std::string& path, const Settings& settings);

}  // namespace kestrane
