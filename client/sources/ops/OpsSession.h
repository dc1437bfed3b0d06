// SPDX-License-Identifier: GPL-3.0-or-later
// What the EPO OPS sources of one run share: the configuration, the clock,
// the token, the throttle's readings and whether the run has been ended.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "client/ClientContext.h"
#include "client/Failure.h"
#include "client/sources/ops/OpsThrottle.h"

namespace kestrane {

inline constexpr const char* kOpsDefaultBase = "https://ops.epo.org/3.2";

// A token answer is one flat JSON object under 1 KB; anything far beyond is
// refused unread.
inline constexpr std::size_t kMaxTokenAnswer = 64 * 1024;
inline constexpr int kMaxTokenNesting = 16;

// The access_token of a token answer; false when it is missing, not a
// printable word, or the answer is larger or deeper than the limits above.
[[nodiscard]] bool ParseTokenAnswer(std::string_view json, std::string& token);

struct OpsConfig {
    std::string Base = kOpsDefaultBase;  // scheme, host and "/3.2", no trailing "/"
    std::string Key;                     // consumer key; never printed
    std::string Secret;                  // consumer secret; never printed
    // The longest wait an item may sit out (the watchdog's allowance); OPS
    // asking for more fails the item instead of letting the watchdog abandon it.
    std::chrono::milliseconds MaxWait{120000};
};

// The clock and the sleep every wait of the source goes through.
using OpsTiming = Timing;

// What the sources of one run share: the token, the throttle readings and
// whether the run has been ended (refused credentials, quota). A successor
// worker's source gets the same session, so it reuses the token. Asking for a
// token is the exchange's (ops::Exchanger::EnsureToken); the session keeps it.
// Thread rules: every member behind mu_; token renewals one at a time
// (tokenMu_, held through a Renewal).
class OpsSession {
  public:
    explicit OpsSession(OpsConfig config, OpsTiming timing = OpsTiming::Real());
    const OpsConfig& Config() const { return config_; }
    const OpsTiming& Timing() const { return timing_; }

    // The token in use, or "" before the first.
    std::string Token() const;
    // Token requests made so far in this run.
    int TokenRequests() const;

    // One worker renews the token at a time: the others wait for the hold,
    // then find the token it got. Only a holder may keep a new token, so the
    // check under the hold stays true until the holder lets go.
    class Renewal {
      public:
        // The run's failure when it has ended: no token is asked for then.
        Failure Ended() const;
        // Whether a token other than `stale` is there to reuse.
        bool Serves(const std::string& stale) const;
        // Counts a token request about to be sent.
        void CountRequest();
        void Keep(std::string token);

      private:
        friend class OpsSession;
        explicit Renewal(OpsSession& session) : session_(session), hold_(session.tokenMu_) {}
        OpsSession& session_;
        std::unique_lock<std::mutex> hold_;
    };
    [[nodiscard]] Renewal HoldRenewal() { return Renewal(*this); }

    // Ends the run for every source of this session: later calls fail at
    // once. The failure, marked as one that ends the run.
    Failure End(Failure failure);
    Failure Ended() const;

    // Reserves the next slot of a service; how long to wait for it.
    OpsClock::duration Reserve(const std::string& service);
    void Observe(const std::string& header, std::optional<long long> retryAfterMs);
    void Suspend(const std::string& service, std::chrono::milliseconds wait);

  private:
    const OpsConfig config_;
    OpsTiming timing_;  // fixed after construction
    mutable std::mutex mu_;
    std::mutex tokenMu_;     // held by the one Renewal at a time
    std::string token_;      // mu_; written only under tokenMu_ as well
    int tokenRequests_ = 0;  // mu_
    Failure ended_;          // mu_
    OpsThrottle throttle_;   // mu_
};

}  // namespace kestrane
