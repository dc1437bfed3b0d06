// SPDX-License-Identifier: GPL-3.0-or-later
// The window's download options, kept in the settings file under [run]:
//
//   continue=1        keep unfinished documents' pages and resume them
//   report=1          write report.csv beside dl.log
//   biblio=1          read bibliographic data where the source has it
//   name-format=...   the names documents are saved under
//
// Unset, "0" or anything but "1" is off; a missing or unusable name format
// keeps today's names. Without any of them a run behaves as it always did.
#pragma once

#include <string>

#include "client/Settings.h"
#include "run/RunController.h"

namespace kestrane {

inline constexpr const char* kContinueKey = "run.continue";
inline constexpr const char* kReportKey = "run.report";
inline constexpr const char* kBiblioKey = "run.biblio";
inline constexpr const char* kNameFormatKey = "run.name-format";

struct DownloadSettings {
    bool Resume = false;
    bool ReportBesideLog = false;
    bool Biblio = false;
    std::string NameFormat;  // as written; "" for today's names

    static DownloadSettings From(const Settings& settings);
    void To(Settings& settings) const;
    // Into the run's options; false with error set when the name format is
    // refused (the options then keep today's names).
    bool ApplyTo(DownloadChoices& choices, std::string& error) const;
};

}  // namespace kestrane
