// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsSession.h"

#include <algorithm>
// Boost 1.74's JSON reader still pulls in the old global bind placeholders and
// announces it on every build; we use none of them.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <sstream>

#include "client/sources/ops/OpsExchange.h"

namespace kestrane {

namespace {

using ops::Answer;
using ops::ErrorMessage;
using ops::Exchanger;
using ops::Request;

std::string Base64(const std::string& in) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
    }
    return out;
}

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

Failure OpsSession::EnsureToken(ClientContext& ctx, const std::string& stale) {
    std::lock_guard fetching(tokenMu_);
    {
        std::lock_guard lock(mu_);
        if (ended_)
            return ended_;
        if (!token_.empty() && token_ != stale)
            return {};
    }
    std::string token;
    if (Failure f = FetchToken(ctx, token))
        return f;
    std::lock_guard lock(mu_);
    token_ = std::move(token);
    return {};
}

Failure OpsSession::FetchToken(ClientContext& ctx, std::string& token) {
    Request request;
    request.verb = "POST";
    request.url = config_.Base + "/auth/accesstoken";
    request.body = "grant_type=client_credentials";
    request.headers = {"Authorization: Basic " + Base64(config_.Key + ":" + config_.Secret),
                       "Content-Type: application/x-www-form-urlencoded",
                       "Accept: application/json"};
    request.maxText = kMaxTokenAnswer;
    {
        std::lock_guard lock(mu_);
        ++tokenRequests_;
    }
    Answer answer;
    Exchanger exchanger(*this, ctx);
    if (Failure f = exchanger.Send(request, answer))
        return f;
    if (answer.status == 200 && ParseTokenAnswer(answer.text, token))
        return {};
    // 400 and 403 here are refused credentials as well; OPS's own words go along.
    Failure f{FailureKind::AuthFailed, ErrorMessage(answer.text)};
    if (f.detail.empty())
        f.detail = "HTTP " + std::to_string(answer.status);
    return End(std::move(f));
}

}  // namespace kestrane
