// SPDX-License-Identifier: GPL-3.0-or-later
// The DPMAconnectPlus source's registry entry.
#include "client/sources/Registry.h"
#include "client/sources/dpma/DpmaSource.h"

namespace kestrane::sources {

namespace {

DpmaConfig ToDpmaConfig(const SourceConfig& config) {
    DpmaConfig dpma;
    dpma.Base = config.Base;
    dpma.User = config.Value("user");
    dpma.Password = config.Value("password");
    return dpma;
}

SourceMaker MakeDpma(const SourceConfig& config) {
    return DpmaSourceMaker(ToDpmaConfig(config));
}

Failure TestDpma(const SourceConfig& config, const std::atomic<bool>* abort) {
    return TestDpmaConnection(ToDpmaConfig(config), abort);
}

}  // namespace

SourceEntry DpmaEntry() {
    SourceEntry e;
    e.Id = "dpma";
    e.Label = "DPMAconnectPlus";
    e.Name = "DPMAconnectPlus";
    e.Summary = "the DPMA's DPMAconnectPlus";
    e.Needs = "A DPMAconnectPlus contract with the DPMA: user name, password, registered address.";
    e.Requires = "the user name and password of your DPMA contract";
    e.Link = "https://www.dpma.de/english/search/data_supply_services/dpmaconnect/index.html";
    e.Help =
        "DPMAconnectPlus: each publication as one whole PDF from the German office's own "
        "interface. Needs a signed DPMA contract (one-time fee), its user name and password, "
        "and runs only from the fixed IP address registered with the DPMA.";
    e.BaseEnv = "KESTRANE_DPMA_BASE";
    e.DefaultBase = kDpmaDefaultBase;
    e.Keys = {{"user", "DPMA user name", false, "KESTRANE_DPMA_USER"},
              {"password", "DPMA password", true, "KESTRANE_DPMA_PASSWORD"}};
    e.Make = &MakeDpma;
    e.Test = &TestDpma;
    e.Resume = Keeps::WholeDocPart;
    e.Testing = "Asking DPMAconnectPlus for its version...";
    e.TestPassed = "DPMAconnectPlus accepted the user name and password.";
    return e;
}

}  // namespace kestrane::sources
