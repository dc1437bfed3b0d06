// SPDX-License-Identifier: GPL-3.0-or-later
// The EPO OPS source's registry entry.
#include "client/sources/Registry.h"
#include "client/sources/ops/OpsExchange.h"
#include "client/sources/ops/OpsSource.h"

namespace kestrane::sources {

namespace {

OpsConfig ToOpsConfig(const SourceConfig& config) {
    OpsConfig ops;
    ops.Base = config.Base;
    ops.Key = config.Value("key");
    ops.Secret = config.Value("secret");
    ops.MaxWait = config.MaxWait;
    return ops;
}

SourceMaker MakeOps(const SourceConfig& config) {
    return OpsSourceMaker(ToOpsConfig(config));
}

// Asks for an access token, as the first item of a run would.
Failure TestOps(const SourceConfig& config, const std::atomic<bool>* abort) {
    ClientContext ctx;
    ctx.Abort = abort;
    OpsSession session(ToOpsConfig(config));
    ops::Exchanger exchanger(session, ctx);
    return exchanger.EnsureToken({});
}

}  // namespace

SourceEntry OpsEntry() {
    SourceEntry e;
    e.Id = "ops";
    e.Label = "EPO Open Patent Services";
    e.Name = "EPO OPS";
    e.Summary = "EPO Open Patent Services";
    e.Needs = "A free EPO OPS registration: a consumer key and secret.";
    e.Requires = "a consumer key and secret";
    e.Link = "https://developers.epo.org/";
    e.Help =
        "EPO Open Patent Services: documents page by page from the European Patent "
        "Office, paced as OPS asks. Needs a free registration's consumer key and secret.";
    e.BaseEnv = "KESTRANE_OPS_BASE";
    e.DefaultBase = kOpsDefaultBase;
    e.Keys = {{"key", "OPS consumer key", false, "KESTRANE_OPS_KEY"},
              {"secret", "OPS consumer secret", true, "KESTRANE_OPS_SECRET"}};
    e.Make = &MakeOps;
    e.Test = &TestOps;
    e.OutputName = &OpsOutputName;
    e.Resume = Keeps::Pages;
    e.Biblio = "answers one more request per number (paced apart from the pages)";
    e.BiblioCostsRequest = true;
    e.Testing = "Asking EPO OPS for an access token...";
    e.TestPassed = "EPO OPS issued an access token.";
    return e;
}

}  // namespace kestrane::sources
