// SPDX-License-Identifier: GPL-3.0-or-later
// One request to EPO OPS with everything OPS asks of a client around it: the
// token, the throttle's spacing, retries, renewal and back-off. Private to the
// OPS source.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ClientContext.h"
#include "client/Failure.h"
#include "client/net/HttpExchange.h"
#include "client/net/Retry.h"
#include "client/sources/ops/OpsSession.h"

namespace kestrane::ops {

using Headers = HttpHeaders;

struct Request {
    std::string verb = "GET";
    std::string url;
    std::string body;
    std::vector<std::string> headers;  // besides the token
    std::string service;               // throttling service; "" for the token
    std::string file;                  // answer into this file; "" keeps it as text
    // The largest text answer taken (0: the exchange's own cap); a larger one
    // fails the request as TooLarge, never retried.
    std::size_t maxText = 0;
};

struct Answer {
    long status = 0;
    std::string text;
    Headers headers;
};

// Sends the requests of one worker through the run's retry and pacing
// engine (client/net/Retry.h), reading every answer as OPS means it.
class Exchanger {
  public:
    Exchanger(OpsSession& session, ClientContext& ctx) : session_(session), ctx_(ctx) {}

    // Sends the request until it has an answer worth judging: a 2xx, or a
    // status the caller decides on (404 and other refusals). Retries transient
    // failures, renews an expired token once, sits out robot and black periods.
    [[nodiscard]] Failure Send(const Request& request, Answer& answer);

    // Gets the run a token unless one other than `stale` is already there;
    // while one worker asks, the others wait for its token.
    [[nodiscard]] Failure EnsureToken(const std::string& stale);

  private:
    [[nodiscard]] Failure FetchToken(OpsSession::Renewal& renewal, std::string& token);
    [[nodiscard]] Verdict SendOnce(const Request& request, Answer& answer);
    [[nodiscard]] Verdict Classify(const Request& request, const std::string& token,
                                   const Answer& answer);
    [[nodiscard]] Failure TooLong(OpsClock::duration wait, const std::string& why) const;

    OpsSession& session_;
    ClientContext& ctx_;
    // The repeats of the request in flight (Send resets them).
    bool renewed_ = false;
    int robotTries_ = 0;
    OpsClock::duration robotWait_{};
    int blackTries_ = 0;
};

// The <message> (or another child's) text of an OPS fault or a gateway
// error; empty when the body is neither.
std::string ErrorMessage(const std::string& body, const char* element = "message");

}  // namespace kestrane::ops
