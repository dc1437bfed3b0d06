// SPDX-License-Identifier: GPL-3.0-or-later
// Every source a run can take its documents from, one table entry each. The
// front ends (the CLI's --source, the Settings dialog, the help texts) and
// the settings file read this table and never spell a source's id.
//
// Adding a source: a folder client/sources/<id>/ holding its Source, one
// entry in All() (Registry.cpp), and its files in client/CMakeLists.txt.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/Failure.h"
#include "client/Settings.h"
#include "client/Source.h"

namespace kestrane::sources {

// One value a source needs: "[<id>] <Key>=" in the settings file; EnvVar,
// when set and not empty, overrides the file.
struct SettingKey {
    std::string_view Key;     // "key"
    std::string_view Label;   // the Settings dialog's row label
    bool Secret = false;      // masked in the dialog; never printed or logged
    std::string_view EnvVar;  // "KESTRANE_OPS_KEY"; may be empty
};

// A source's configuration as resolved for one run (environment, then file).
struct SourceConfig {
    std::string Base;  // BaseEnv when set, else DefaultBase; no trailing "/"
    std::map<std::string, std::string, std::less<>> Values;  // Key -> value; may hold secrets
    // The longest wait an item may sit out (the watchdog's period).
    std::chrono::milliseconds MaxWait{120000};
    // "" when not set.
    [[nodiscard]] std::string Value(std::string_view key) const;
};

// Builds the Source of each worker of one run (RunOptions::MakeSource).
using SourceMaker = std::function<std::unique_ptr<Source>()>;

// How a source keeps a document that does not finish, for a later run to go on.
enum class Keeps {
    Nothing,
    Pages,        // each page that came, fetched page by page
    WholeDocPart  // the part of its one file that came; the rest by an HTTP Range request
};

struct SourceEntry {
    std::string_view Id;        // "classic", "ops": --source, [run] source=
    std::string_view Label;     // "EPO Open Patent Services"
    std::string_view Name;      // short, inside sentences: "EPO OPS"
    std::string_view Summary;   // --source's choice text: "EPO Open Patent Services"
    std::string_view Needs;     // one line for a chooser: what the user needs
    std::string_view Requires;  // ends "The <Name> source needs ...": "a consumer key and secret"
    std::string_view Link;      // registration or information page; may be empty
    std::string_view Help;      // a paragraph for --help and the man page
    std::string_view BaseEnv;   // "KESTRANE_OPS_BASE"; may be empty
    std::string_view DefaultBase;
    std::vector<SettingKey> Keys;  // every one is needed for a run
    // The per-worker Source of one run; every Source it makes shares the
    // run's state of this source (a session, a token).
    SourceMaker (*Make)(const SourceConfig& config) = nullptr;
    // A blocking check of the configuration against the service, for a
    // thread other than the window's; abort (may be null) ends it early.
    // Null: the source has nothing to test.
    Failure (*Test)(const SourceConfig& config, const std::atomic<bool>* abort) = nullptr;
    // The file name (without ".pdf") a number is saved under, number as
    // searched; null: the number itself. Two numbers of a list with one name
    // are one number.
    std::string (*OutputName)(const std::string& number) = nullptr;
    Keeps Resume = Keeps::Nothing;
    // Where the source has bibliographic data, how, said after its Name
    // inside a sentence ("reads them from the page it fetches anyway");
    // empty: it has none.
    std::string_view Biblio;
    bool BiblioCostsRequest = false;  // each number asks one request more for them
    std::string_view Testing;         // shown while Test runs
    std::string_view TestPassed;      // shown after "Connected: " when Test succeeded
};

// Every source, the default (the one a run uses when nothing chooses) first.
const std::vector<SourceEntry>& All();
// The entry of id, or null.
const SourceEntry* Find(std::string_view id);
// The entry of id, or the default one for "" and ids no source has.
const SourceEntry& FindOrDefault(std::string_view id);

// The settings file's key for the chosen source ("run.source").
inline constexpr const char* kSourceSetting = "run.source";
// The settings file's name of one of entry's keys ("ops.key").
std::string SettingName(const SourceEntry& entry, const SettingKey& key);

// True when the environment holds every key of entry, so the settings file
// need not be read for them.
[[nodiscard]] bool EnvironmentComplete(const SourceEntry& entry);
// entry's configuration: each key from its environment variable, else from
// file (may be null: the file was not read); the base from BaseEnv, else the default.
[[nodiscard]] SourceConfig Resolve(const SourceEntry& entry, const Settings* file,
                                   std::chrono::milliseconds maxWait);
// The keys config lacks (empty: the source can run).
[[nodiscard]] std::vector<const SettingKey*> MissingKeys(const SourceEntry& entry,
                                                         const SourceConfig& config);

// Where the refusal of a source without its keys points the user.
enum class Remedy { CommandLine, Window };
// "The EPO OPS source needs a consumer key and secret: ..." with the way to
// give them from the command line or the window; settingsPath is the file.
[[nodiscard]] std::string NeedsText(const SourceEntry& entry, const std::string& settingsPath,
                                    Remedy remedy);

// "A and B", "A, B and C": the Names of the entries that pass pick.
[[nodiscard]] std::string NamesWhere(bool (*pick)(const SourceEntry&));
// "EPO OPS: one request more per number": the sources whose bibliographic
// data costs a request, each with `more`; "" when none.
[[nodiscard]] std::string BiblioCostText(std::string_view more);

// "classic (the publication server, default) or ops (EPO Open Patent Services)".
[[nodiscard]] std::string ChoicesText();

}  // namespace kestrane::sources
