// SPDX-License-Identifier: GPL-3.0-or-later
// What kestrane-cli says, and where: one line per outcome on standard output
// for scripts; failures, notices and the summary on standard error; the
// progress line on a terminal only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "cli/ProgressLine.h"
#include "run/FrontEnd.h"

namespace kestrane::cli {

enum class Verbosity {
    Quiet,    // nothing but errors
    Normal,   // outcomes, notices, the summary
    Verbose,  // and every request's address
};

// One whole line per write, so lines stay whole among those of other threads.
void PrintLine(std::FILE* stream, const std::string& text);

// "DE60218500T2 Success -> DE000060218500T2.pdf, EP000001389012B1.pdf".
[[nodiscard]] std::string OutcomeLine(const ItemFinished& item);
// "DE1NOMATCH: no match on the server"; "" for an item that did not fail.
[[nodiscard]] std::string FailureLine(const ItemFinished& item);

// Main thread only.
class Reporter {
  public:
    // total: the numbers of the whole list (every run of a batch).
    Reporter(Verbosity verbosity, bool progressOnTerminal, int total);

    void ItemStarted(const std::string& number);
    void ItemProgress(const kestrane::ItemProgress& progress);
    void ItemFinished(const kestrane::ItemFinished& item);
    // A text the user must see (a failure's text, a refusal).
    void Error(const std::string& text);
    // A notice that quiet leaves out.
    void Note(const std::string& text);

    // Sees every request's address when verbose (on a worker thread); else empty.
    std::function<void(const std::string&)> RequestEcho() const;

  private:
    const Verbosity verbosity_;
    const int total_;
    int started_ = 0;
    ProgressLine progress_;
};

}  // namespace kestrane::cli
