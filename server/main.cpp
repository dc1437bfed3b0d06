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

#include "docs/options/Cli11Docs.h"
#include "server/PubServer.h"
#include "server/ServerDocs.h"

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

    CLI::App app{"Stand-in publication server for Kestrane", "kestrane-pubserver"};
    const kestrane::docs::ProgramDocs& table = kestrane::pubserver::ServerDocs();
    const auto help = [&table](const std::string& name) {
        return kestrane::docs::FindOption(table, name)->Help;
    };
    app.set_help_flag("-h,--help", help("--help"));
    app.set_version_flag("--version", std::string("kestrane-pubserver ") + KESTRANE_VERSION,
                         help("--version"));
    kestrane::docs::UseHelpText(app, table, kestrane::pubserver::ServerHelpText);
    ServerOptions options;
    int latencyMs = 0;
    int rttMs = 0;
    std::vector<std::string> faultTexts;
    std::string logFile;
    using kestrane::docs::AddOption;
    AddOption(app, table, "--port", options.port)->check(CLI::Range(0, 65535));
    AddOption(app, table, "--host", options.host);
    AddOption(app, table, "--synthetic-pages", options.syntheticPages)
        ->check(CLI::Range(0, 100000));
    AddOption(app, table, "--synthetic-kb", options.syntheticKb)->check(CLI::Range(0, 1000000));
    AddOption(app, table, "--latency", latencyMs)->check(CLI::Range(0, 3600000));
    AddOption(app, table, "--rtt", rttMs)->check(CLI::Range(0, 3600000));
    AddOption(app, table, "--fault", faultTexts);
    AddOption(app, table, "--ops-key", options.opsKey);
    AddOption(app, table, "--ops-secret", options.opsSecret);
    AddOption(app, table, "--ops-token-uses", options.opsTokenUses)
        ->check(CLI::Range(0, 1000000000));
    AddOption(app, table, "--ops-throttling", options.opsThrottling);
    AddOption(app, table, "--ops-retry-after", options.opsRetryAfterMs)
        ->check(CLI::Range(0, 3600000));
    AddOption(app, table, "--dpma-user", options.dpmaUser);
    AddOption(app, table, "--dpma-password", options.dpmaPassword);
    AddOption(app, table, "--dpma-ids", options.dpmaIds)
        ->check(CLI::IsMember({"padded", "plain", "both"}));
    AddOption(app, table, "--google-robots", options.googleRobots)
        ->check(CLI::IsMember({"google", "kestrane", "closed"}));
    AddOption(app, table, "--log", logFile);
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
