// SPDX-License-Identifier: GPL-3.0-or-later
#include "docs/options/SourceDocs.h"

#include "client/ClientContext.h"
#include "client/OpsSession.h"

namespace kestrane::docs {

namespace {

// What the help says of one source.
struct SourceDoc {
    std::string Id;
    std::string Summary;  // in the choice list: "EPO Open Patent Services"
    std::string Help;     // a paragraph
    std::string BaseEnv;  // the variable that moves its address
    std::string DefaultBase;
    std::vector<std::pair<std::string, std::string>> KeyEnv;  // variable, what it holds
};

std::vector<SourceDoc> Sources() {
    return {
        {"classic",
         "the publication server, default",
         "the publication server's pages, at its address or a mirror's, or the stand-in "
         "kestrane-pubserver",
         "KESTRANE_SERVER_BASE",
         kDefaultServerBase,
         {}},
        {"ops",
         "EPO Open Patent Services",
         "EPO Open Patent Services, page by page; needs a free registration's consumer key and "
         "secret",
         "KESTRANE_OPS_BASE",
         kOpsDefaultBase,
         {{"KESTRANE_OPS_KEY", "consumer key"}, {"KESTRANE_OPS_SECRET", "consumer secret"}}},
    };
}

}  // namespace

OptionDoc SourceOption() {
    OptionDoc option("--source", "", "Where documents come from: ", "", Complete::Words);
    std::string man =
        "Where the documents come from (default: the settings file's choice, "
        "else *" +
        Sources().front().Id + "*):\n";
    for (const SourceDoc& source : Sources()) {
        const bool first = option.Words.empty();
        option.Value += (first ? "" : "|") + source.Id;
        option.Words += (first ? "" : " ") + source.Id;
        option.Help += (first ? "" : ", ") + source.Id + " (" + source.Summary + ")";
        man += "*" + source.Id + "*: " + source.Help + ".\n";
    }
    option.Help += ". See Environment for each source's settings";
    option.Man = man + "A source's key and secret come from *ENVIRONMENT* or *FILES*.";
    return option;
}

std::vector<std::string> SourceIds() {
    std::vector<std::string> ids;
    for (const SourceDoc& source : Sources()) ids.push_back(source.Id);
    return ids;
}

std::vector<EnvDoc> SourceEnvironment() {
    std::vector<EnvDoc> env;
    for (const SourceDoc& source : Sources()) {
        env.push_back(
            {source.BaseEnv,
             "address of the " + source.Id + " source (default " + source.DefaultBase + ")",
             "Address of the *" + source.Id + "* source (default " + source.DefaultBase +
                 "), for a mirror or the stand-in\n"
                 "*kestrane-pubserver*(1)."});
        for (const auto& [variable, holds] : source.KeyEnv) {
            env.push_back({variable,
                           "the " + source.Id + " source's " + holds + " (else the settings file)",
                           "The *" + source.Id + "* source's " + holds +
                               "; it takes precedence over the settings\nfile. It is never "
                               "printed or logged."});
        }
    }
    return env;
}

}  // namespace kestrane::docs
