// SPDX-License-Identifier: GPL-3.0-or-later
// EPO OPS's throttling: reading X-Throttling-Control and spacing requests so
// that each service sees no more than it allows, on any of OPS's servers.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

using OpsClock = std::chrono::steady_clock;

struct ServiceThrottle {
    std::string colour;  // green, yellow, red, black
    int allowance = 0;   // requests per rolling minute
};

// "idle (images=green:200, retrieval=green:200, ...)", possibly several
// values joined by commas: per service, the most restrictive reading (the
// lowest allowance; black wins). Services in any order; unknown text and
// services OPS does not document (a server could name millions) skipped.
std::map<std::string, ServiceThrottle> ParseThrottlingControl(std::string_view header);

// The longest Retry-After taken as it stands; a longer one reads as this,
// which no wait allows, so that no deadline arithmetic can overflow.
inline constexpr long long kMaxRetryAfterMs = 1000LL * 3600 * 24 * 365;
// A Retry-After in milliseconds: digits only (blanks around them allowed),
// saturated at kMaxRetryAfterMs; nullopt for anything else.
std::optional<long long> ParseRetryAfterMs(std::string_view text);

// Thread rules: not locked itself; OpsSession guards it with its lock.
class OpsThrottle {
  public:
    // Takes in one answer's header (the requests of `service` just answered)
    // and, when a service is black, how long OPS asked to wait (Retry-After ms).
    void Observe(std::string_view header, std::optional<long long> retryAfterMs,
                 OpsClock::time_point now);
    // A service suspended for this long (a refusal's Retry-After).
    void Suspend(const std::string& service, OpsClock::duration wait, OpsClock::time_point now);
    // Reserves the next request slot of a service ("images", "retrieval") and
    // says how long to wait for it: the spacing of 60 s / the lowest allowance
    // seen in the last minute, and a black period's end.
    OpsClock::duration Reserve(const std::string& service, OpsClock::time_point now);
    // The spacing currently applied to a service (0 when none is known).
    OpsClock::duration Spacing(const std::string& service, OpsClock::time_point now);

  private:
    struct Reading {
        OpsClock::time_point at;
        int allowance;
    };
    struct Service {
        std::deque<Reading> readings;  // the last minute's allowances
        bool started = false;
        OpsClock::time_point lastStart{};  // the latest slot handed out
        OpsClock::time_point blackUntil{};
    };
    std::map<std::string, Service> services_;
};

}  // namespace kestrane
