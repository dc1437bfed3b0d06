// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsExchange.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>

#include "client/Messages.h"
#include "client/net/HttpExchange.h"
#include "util/Platform.h"

namespace kestrane::ops {

namespace {

using namespace std::chrono_literals;

constexpr int kTransientRetries = 3;
constexpr auto kTransientFirstWait = 1s;
constexpr int kRobotRepeats = 2;
constexpr auto kRobotFirstWait = 2s;
constexpr int kBlackRepeats = 3;
constexpr auto kSlice = 200ms;

std::optional<long long> RetryAfterMs(const Headers& headers) {
    const auto text = HeaderValue(headers, "Retry-After");
    if (!text)
        return std::nullopt;
    char* end = nullptr;
    const long long ms = std::strtoll(text->c_str(), &end, 10);
    if (end == text->c_str() || ms < 0)
        return std::nullopt;
    return ms;
}

std::string Seconds(OpsClock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 100;
    return std::to_string(tenths / 10) +
           (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

// OPS's fair-use quotas and when each is available again.
std::string QuotaRefresh(const std::string& quota) {
    std::string when;
    if (quota == "IndividualQuotaPerHour")
        when = "it refreshes on a rolling basis over the hour";
    else if (quota == "RegisteredQuotaPerWeek")
        when = "it refreshes at midnight UTC at the start of the week";
    else if (quota == "AnonymousQuotaPerMinute")
        when = "it refreshes within the minute";
    else if (quota == "AnonymousQuotaPerDay")
        when = "it refreshes at midnight UTC";
    else
        when = "try again later";
    return (quota.empty() ? std::string("fair-use quota") : quota) + ": " + when;
}

}  // namespace

std::optional<std::string> HeaderValue(const Headers& headers, std::string_view name) {
    std::optional<std::string> joined;
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            // A header given twice reads as one comma-joined value.
            joined = joined ? *joined + ", " + value : value;
        }
    }
    return joined;
}

// The <message> (or <code>) text of an OPS fault or a gateway error, for the
// detail line; empty when the body is neither.
std::string ErrorMessage(const std::string& body, const char* element) {
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size()))
        return {};
    for (pugi::xml_node n : doc.document_element().children()) {
        std::string_view name = n.name();
        if (const auto colon = name.find(':'); colon != std::string_view::npos)
            name.remove_prefix(colon + 1);
        if (name == element)
            return n.text().as_string();
    }
    return {};
}

Failure Exchanger::Wait(OpsClock::duration wait, const std::string& why) {
    if (wait <= OpsClock::duration::zero())
        return {};
    if (wait > session_.Config().MaxWait) {
        return {FailureKind::Throttled, "EPO OPS asked to wait " + Seconds(wait) + " (" + why +
                                            "), longer than the watchdog allows (" +
                                            Seconds(session_.Config().MaxWait) + ")"};
    }
    const OpsTiming& timing = session_.Timing();
    const OpsClock::time_point end = timing.Now() + wait;
    for (OpsClock::time_point now = timing.Now(); now < end; now = timing.Now()) {
        if (ctx_.cancelRequested() || ctx_.aborted())
            return {FailureKind::Cancelled, {}};
        // A polite wait is a sign of life: the watchdog leaves the item alone.
        ctx_.moved();
        timing.Sleep(std::min<OpsClock::duration>(kSlice, end - now));
    }
    return {};
}

namespace {

// The size of an answer's body, wherever it went.
long long BodyBytes(const Request& request, const Answer& answer) {
    if (request.file.empty() || answer.status != 200)
        return static_cast<long long>(answer.text.size());
    std::error_code ec;
    const auto size = std::filesystem::file_size(platform::PathFromUtf8(request.file), ec);
    return ec ? 0 : static_cast<long long>(size);
}

}  // namespace

