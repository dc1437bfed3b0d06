// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Output.h"

#include "util/Platform.h"
#include "util/Printable.h"

namespace kestrane::cli {

namespace {

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + Printable(name);
    return text;
}

}  // namespace

void PrintLine(std::FILE* stream, const std::string& text) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

std::string OutcomeLine(const ItemFinished& item) {
    std::string line = item.Number + " " + OutcomeWord(item.Result);
    if (!item.SavedFiles.empty())
        line += " -> " + Joined(item.SavedFiles);
    if (!item.AlreadySaved.empty()) {
        if (item.AlreadySaved.size() == item.SavedFiles.size())
            line.append(" (already saved)");
        else
            line.append(" (already saved: ").append(Joined(item.AlreadySaved)).append(")");
    }
    return line;
}

std::string FailureLine(const ItemFinished& item, const std::string& proxy) {
    if (item.Result != Outcome::Failed)
        return {};
    std::string line = item.Number + ": " + std::string(FailureCause(item.Kind));
    if (item.Kind == FailureKind::Connect && !proxy.empty())
        line = item.Number + ": could not connect through the proxy " + Printable(proxy);
    // These kinds' details are sentences that follow the user's text
    // (FailureText); the others' (a program, a path) belong with the cause.
    const bool explainedLater = item.Kind == FailureKind::UnsafeName ||
                                item.Kind == FailureKind::NameClash ||
                                item.Kind == FailureKind::TooLarge;
    // A detail may carry a server's words (a refusal's reason, a fault's code).
    if (!item.Detail.empty() && !explainedLater)
        line += ": " + Printable(item.Detail);
    return line;
}

Reporter::Reporter(Verbosity verbosity, bool progressOnTerminal, int total)
    : verbosity_(verbosity),
      total_(total),
      progress_(stderr, progressOnTerminal && verbosity != Verbosity::Quiet) {}

void Reporter::ItemStarted(const std::string& number) {
    ++started_;
    std::string head = "[";
    head.append(std::to_string(started_)).append("/").append(std::to_string(total_));
    progress_.Start(head.append("] ").append(Printable(number)), number);
}

void Reporter::ItemProgress(const kestrane::ItemProgress& progress) {
    progress_.Update(progress.Transfer);
}

void Reporter::ItemFinished(const kestrane::ItemFinished& item) {
    progress_.Clear();
    if (verbosity_ != Verbosity::Quiet)
        PrintLine(stdout, OutcomeLine(item));
    if (const std::string failure = FailureLine(item, proxy_); !failure.empty())
        PrintLine(stderr, failure);
}

void Reporter::Error(const std::string& text) {
    progress_.Clear();
    PrintLine(stderr, text);
}

void Reporter::Note(const std::string& text) {
    if (verbosity_ == Verbosity::Quiet)
        return;
    progress_.Clear();
    PrintLine(stderr, text);
}

void Reporter::ConnectFailed() {
    if (!proxy_.empty())
        Error("Could not connect through the proxy " + Printable(proxy_));
}

std::function<void(const std::string&)> Reporter::RequestEcho() const {
    if (verbosity_ != Verbosity::Verbose)
        return {};
    // From a worker thread: it cannot clear the progress line, so it starts
    // its own line over it; the next redraw puts the progress line back.
    const bool terminal = platform::IsTerminal(stderr);
    return [terminal](const std::string& url) {
        PrintLine(stderr, (terminal ? "\r\033[K" : "") + Printable(url));
    };
}

}  // namespace kestrane::cli
