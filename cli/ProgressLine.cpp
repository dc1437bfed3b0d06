// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "client/net/Printable.h"
#include "util/Platform.h"

namespace kestrane::cli {

namespace {

std::string Bytes(long long bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%lld B", bytes);
    else if (bytes < 1024LL * 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

// A line longer than the terminal would wrap, and "\r" would then redraw
// only its last row.
std::size_t Columns(std::FILE* stream) {
    const int columns = platform::TerminalColumns(stream);
    return columns > 1 ? static_cast<std::size_t>(columns - 1) : 79;
}

}  // namespace

std::string ProgressLine::Text(const std::string& head, const TransferProgress& transfer,
                               Clock::duration elapsed) {
    std::string line = head;
    if (!transfer.Document.empty()) {
        line += "  " + Printable(transfer.Document) + " page " + std::to_string(transfer.Page) +
                " (" + std::to_string(transfer.PagesSeen) + " so far)";
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s",
                  std::chrono::duration<double>(elapsed).count());
    return line + "  " + Bytes(transfer.Bytes) + "  " + seconds;
}

void ProgressLine::Start(std::string head) {
    head_ = std::move(head);
    transfer_ = {};
    started_ = Clock::now();
    Draw(true);
}

void ProgressLine::Update(const TransferProgress& transfer) {
    transfer_ = transfer;
    Draw(false);
}

void ProgressLine::Clear() {
    if (!shown_)
        return;
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
    shown_ = false;
}

void ProgressLine::Draw(bool force) {
    if (!enabled_ || head_.empty())
        return;
    const Clock::time_point now = Clock::now();
    if (!force && shown_ && now - drawnAt_ < kRedrawGap)
        return;
    drawnAt_ = now;
    std::string line = Text(head_, transfer_, now - started_);
    line.resize(std::min(line.size(), Columns(stream_)));
    const std::string out = "\r\033[K" + line;
    std::fwrite(out.data(), 1, out.size(), stream_);
    std::fflush(stream_);
    shown_ = true;
}

}  // namespace kestrane::cli