Failure Exchanger::SendOnce(const Request& request, const std::string& token, Answer& answer,
                            bool& transient) {
    transient = false;
    HttpExtra extra;
    extra.headers = request.headers;
    if (!token.empty())
        extra.headers.push_back("Authorization: Bearer " + token);
    extra.responseHeaders = &answer.headers;
    extra.rawText = true;
    // OPS is served over https only: the user's proxy must carry it, as it
    // carries the publication server's http.
    extra.proxyEveryScheme = true;
    answer = Answer{};
    const bool toFile = !request.file.empty();
    const int ok = SendHttpRequest(ctx_, request.verb, request.url, request.body, answer.text,
                                   toFile ? request.file.c_str() : nullptr, toFile ? 1 : 0,
                                   &answer.status, &extra);
    if (ctx_.cancelRequested() || ctx_.aborted())
        return {FailureKind::Cancelled, {}};
    // This exchange's own outcome is judged here; the item's first failure
    // is the one Send returns, not a try that a retry made good.
    const FailureKind noted = ctx_.failure.kind;
    ctx_.failure = {};
    if (ok == 0 && noted == FailureKind::SaveFailed)
        return {FailureKind::SaveFailed, {}};
    // A refusal of a page lands in its file; its words are needed here.
    if (toFile && answer.status != 200 && ok != 0) {
        std::ifstream in(request.file, std::ios::binary);
        answer.text.assign(std::istreambuf_iterator<char>(in), {});
        answer.text.resize(std::min<std::size_t>(answer.text.size(), 64 * 1024));
    }
    if (const auto throttling = HeaderValue(answer.headers, "X-Throttling-Control"))
        session_.Observe(*throttling, RetryAfterMs(answer.headers));
    if (ctx_.Quota)
        ctx_.Quota->Observe(HeaderValue(answer.headers, "X-IndividualQuotaPerHour-Used"),
                            HeaderValue(answer.headers, "X-RegisteredQuotaPerWeek-Used"),
                            BodyBytes(request, answer));
    // No answer, a cut-off body or a server in trouble: worth another try.
    if (ok == 0 || answer.status >= 500 || answer.status == 413) {
        transient = true;
        return {answer.status == 0 ? FailureKind::Connect : FailureKind::DownloadFailed,
                answer.status == 0 ? std::string() : "HTTP " + std::to_string(answer.status)};
    }
    return {};
}

Failure Exchanger::Send(const Request& request, Answer& answer) {
    int transientTries = 0;
    int robotTries = 0;
    int blackTries = 0;
    bool renewed = false;
    auto robotWait = OpsClock::duration(kRobotFirstWait);
    auto transientWait = OpsClock::duration(kTransientFirstWait);
    for (;;) {
        if (Failure ended = session_.Ended())
            return ended;
        if (!request.service.empty()) {
            if (Failure f =
                    Wait(session_.Reserve(request.service), "throttling of " + request.service))
                return f;
        }
        const std::string token = request.service.empty() ? std::string() : session_.Token();
        bool transient = false;
        Failure failure = SendOnce(request, token, answer, transient);
        if (transient && transientTries < kTransientRetries) {
            ++transientTries;
            if (Failure f = Wait(transientWait, "a retry after a failed exchange"))
                return f;
            transientWait *= 2;
            continue;
        }
        if (failure)
            return failure;
        const std::string code = ErrorMessage(answer.text, "code");
        const std::string message = ErrorMessage(answer.text);
        const bool tokenRefused =
            message == "invalid_access_token" ||
            HeaderValue(answer.headers, "WWW-Authenticate").value_or("").find("invalid_token") !=
                std::string::npos;
        if (answer.status == 400 && tokenRefused && !request.service.empty()) {
            // Expired or invalid (OPS does not say which): one new token, one repeat.
            if (renewed)
                return {FailureKind::AuthFailed, "EPO OPS refused a fresh access token"};
            renewed = true;
            if (Failure f = session_.EnsureToken(ctx_, token))
                return f;
            continue;
        }
        if (answer.status == 401) {
            Failure f{FailureKind::AuthFailed, message};
            session_.End(f);
            return f;
        }
        if (answer.status == 403) {
            if (const auto reason = HeaderValue(answer.headers, "X-Rejection-Reason")) {
                Failure f{FailureKind::QuotaExceeded, QuotaRefresh(*reason)};
                session_.End(f);
                return f;
            }
            if (code == "CLIENT.RobotDetected") {
                if (robotTries == kRobotRepeats)
                    return {FailureKind::RobotDetected, message};
                ++robotTries;
                if (Failure f = Wait(robotWait, "a robot back-off"))
                    return f;
                robotWait *= 2;
                continue;
            }
            // A black service answers with its wait in Retry-After (also
            // when the throttling header does not say black): the next slot
            // lies beyond it.
            const auto retryAfter = RetryAfterMs(answer.headers);
            if (retryAfter && !request.service.empty() && blackTries < kBlackRepeats) {
                ++blackTries;
                session_.Suspend(request.service, std::chrono::milliseconds(*retryAfter));
                continue;
            }
        }
        return {};
    }
}

}  // namespace kestrane::ops
