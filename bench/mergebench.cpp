// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-mergebench: times the merge step alone, as kestrane-cli runs it,
// for the benchmark (bench/bench.py); not installed.
//
//   kestrane-mergebench --pages N [--kb K] [--repeats R] [--program P] [--scan FILE]
//
// Renders N page PDFs like the stand-in server's (about K KB each), or copies
// FILE N times, then merges them R times with MergePageFiles (P: "" or "qpdf"
// for the built-in engine, else an outside pdftk-contract program) and prints
// one JSON line: every merge's seconds, their median, and this process's peak
// RSS (VmHWM, KiB) before and after the merges.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/pdf/MergeStep.h"
#include "server/Pages.h"

namespace {

namespace fs = std::filesystem;

long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Times the merge step alone.", "kestrane-mergebench"};
    int pages = 10;
    int kb = 40;
    int repeats = 21;
    std::string program;
    std::string scan;
    app.add_option("--pages", pages)->check(CLI::Range(1, 100000));
    app.add_option("--kb", kb)->check(CLI::Range(0, 10000));
    app.add_option("--repeats", repeats)->check(CLI::Range(1, 10000));
    app.add_option("--program", program, "merge program; empty or qpdf: built in");
    app.add_option("--scan", scan, "copy this page file instead of rendering pages");
    CLI11_PARSE(app, argc, argv);

    char pattern[] = "/tmp/kestrane-mergebench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return 2;
    const fs::path dir = pattern;
    std::vector<std::string> files;
    for (int n = 1; n <= pages; ++n) {
        files.push_back((dir / ("DOC_" + std::to_string(n) + ".pdf")).string());
        if (!scan.empty()) {
            fs::copy_file(scan, files.back());
        } else {
            std::ofstream(files.back(), std::ios::binary)
                << kestrane::pubserver::pages::RenderPagePdf("DOC", n, pages, kb);
        }
    }
    const std::string out = (dir / "merge.pdf").string();
    const long peakBefore = PeakKiB();

    std::vector<double> seconds;
    for (int r = 0; r < repeats; ++r) {
        fs::remove(out);
        const auto t0 = std::chrono::steady_clock::now();
        const kestrane::MergeResult result = kestrane::MergePageFiles(program, files, out, nullptr);
        const auto t1 = std::chrono::steady_clock::now();
        if (!result.ok()) {
            std::cerr << "merge failed: " << result.output << "\n";
            fs::remove_all(dir);
            return 1;
        }
        seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    const long peakAfter = PeakKiB();
    fs::remove_all(dir);

    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    std::ostringstream json;
    json << "{\"program\": \""
         << (kestrane::IsBuiltInMerge(program) ? "qpdf (in-process)" : program)
         << "\", \"pages\": " << pages << ", \"kb\": " << kb << ", \"median\": " << median
         << ", \"min\": " << sorted.front() << ", \"max\": " << sorted.back()
         << ", \"peak_kib_before\": " << peakBefore << ", \"peak_kib\": " << peakAfter
         << ", \"seconds\": [";
    for (std::size_t i = 0; i < seconds.size(); ++i) json << (i ? ", " : "") << seconds[i];
    json << "]}";
    std::cout << json.str() << std::endl;
    return 0;
}
