// SPDX-License-Identifier: GPL-3.0-or-later
// The Google Patents source's registry entry.
#include "client/sources/Registry.h"
#include "client/sources/google/GoogleSource.h"
#include "client/sources/google/LinkRule.h"

namespace kestrane::sources {

namespace {

SourceMaker MakeGoogle(const SourceConfig& config) {
    return GoogleSourceMaker(GoogleConfig{config.Base});
}

Failure TestGoogle(const SourceConfig& config, const std::atomic<bool>* abort) {
    return TestGoogleConnection(GoogleConfig{config.Base}, abort);
}

}  // namespace

SourceEntry GoogleEntry() {
    SourceEntry e;
    e.Id = "google";
    e.Label = "Google Patents";
    e.Name = "Google Patents";
    e.Summary = "Google Patents, no account";
    e.Needs = "Nothing. Polite pacing (4 s between requests): for a few documents at a time.";
    e.Requires = "nothing";
    e.Link = "https://patents.google.com/";
    e.Help =
        "Google Patents: each publication's page, then its one PDF; no account. robots.txt is "
        "obeyed, requests to a host come at least 4 s apart (--wait can raise it), and when "
        "Google limits requests from this address the run ends. For a few documents at a time.";
    e.BaseEnv = "KESTRANE_GOOGLE_BASE";
    e.DefaultBase = google::kDefaultBase;
    e.Make = &MakeGoogle;
    e.Test = &TestGoogle;
    e.Resume = Keeps::WholeDocPart;
    e.Biblio = "reads them from the page it fetches anyway";
    e.Testing = "Reading Google Patents' robots.txt...";
    e.TestPassed = "Google Patents answered; its robots.txt is read.";
    return e;
}

}  // namespace kestrane::sources
