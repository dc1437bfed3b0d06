// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-merge-standin: a merge program that keeps pdftk's command-line
// contract, for the tests of the external merge engine, so that they need
// neither pdftk nor Java:
//
//   kestrane-merge-standin PAGE... cat output FILE dont_ask
//
// Writes the pages in order into FILE (replacing it), says nothing and exits 0
// on success; on failure it says why on stderr and exits 1 (2 for a command
// line it does not understand). The merge itself is the built-in qpdf engine.
#include <cstdio>
#include <string>
#include <vector>

#include "client/pdf/QpdfMerge.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::size_t n = args.size();
    if (n < 5 || args[n - 4] != "cat" || args[n - 3] != "output" || args[n - 1] != "dont_ask") {
        std::fputs("Error: usage: kestrane-merge-standin PAGE... cat output FILE dont_ask\n",
                   stderr);
        return 2;
    }
    const std::vector<std::string> pages(args.begin(), args.end() - 4);
    const kestrane::MergeResult result = kestrane::QpdfMerge(pages, args[n - 2], nullptr);
    if (!result.ok()) {
        std::fprintf(stderr, "Error: %s\n", result.output.c_str());
        return 1;
    }
    return 0;
}
