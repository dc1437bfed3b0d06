// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/ServerDocs.h"

#include "server/PubServer.h"

namespace kestrane::pubserver {

namespace {

using docs::Complete;
using docs::OptionDoc;

std::string Names(const auto& table) {
    std::string names;
    for (const auto& [name, value] : table) names += (names.empty() ? "" : " ") + name;
    return names;
}

OptionDoc FaultOption() {
    OptionDoc fault("--fault", "NUMBER:STAGE:KIND[:PAGE]", "");
    fault.Help =
        "Inject a fault for one number (OPS numbers compact, \"DE19758096C2\"); PAGE "
        "limits it to one page. Stages: " +
        Names(StageNames()) + ". Kinds: " + Names(FaultKindNames()) +
        ". May be given more than once";
    fault.Man =
        "Inject a fault for one number; OPS numbers are written compact\n"
        "(\"DE19758096C2\"). _PAGE_ limits it to one page of the viewer, the\n"
        "navigation or the page PDFs. May be given more than once.\n\n"
        "Stages: " +
        Names(StageNames()) + ".\n\nKinds: " + Names(FaultKindNames()) +
        ".\n\n"
        "The generic kinds (stall drip empty error truncated html) apply to every\n"
        "stage. The EPO OPS stages take notfound auth quota robot black; the\n"
        "DPMAconnectPlus stages take auth (the XML refusal on 200), http401, http403,\n"
        "notfound (404) and oversize; the Google Patents stages take quota (429),\n"
        "busy (503), sorry (a redirect to /sorry/), robot (a CAPTCHA page), offsite\n"
        "(a PDF link to another host), nolink, notfound and nomatch.\n\n"
        "Built to hurt a client: deep (a page starting a 60,000-link object chain,\n"
        "an OPS token answer nested 100,000 deep, an inquiry nested 60,000 deep),\n"
        "bomb (a 1 MB page inflating to 1 GiB), objects (a page of 1,000,000\n"
        "objects), bulky (a 64 MB inquiry), exponent (number-of-pages=\"1e9\"),\n"
        "services (throttling headers naming 12,000 new services), longwait (a\n"
        "Retry-After past any clock), escapes (terminal controls in an OPS 401,\n"
        "404 or 403 answer).";
    return fault;
}

std::vector<OptionDoc> Options() {
    return {
        {"--port", "PORT", "Port to listen on; 0 (the default) picks a free one"},
        {"--host", "ADDRESS", "Address to listen on (default 127.0.0.1)"},
        {"--synthetic-pages", "N",
         "Serve every number outside the corpus as a document of N pages (0 to 100000)"},
        {"--synthetic-kb", "KB", "Size of each synthetic page in KB"},
        {"--latency", "MS", "Delay before every response, in milliseconds"},
        {"--rtt", "MS", "Emulated network round trip in milliseconds (twice on a new connection)"},
        FaultOption(),
        {"--ops-key", "KEY", "Consumer key the OPS token endpoint accepts"},
        {"--ops-secret", "SECRET", "Consumer secret the OPS token endpoint accepts"},
        {"--ops-token-uses", "N", "Data requests an OPS token serves before it expires (0: never)"},
        {"--ops-throttling", "HEADER",
         "X-Throttling-Control of every OPS answer, e.g. \"idle (images=green:200, "
         "retrieval=green:200)\""},
        {"--ops-retry-after", "MS", "Retry-After (ms) of a black OPS answer"},
        {"--dpma-user", "USER",
         "User name the DPMAconnectPlus endpoints accept (default demo-user)"},
        {"--dpma-password", "PASSWORD",
         "Password the DPMAconnectPlus endpoints accept (default demo-password)"},
        {"--dpma-ids", "padded|plain|both",
         "Which ids of a short DE number find its DPMAconnectPlus PDF: padded "
         "(DE000019758096C2, the default), plain (DE19758096C2) or both",
         "Which document ids of a DE number shorter than 12 digits find its PDF:\n"
         "the zero-padded id (DE000019758096C2, the default), the plain one\n"
         "(DE19758096C2) or both."},
        {"--google-robots", "google|kestrane|closed",
         "robots.txt of the Google Patents endpoints: google (as Google serves it), "
         "kestrane (a group that keeps Kestrane off /patent/) or closed"},
        {"--log", "FILE",
         "Append one tab-separated line per request: method, target, path, user agent, "
         "Accept-Language, session cookie (0/1), searched number, client port",
         "", Complete::File},
        {"--version", "", "Print the version and exit"},
        {"-h,--help", "", "Print the options and exit"},
    };
}

}  // namespace

const docs::ProgramDocs& ServerDocs() {
    static const docs::ProgramDocs docs{"kestrane-pubserver", Options(), {}};
    return docs;
}

std::string ServerHelpText(const docs::ProgramDocs& parsed) {
    return "Usage: kestrane-pubserver [OPTIONS]\n\n"
           "Stand-in publication server for Kestrane: serves a generated corpus on a loopback\n"
           "address and prints that address as its first line; runs until SIGINT or SIGTERM.\n\n" +
           docs::HelpOptions(parsed) + "\nSee kestrane-pubserver(1).\n";
}

}  // namespace kestrane::pubserver
