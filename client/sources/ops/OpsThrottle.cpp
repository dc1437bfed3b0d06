// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsThrottle.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "util/Ascii.h"

namespace kestrane {

namespace {

constexpr auto kWindow = std::chrono::minutes(1);

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// "images=green:200"
std::optional<std::pair<std::string, ServiceThrottle>> ParseEntry(std::string_view entry) {
    entry = Trim(entry);
    const std::size_t eq = entry.find('=');
    const std::size_t colon = entry.find(':', eq == std::string_view::npos ? 0 : eq);
    if (eq == std::string_view::npos || colon == std::string_view::npos)
        return std::nullopt;
    ServiceThrottle t;
    t.colour = std::string(Trim(entry.substr(eq + 1, colon - eq - 1)));
    const std::string_view digits = Trim(entry.substr(colon + 1));
    const auto [ptr, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), t.allowance);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || t.allowance < 0)
        return std::nullopt;
    t.colour = ascii::Lower(t.colour);
    return std::make_pair(std::string(Trim(entry.substr(0, eq))), t);
}

// The services OPS documents; readings of any other are not kept.
bool KnownService(std::string_view name) {
    for (const char* known : {"images", "inpadoc", "other", "retrieval", "search"}) {
        if (name == known)
            return true;
    }
    return false;
}

OpsClock::duration Bounded(OpsClock::duration wait) {
    return std::clamp<OpsClock::duration>(wait, OpsClock::duration::zero(),
                                          std::chrono::milliseconds(kMaxRetryAfterMs));
}

bool MoreRestrictive(const ServiceThrottle& a, const ServiceThrottle& b) {
    if ((a.colour == "black") != (b.colour == "black"))
        return a.colour == "black";
    return a.allowance < b.allowance;
}

}  // namespace

std::map<std::string, ServiceThrottle> ParseThrottlingControl(std::string_view header) {
    std::map<std::string, ServiceThrottle> out;
    // Every "(...)" group is one reading; the text before it is the system state.
    for (std::size_t open = header.find('('); open != std::string_view::npos;
         open = header.find('(', open + 1)) {
        const std::size_t close = header.find(')', open);
        if (close == std::string_view::npos)
            break;
        std::string_view list = header.substr(open + 1, close - open - 1);
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            if (auto entry = ParseEntry(list.substr(0, comma));
                entry && KnownService(entry->first)) {
                auto it = out.find(entry->first);
                if (it == out.end() || MoreRestrictive(entry->second, it->second))
                    out[entry->first] = entry->second;
            }
            if (comma == std::string_view::npos)
                break;
            list.remove_prefix(comma + 1);
        }
        open = close;
    }
    return out;
}

std::optional<long long> ParseRetryAfterMs(std::string_view text) {
    text = Trim(text);
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long long ms = 0;
    for (const char c : text) {
        ms = ms * 10 + (c - '0');
        if (ms >= kMaxRetryAfterMs)
            return kMaxRetryAfterMs;
    }
    return ms;
}

void OpsThrottle::Observe(std::string_view header, std::optional<long long> retryAfterMs,
                          OpsClock::time_point now) {
    for (const auto& [name, reading] : ParseThrottlingControl(header)) {
        Service& s = services_[name];
        if (reading.colour == "black") {
            // OPS names the wait only in Retry-After; without it, a minute is the safe guess.
            const auto wait =
                retryAfterMs
                    ? std::chrono::milliseconds(std::clamp(*retryAfterMs, 0LL, kMaxRetryAfterMs))
                    : std::chrono::milliseconds(kWindow);
            s.blackUntil = std::max(s.blackUntil, now + wait);
        } else if (reading.allowance > 0) {
            s.readings.push_back({now, reading.allowance});
        }
    }
}

void OpsThrottle::Suspend(const std::string& service, OpsClock::duration wait,
                          OpsClock::time_point now) {
    Service& s = services_[service];
    s.blackUntil = std::max(s.blackUntil, now + Bounded(wait));
}

OpsClock::duration OpsThrottle::Spacing(const std::string& service, OpsClock::time_point now) {
    Service& s = services_[service];
    while (!s.readings.empty() && now - s.readings.front().at > kWindow) s.readings.pop_front();
    int lowest = 0;
    for (const Reading& r : s.readings)
        lowest = lowest == 0 ? r.allowance : std::min(lowest, r.allowance);
    if (lowest == 0)
        return OpsClock::duration::zero();
    return std::chrono::duration_cast<OpsClock::duration>(kWindow) / lowest;
}

OpsClock::duration OpsThrottle::Reserve(const std::string& service, OpsClock::time_point now) {
    const OpsClock::duration spacing = Spacing(service, now);
    Service& s = services_[service];
    OpsClock::time_point start = std::max(now, s.blackUntil);
    if (s.started)
        start = std::max(start, s.lastStart + spacing);
    s.started = true;
    s.lastStart = start;
    return start - now;
}

}  // namespace kestrane
