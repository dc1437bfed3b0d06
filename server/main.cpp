// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-pubserver: serves the stand-in publication server until SIGINT or
// SIGTERM. Its first and only line on stdout is the base URL it serves, so a
// script can start it on port 0 and read where it went.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "server/PubServer.h"

namespace {

// One log line per request, fields separated by tabs: keep tabs and line
// breaks inside a field (a typed number may hold them) from splitting it.
std::string Field(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrane::pubserver;

    CLI::App app{"Stand-in publication server for Kestrane"};
    app.set_version_flag("--version", std::string("kestrane-pubserver ") + KESTRANE_VERSION,
                         "Print the version and exit");
    ServerOptions options;
    int latencyMs = 0;
    int rttMs = 0;
    std::vector<std::string> faultTexts;
    std::string logFile;
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535));
    app.add_option("--host", options.host, "Address to listen on (default 127.0.0.1)");
    app.add_option("--synthetic-pages", options.syntheticPages,
                   "Serve every number outside the corpus as a document of this many pages")
        ->check(CLI::Range(0, 100000));
    app.add_option("--synthetic-kb", options.syntheticKb, "Size of each synthetic page in KB")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--latency", latencyMs, "Delay before every response, in ms")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--rtt", rttMs, "Emulated round trip in ms (twice on a new connection)")
        ->check(CLI::Range(0, 3600000));
    app.add_option(
        "--fault", faultTexts,
        "NUMBER:STAGE:KIND[:PAGE]; stages: session search hit viewer navigation pdf, "
        "OPS: opstoken opsinquiry opspage opsbiblio, DPMAconnectPlus: dpmaversion dpmapdf, "
        "Google Patents: robots gpage gpdf; kinds: stall drip empty error truncated html nolink "
        "count hostile nomatch, OPS: notfound auth quota robot black, DPMAconnectPlus: auth "
        "http401 http403 notfound oversize, Google Patents: quota busy sorry robot offsite "
        "nolink notfound nomatch");
    app.add_option("--ops-key", options.opsKey, "Consumer key the OPS token endpoint accepts");
    app.add_option("--ops-secret", options.opsSecret,
                   "Consumer secret the OPS token endpoint accepts");
    app.add_option("--ops-token-uses", options.opsTokenUses,
                   "Data requests an OPS token serves before it expires (0: never)")
        ->check(CLI::Range(0, 1000000000));
    app.add_option("--ops-throttling", options.opsThrottling,
                   "X-Throttling-Control of every OPS answer, e.g. "
                   "\"idle (images=green:200, retrieval=green:200)\"");
    app.add_option("--ops-retry-after", options.opsRetryAfterMs,
                   "Retry-After (ms) of a black OPS answer")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--dpma-user", options.dpmaUser,
                   "User name the DPMAconnectPlus endpoints accept (default demo-user)");
    app.add_option("--dpma-password", options.dpmaPassword,
                   "Password the DPMAconnectPlus endpoints accept (default demo-password)");
    app.add_option("--dpma-ids", options.dpmaIds,
                   "Which ids of a short DE number find its DPMAconnectPlus PDF: padded "
                   "(DE000019758096C2, the default), plain (DE19758096C2) or both")
        ->check(CLI::IsMember({"padded", "plain", "both"}));
    app.add_option("--google-robots", options.googleRobots,
                   "robots.txt of the Google Patents endpoints: google (as Google serves it), "
                   "kestrane (a group that keeps Kestrane off /patent/) or closed")
        ->check(CLI::IsMember({"google", "kestrane", "closed"}));
    app.add_option("--log", logFile,
                   "Append one tab-separated line per request: method, target, path, user agent, "
                   "Accept-Language, session cookie (0/1), searched number, client port");
    CLI11_PARSE(app, argc, argv);
    options.latency = std::chrono::milliseconds(latencyMs);
    options.rtt = std::chrono::milliseconds(rttMs);

    std::vector<std::pair<std::string, Fault>> faults;
    for (const auto& text : faultTexts) {
        std::string number;
        Fault fault{};
        if (!ParseFault(text, number, fault)) {
            std::cerr << "kestrane-pubserver: bad --fault \"" << text
                      << "\"; expected NUMBER:STAGE:KIND[:PAGE]\n";
            return 2;
        }
        faults.emplace_back(number, fault);
    }

    // Block the stop signals before any thread exists, so that only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Declared before the server, so it outlives every observer call.
    std::ofstream logStream;
    PubServer server(options);
    for (const auto& [number, fault] : faults) server.AddFault(number, fault);
    if (!logFile.empty()) {
        logStream.open(logFile, std::ios::app);
        if (!logStream) {
            std::cerr << "kestrane-pubserver: cannot open log file " << logFile << "\n";
            return 1;
        }
        server.SetRequestObserver([&logStream](const RequestLogEntry& e) {
            logStream << Field(e.method) << '\t' << Field(e.target) << '\t' << Field(e.path) << '\t'
                      << Field(e.userAgent) << '\t' << Field(e.acceptLanguage) << '\t'
                      << (e.hasSessionCookie ? 1 : 0) << '\t' << Field(e.queryNumber) << '\t'
                      << e.clientPort << '\n'
                      << std::flush;
        });
    }
    if (!server.Start()) {
        std::cerr << "kestrane-pubserver: cannot listen on " << options.host << " port "
                  << options.port << "\n";
        return 1;
    }
    std::cout << server.BaseUrl() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
    return 0;
}
