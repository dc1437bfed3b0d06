// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "client/PublicationNumber.h"
#include "util/Platform.h"
#include "util/Printable.h"

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

std::string ProgressLine::Text(const std::string& head, const std::string& number,
                               const TransferProgress& transfer, Clock::duration elapsed) {
    std::string line = head;
    if (transfer.Page > 0) {
        line.append("  ");
        // The document is named only when it is not the number itself (one
        // of several documents of a selection).
        if (transfer.Document != number && transfer.Document != CompactNumber(number))
            line.append(Printable(transfer.Document)).append(" ");
        line.append("page ").append(std::to_string(transfer.Page));
        if (transfer.Pages >= transfer.Page)
            line.append(" of ").append(std::to_string(transfer.Pages));
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s",
                  std::chrono::duration<double>(elapsed).count());
    return line.append("  ").append(Bytes(transfer.Bytes)).append("  ").append(seconds);
}

void ProgressLine::Start(std::string head, std::string number) {
    head_ = std::move(head);
    number_ = std::move(number);
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
    std::string line = Text(head_, number_, transfer_, now - started_);
    line.resize(std::min(line.size(), Columns(stream_)));
    const std::string out = "\r\033[K" + line;
    std::fwrite(out.data(), 1, out.size(), stream_);
    std::fflush(stream_);
    shown_ = true;
}

}  // namespace kestrane::cli
