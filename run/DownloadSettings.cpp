// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/DownloadSettings.h"

namespace kestrane {

DownloadSettings DownloadSettings::From(const Settings& settings) {
    DownloadSettings d;
    d.Resume = settings.Get(kContinueKey) == "1";
    d.ReportBesideLog = settings.Get(kReportKey) == "1";
    d.Biblio = settings.Get(kBiblioKey) == "1";
    d.NameFormat = settings.Get(kNameFormatKey);
    return d;
}

void DownloadSettings::To(Settings& settings) const {
    settings.Set(kContinueKey, Resume ? "1" : "0");
    settings.Set(kReportKey, ReportBesideLog ? "1" : "0");
    settings.Set(kBiblioKey, Biblio ? "1" : "0");
    settings.Set(kNameFormatKey, NameFormat);
}

bool DownloadSettings::ApplyTo(DownloadChoices& options, std::string& error) const {
    options.Resume = Resume;
    options.ReportBesideLog = ReportBesideLog;
    options.Biblio = Biblio;
    options.Names = {};
    if (NameFormat.empty())
        return true;
    const auto format = NameFormat::Parse(NameFormat, error);
    if (!format)
        return false;
    options.Names = *format;
    return true;
}

}  // namespace kestrane
