// SPDX-License-Identifier: GPL-3.0-or-later
// The terminal's line for the item in work, redrawn in place.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "client/ClientContext.h"

namespace kestrane::cli {

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    inline static constexpr std::chrono::milliseconds kRedrawGap{100};

    // Draws on stream only when enabled (a terminal, not quiet). Main thread only.
    ProgressLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}

    // A new item: head names it ("[3/45] DE19758096C2"); number as typed.
    void Start(std::string head, std::string number);
    void Update(const TransferProgress& transfer);
    // Takes the line off the screen before other output; the next Update draws it again.
    void Clear();

    // The line's text for transfer of number after elapsed (no terminal codes):
    // "[2/45] DE5555555A1  page 4 of 12  793.8 KB  2.0 s".
    static std::string Text(const std::string& head, const std::string& number,
                            const TransferProgress& transfer, Clock::duration elapsed);

  private:
    void Draw(bool force);

    std::FILE* const stream_;
    const bool enabled_;
    std::string head_;
    std::string number_;
    TransferProgress transfer_;
    Clock::time_point started_{};
    Clock::time_point drawnAt_{};
    bool shown_ = false;
};

}  // namespace kestrane::cli
