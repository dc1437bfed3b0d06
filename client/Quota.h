// SPDX-License-Identifier: GPL-3.0-or-later
// How much of a source's allowance a run used. EPO OPS says it in every
// answer (X-IndividualQuotaPerHour-Used, X-RegisteredQuotaPerWeek-Used:
// running byte counts that include the answer); the run adds up its own.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

// The allowances as OPS states them for a registered user (about; the
// figures vary by source), for "x of about y".
inline constexpr long long kOpsHourAllowance = 450LL * 1000 * 1000;
inline constexpr long long kOpsWeekAllowance = 4LL * 1000 * 1000 * 1000;

struct QuotaUse {
    long long RunBytes = 0;             // bodies of the answers that carried a count
    std::optional<long long> HourUsed;  // the latest hourly count seen
    std::optional<long long> WeekUsed;  // the latest weekly count seen
    bool Seen() const { return HourUsed.has_value() || WeekUsed.has_value(); }
};

// Shared by every worker of a run. Any thread.
class QuotaMeter {
  public:
    // One answer: its two headers' values (std::nullopt when absent) and its body's size.
    void Observe(std::optional<std::string_view> hour, std::optional<std::string_view> week,
                 long long bodyBytes);
    QuotaUse Snapshot() const;
    // A new run begins.
    void Reset();

  private:
    mutable std::mutex mu_;
    QuotaUse use_;  // mu_
};

// A count as a header carries it: up to 18 decimal digits, nothing else;
// anything else is no reading.
std::optional<long long> ParseQuotaCount(std::string_view text);

// "1.2 MB", "734 kB", "3.41 GB": decimal units, as OPS states its allowances.
std::string FormatBytes(long long bytes);

// "EPO OPS use: 12.3 MB in this run; 45.6 MB of about 450 MB this hour,
// 1.28 GB of about 4 GB this week"; "" when no answer carried a count.
std::string QuotaText(const QuotaUse& use);

}  // namespace kestrane
