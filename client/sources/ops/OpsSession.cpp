// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsSession.h"

#include <algorithm>
// Boost 1.74's JSON reader still pulls in the old global bind placeholders and
// announces it on every build; we use none of them.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

namespace kestrane {

namespace {

// Bracket nesting outside strings, counted without recursion; stops counting
// once past limit.
int JsonNesting(std::string_view json, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < json.size() && deepest <= limit; ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

bool ParseTokenAnswer(std::string_view json, std::string& token) {
    token.clear();
    // The JSON reader recurses per level: an answer built deep would take
    // the stack with it. A real answer is one flat object under 1 KB.
    if (json.size() > kMaxTokenAnswer || JsonNesting(json, kMaxTokenNesting) > kMaxTokenNesting)
        return false;
    try {
        std::istringstream in{std::string(json)};
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        token = tree.get<std::string>("access_token", "");
    } catch (...) {
        token.clear();
    }
    return !token.empty() &&
           std::none_of(token.begin(), token.end(), [](char c) { return c < 0x21 || c > 0x7E; });
}

OpsSession::OpsSession(OpsConfig config, OpsTiming timing)
    : config_(std::move(config)), timing_(std::move(timing)) {
    if (!timing_.Now || !timing_.Sleep)
        timing_ = OpsTiming::Real();
}

std::string OpsSession::Token() const {
    std::lock_guard lock(mu_);
    return token_;
}

int OpsSession::TokenRequests() const {
    std::lock_guard lock(mu_);
    return tokenRequests_;
}

Failure OpsSession::End(Failure failure) {
    failure.endsRun = true;
    std::lock_guard lock(mu_);
    if (!ended_)
        ended_ = failure;
    return failure;
}

Failure OpsSession::Ended() const {
    std::lock_guard lock(mu_);
    return ended_;
}

OpsClock::duration OpsSession::Reserve(const std::string& service) {
    const auto now = timing_.Now();
    std::lock_guard lock(mu_);
    return throttle_.Reserve(service, now);
}

void OpsSession::Suspend(const std::string& service, std::chrono::milliseconds wait) {
    const auto now = timing_.Now();
    std::lock_guard lock(mu_);
    throttle_.Suspend(service, wait, now);
}

void OpsSession::Observe(const std::string& header, std::optional<long long> retryAfterMs) {
    const auto now = timing_.Now();
    std::lock_guard lock(mu_);
    throttle_.Observe(header, retryAfterMs, now);
}

Failure OpsSession::Renewal::Ended() const {
    return session_.Ended();
}

bool OpsSession::Renewal::Serves(const std::string& stale) const {
    std::lock_guard lock(session_.mu_);
    return !session_.token_.empty() && session_.token_ != stale;
}

void OpsSession::Renewal::CountRequest() {
    std::lock_guard lock(session_.mu_);
    ++session_.tokenRequests_;
}

void OpsSession::Renewal::Keep(std::string token) {
    std::lock_guard lock(session_.mu_);
    session_.token_ = std::move(token);
}

}  // namespace kestrane
