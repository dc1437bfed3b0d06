// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Quota.h"

#include <cstdio>

namespace kestrane {

void QuotaMeter::Observe(std::optional<std::string_view> hour, std::optional<std::string_view> week,
                         long long bodyBytes) {
    const std::optional<long long> h = hour ? ParseQuotaCount(*hour) : std::nullopt;
    const std::optional<long long> w = week ? ParseQuotaCount(*week) : std::nullopt;
    if (!h && !w)
        return;
    std::lock_guard lock(mu_);
    use_.RunBytes += bodyBytes > 0 ? bodyBytes : 0;
    if (h)
        use_.HourUsed = h;
    if (w)
        use_.WeekUsed = w;
}

void QuotaMeter::Reset() {
    std::lock_guard lock(mu_);
    use_ = {};
}

QuotaUse QuotaMeter::Snapshot() const {
    std::lock_guard lock(mu_);
    return use_;
}

std::optional<long long> ParseQuotaCount(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string FormatBytes(long long bytes) {
    char text[32];
    const double b = static_cast<double>(bytes < 0 ? 0 : bytes);
    if (b < 1000)
        std::snprintf(text, sizeof text, "%lld B", bytes < 0 ? 0 : bytes);
    else if (b < 1e6)
        std::snprintf(text, sizeof text, "%.0f kB", b / 1e3);
    else if (b < 1e9)
        std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f GB", b / 1e9);
    return text;
}

std::string QuotaText(const QuotaUse& use) {
    if (!use.Seen())
        return "";
    std::string text = "EPO OPS use: " + FormatBytes(use.RunBytes) + " in this run";
    if (use.HourUsed)
        text += "; " + FormatBytes(*use.HourUsed) + " of about " + FormatBytes(kOpsHourAllowance) +
                " this hour";
    if (use.WeekUsed)
        text += (use.HourUsed ? ", " : "; ") + FormatBytes(*use.WeekUsed) + " of about " +
                FormatBytes(kOpsWeekAllowance) + " this week";
    return text;
}

}  // namespace kestrane
