// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SourceList.h"

#include <algorithm>

#include "client/ClientContext.h"
#include "client/OpsSession.h"
#include "client/OpsSource.h"

namespace kestrane::app {

namespace {

std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto it = values.find(key);
    return it != values.end() ? it->second : std::string();
}

std::string TestOps(const std::map<std::string, std::string>& values,
                    const std::atomic<bool>& abort) {
    OpsConfig config;
    config.Base = DefaultOpsBase();
    config.Key = Value(values, "ops.key");
    config.Secret = Value(values, "ops.secret");
    ClientContext ctx;
    ctx.Abort = &abort;
    OpsSession session(config);
    const Failure failure = session.EnsureToken(ctx, {});
    if (!failure)
        return "Connected: EPO OPS issued an access token.";
    std::string text = OpsFailureText(failure, "");
    text.erase(0, text.find_first_not_of(' '));
    return "Failed: " + text;
}

std::vector<SourceView> MakeSources() {
    std::vector<SourceView> sources;
    sources.push_back({"classic",
                       "Publication server (classic)",
                       "The publication server's old interface, for mirrors and the stand-in.",
                       "",
                       {},
                       {}});
    sources.push_back({"ops",
                       "EPO Open Patent Services",
                       "A free registration with the EPO (key and secret by e-mail).",
                       "https://developers.epo.org/",
                       {{"ops.key", "OPS consumer key", false, "KESTRANE_OPS_KEY"},
                        {"ops.secret", "OPS consumer secret", true, "KESTRANE_OPS_SECRET"}},
                       TestOps});
    return sources;
}

}  // namespace

const std::vector<SourceView>& WindowSources() {
    static const std::vector<SourceView> sources = MakeSources();
    return sources;
}

const SourceView* FindWindowSource(const std::string& id) {
    const auto& sources = WindowSources();
    const auto it = std::find_if(sources.begin(), sources.end(),
                                 [&](const SourceView& s) { return s.Id == id; });
    return it != sources.end() ? &*it : nullptr;
}

}  // namespace kestrane::app
