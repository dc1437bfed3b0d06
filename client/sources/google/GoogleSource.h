// SPDX-License-Identifier: GPL-3.0-or-later
// The Google Patents source: no account, opt-in and polite. Once per run it
// reads robots.txt and obeys it; per number it asks for the publication's
// page (never a search), reads the PDF link from the page's meta tags and
// fetches that one PDF, at least 4 s after the previous request to the same
// host. A block (429, 503, a redirect to /sorry/) ends the run.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "client/Source.h"
#include "client/sources/google/Robots.h"

namespace kestrane {

// The least quiet time between two requests to one Google host.
inline constexpr std::chrono::milliseconds kGoogleMinGap{4000};

struct GoogleTiming {
    using Clock = std::chrono::steady_clock;
    std::function<Clock::time_point()> Now;
    // Sleeps for about the given time (never more than a poll slice is asked).
    std::function<void(Clock::duration)> Sleep;
    static GoogleTiming Real();
};

struct GoogleConfig {
    std::string Base = "https://patents.google.com";  // without a trailing "/"
};

// The gap kept between two requests to one host when asked for `asked`
// (--wait, 0 when not given): at least kGoogleMinGap on Google's own base;
// against another base (a mirror, the stand-in) what was asked, else kGoogleMinGap.
std::chrono::milliseconds GoogleGap(const std::string& base, std::chrono::milliseconds asked);

// What the sources of one run share: robots.txt per host, when each host
// was last asked, and whether Google has blocked the run.
// Thread rules: every member behind mu_; one request at a time per run.
class GoogleSession {
  public:
    explicit GoogleSession(GoogleConfig config, GoogleTiming timing = GoogleTiming::Real());
    const GoogleConfig& Config() const { return config_; }

    // Waits until origin may be asked again (GoogleGap of the run's
    // ctx.Requests.Gap), showing life to the watchdog;
    // Cancelled when a cancel or stop came first. Marks the request as begun.
    [[nodiscard]] Failure Pace(ClientContext& ctx, const std::string& origin);
    // The rules of origin ("https://host:port"), fetched on first use.
    // Blocked (the run ends) when robots.txt answers 5xx or nothing.
    [[nodiscard]] Failure Rules(ClientContext& ctx, const std::string& origin,
                                google::RobotsRules& rules);
    void MarkBlocked(const Failure& failure);
    std::optional<Failure> Blocked() const;

  private:
    const GoogleConfig config_;
    const GoogleTiming timing_;
    mutable std::mutex mu_;
    std::map<std::string, GoogleTiming::Clock::time_point> lastRequest_;  // mu_
    std::map<std::string, google::RobotsRules> robots_;                   // mu_
    std::optional<Failure> blocked_;                                      // mu_
};

class GoogleSource : public Source {
  public:
    explicit GoogleSource(std::shared_ptr<GoogleSession> session) : session_(std::move(session)) {}
    [[nodiscard]] Failure Open(ClientContext& ctx) override;
    [[nodiscard]] Failure Find(ClientContext& ctx, FoundDocument& found) override;
    [[nodiscard]] Failure Fetch(ClientContext& ctx, const FoundDocument& found) override;
    [[nodiscard]] std::string StatusSuffix() const override { return "(Google Patents)"; }

  private:
    std::shared_ptr<GoogleSession> session_;
};

std::function<std::unique_ptr<Source>()> GoogleSourceMaker(
    GoogleConfig config, GoogleTiming timing = GoogleTiming::Real());

// Reads robots.txt as a run would. For Test connection; abort may be null.
Failure TestGoogleConnection(const GoogleConfig& config, const std::atomic<bool>* abort);

}  // namespace kestrane
