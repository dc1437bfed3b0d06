// SPDX-License-Identifier: GPL-3.0-or-later
// The one retry and pacing engine. A source sends one try at a time and says
// what each answer amounts to (a Verdict); the engine carries that out: it
// keeps the run's gap between requests and the source's own slots (waiting
// once for the later of the two, so waits never stack), retries a transient
// failure at most Retries times with growing waits, sits out a wait the
// source asks for, and stops at a final failure. Every wait can be cancelled
// and counts as a sign of life for the watchdog.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "client/ClientContext.h"
#include "client/Failure.h"

namespace kestrane {

// What one answer amounts to, as the source that asked reads it.
struct Verdict {
    enum class Next {
        Done,       // the answer is the one wanted (or one the caller reads itself)
        Transient,  // trouble on the line or at the server: worth another try
        Fail,       // a final failure of this request
        Wait,       // try again after `wait` (the server asked for it, a renewed token)
        EndRun,     // a failure that ends the whole run (the remaining items would fail too)
    };
    Next next = Next::Done;
    Failure failure;               // Transient (when no try is left), Fail, EndRun
    SteadyClock::duration wait{};  // Wait: how long before the next try (may be 0)
    std::string why;               // Wait: what the wait is for, for a wait too long

    static Verdict Done() { return {}; }
    static Verdict Retry(Failure f) { return {Next::Transient, std::move(f), {}, {}}; }
    static Verdict Final(Failure f) { return {Next::Fail, std::move(f), {}, {}}; }
    static Verdict After(SteadyClock::duration d, std::string why) {
        return {Next::Wait, {}, d, std::move(why)};
    }
    static Verdict End(Failure f) {
        f.endsRun = true;
        return {Next::EndRun, std::move(f), {}, {}};
    }
};

// How the engine treats the tries of one request.
struct RetryRules {
    // Transient verdicts tried again: a failing request is sent at most 1 + Retries times.
    int Retries = 0;
    // The wait before the first retry; each further one waits twice as long, up to kMaxRetryWait.
    std::chrono::milliseconds FirstWait{1000};
    // A wait longer than this (0: no limit) is not sat out: TooLong(wait, why)
    // is the request's failure.
    std::chrono::milliseconds MaxWait{0};
    std::function<Failure(SteadyClock::duration wait, const std::string& why)> TooLong;
    // The clock and sleep of every wait (Timing::Real() when empty).
    Timing Clock;
};

// One request as the engine drives it.
struct Tries {
    // The source's own earliest start of the next try, as a wait from now (a
    // throttle slot); may be empty. Asked once before every try.
    std::function<SteadyClock::duration()> Slot;
    // Sends once and reads the answer.
    std::function<Verdict()> Once;
    // What a slot's wait is for, for a wait too long.
    std::string SlotWhy;
};

// Runs tries until a verdict ends them; the failure of the request, or none.
[[nodiscard]] Failure RunTries(ClientContext& ctx, const RetryRules& rules, const Tries& tries);

// The retry rules of the run (run.Requests) for a source whose own number of
// retries is sourceRetries (used when the run names none).
[[nodiscard]] RetryRules RunRetryRules(const RunSettings& run, int sourceRetries);

// Sits out wait in poll slices, each a sign of life. Cancelled on a confirmed
// cancel, DownloadFailed when the worker is stopped; else none.
[[nodiscard]] Failure SitOut(const StepControl& step, const Timing& timing,
                             SteadyClock::duration wait);

}  // namespace kestrane
