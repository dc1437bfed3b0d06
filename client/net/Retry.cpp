// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/net/Retry.h"

#include <algorithm>
#include <thread>

namespace kestrane {

namespace {

SteadyClock::duration BackOff(const RetryRules& rules, int retry) {
    SteadyClock::duration wait = rules.FirstWait;
    for (int i = 0; i < retry && wait < kMaxRetryWait; ++i) wait *= 2;
    return std::min<SteadyClock::duration>(wait, kMaxRetryWait);
}

// The wait before the next try: the later of the run's gap after its last
// request and the source's slot, never the two one after the other.
SteadyClock::duration PaceWait(const ClientContext& ctx, const Tries& tries) {
    SteadyClock::duration wait{};
    if (ctx.Requests.Gap.count() > 0 && ctx.LastRequest)
        wait = ctx.LastRequest->NextStart(ctx.Requests.Gap) - SteadyClock::now();
    if (tries.Slot)
        wait = std::max(wait, tries.Slot());
    return std::max(wait, SteadyClock::duration::zero());
}

Failure Wait(ClientContext& ctx, const RetryRules& rules, SteadyClock::duration wait,
             const std::string& why) {
    if (wait <= SteadyClock::duration::zero())
        return {};
    if (rules.MaxWait.count() > 0 && wait > rules.MaxWait && rules.TooLong)
        return rules.TooLong(wait, why);
    return SitOut(ctx, rules.Clock.Now ? rules.Clock : Timing::Real(), wait);
}

}  // namespace

Timing Timing::Real() {
    return Timing{[] { return SteadyClock::now(); },
                  [](SteadyClock::duration d) { std::this_thread::sleep_for(d); }};
}

Failure SitOut(const StepControl& step, const Timing& timing, SteadyClock::duration wait) {
    const SteadyClock::time_point end = timing.Now() + wait;
    for (SteadyClock::time_point now = timing.Now(); now < end; now = timing.Now()) {
        if (step.aborted())
            return {FailureKind::DownloadFailed, {}};
        if (step.cancelRequested())
            return {FailureKind::Cancelled, {}};
        // A polite wait is a sign of life: the watchdog leaves the item alone.
        step.moved();
        timing.Sleep(std::min<SteadyClock::duration>(kPollSlice, end - now));
    }
    return {};
}

RetryRules RunRetryRules(const RunSettings& run, int sourceRetries) {
    RetryRules rules;
    rules.Retries = run.Requests.Retries >= 0 ? run.Requests.Retries : sourceRetries;
    rules.FirstWait = run.Requests.RetryWait;
    return rules;
}

Failure RunTries(ClientContext& ctx, const RetryRules& rules, const Tries& tries) {
    for (int retries = 0;;) {
        if (Failure f = Wait(ctx, rules, PaceWait(ctx, tries), tries.SlotWhy))
            return f;
        Verdict verdict = tries.Once();
        switch (verdict.next) {
            case Verdict::Next::Done:
                return {};
            case Verdict::Next::Fail:
            case Verdict::Next::EndRun:
                return verdict.failure;
            case Verdict::Next::Transient:
                if (retries >= rules.Retries)
                    return verdict.failure;
                if (Failure f = Wait(ctx, rules, BackOff(rules, retries),
                                     "a retry after a failed exchange"))
                    return f;
                ++retries;
                break;
            case Verdict::Next::Wait:
                if (Failure f = Wait(ctx, rules, verdict.wait, verdict.why))
                    return f;
                break;
        }
    }
}

}  // namespace kestrane
