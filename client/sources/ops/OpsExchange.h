// SPDX-License-Identifier: GPL-3.0-or-later
// One request to EPO OPS with everything OPS asks of a client around it: the
// token, the throttle's spacing, retries, renewal and back-off. Private to the
// OPS source (client/Ops*.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ClientContext.h"
#include "client/Failure.h"
#include "client/sources/ops/OpsSession.h"

namespace kestrane::ops {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string verb = "GET";
    std::string url;
    std::string body;
    std::vector<std::string> headers;  // besides the token
    std::string service;               // throttling service; "" for the token
    std::string file;                  // answer into this file; "" keeps it as text
};

struct Answer {
    long status = 0;
    std::string text;
    Headers headers;
};

class Exchanger {
  public:
    Exchanger(OpsSession& session, ClientContext& ctx) : session_(session), ctx_(ctx) {}

    // Sends the request until it has an answer worth judging: a 2xx, or a
    // status the caller decides on (404 and other refusals). Retries transient
    // failures, renews an expired token once, sits out robot and black periods.
    [[nodiscard]] Failure Send(const Request& request, Answer& answer);

    // Waits as OPS asked, cancellable and visible to the watchdog.
    [[nodiscard]] Failure Wait(OpsClock::duration wait, const std::string& why);

  private:
    [[nodiscard]] Failure SendOnce(const Request& request, const std::string& token, Answer& answer,
                                   bool& transient);

    OpsSession& session_;
    ClientContext& ctx_;
};

// A header's value (case-blind name); one given twice reads comma-joined.
std::optional<std::string> HeaderValue(const Headers& headers, std::string_view name);
// The <message> (or another child's) text of an OPS fault or a gateway
// error; empty when the body is neither.
std::string ErrorMessage(const std::string& body, const char* element = "message");

}  // namespace kestrane::ops
