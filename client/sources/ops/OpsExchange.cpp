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
#include "util/Base64.h"
#include "util/Platform.h"

namespace kestrane::ops {

namespace {

using namespace std::chrono_literals;

// Without --retries, a failed exchange is tried three more times, 1 s, 2 s and 4 s apart.
constexpr int kTransientRetries = 3;
constexpr std::chrono::milliseconds kTransientFirstWait = 1s;
constexpr int kRobotRepeats = 2;
constexpr auto kRobotFirstWait = 2s;
constexpr int kBlackRepeats = 3;

std::optional<long long> RetryAfterMs(const Headers& headers) {
    const auto text = HeaderValue(headers, "Retry-After");
    return text ? ParseRetryAfterMs(*text) : std::nullopt;
}

std::string Seconds(OpsClock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 100;
    // Appended piece by piece: GCC 12 takes "." + a temporary for overlapping copies.
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0)
        text.append(".").append(std::to_string(tenths % 10));
    return text.append(" s");
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

Failure Exchanger::TooLong(OpsClock::duration wait, const std::string& why) const {
    return {FailureKind::Throttled, "EPO OPS asked to wait " + Seconds(wait) + " (" + why +
                                        "), longer than the watchdog allows (" +
                                        Seconds(session_.Config().MaxWait) + ")"};
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

Verdict Exchanger::SendOnce(const Request& request, Answer& answer) {
    if (Failure ended = session_.Ended())
        return Verdict::Final(ended);
    const std::string token = request.service.empty() ? std::string() : session_.Token();
    HttpExtra extra;
    extra.headers = request.headers;
    if (!token.empty())
        extra.headers.push_back("Authorization: Bearer " + token);
    extra.responseHeaders = &answer.headers;
    extra.rawText = true;
    // OPS is served over https only: the user's proxy must carry it, as it
    // carries the publication server's http.
    extra.proxyEveryScheme = true;
    extra.maxText = request.maxText;
    answer = Answer{};
    const bool toFile = !request.file.empty();
    const HttpTry sent =
        SendHttpOnce(ctx_, request.verb, request.url, request.body, answer.text,
                     toFile ? request.file.c_str() : nullptr, toFile ? 1 : 0, &extra);
    answer.status = sent.status;
    if (ctx_.cancelRequested() || ctx_.aborted())
        return Verdict::Final({FailureKind::Cancelled, {}});
    const bool ok = sent.failure == FailureKind::None;
    if (!ok && sent.failure == FailureKind::SaveFailed)
        return Verdict::Final({FailureKind::SaveFailed, {}});
    // Asking again would only spend the quota on the same oversized answer.
    if (!ok && sent.failure == FailureKind::TooLarge) {
        const std::size_t limit =
            toFile ? kMaxPageFile : (request.maxText > 0 ? request.maxText : kMaxTextPage);
        const std::string size = limit >= (1u << 20) ? std::to_string(limit >> 20) + " MiB"
                                                     : std::to_string(limit >> 10) + " KiB";
        return Verdict::Final({FailureKind::TooLarge, "EPO OPS sent more than " + size +
                                                          ", the limit for " +
                                                          (toFile ? "a page" : "this answer")});
    }
    // A refusal of a page lands in its file; its words are needed here.
    if (toFile && answer.status != 200 && ok) {
        std::ifstream in(request.file, std::ios::binary);
        answer.text.resize(64 * 1024);
        in.read(answer.text.data(), static_cast<std::streamsize>(answer.text.size()));
        answer.text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    }
    if (const auto throttling = HeaderValue(answer.headers, "X-Throttling-Control"))
        session_.Observe(*throttling, RetryAfterMs(answer.headers));
    if (ctx_.Quota)
        ctx_.Quota->Observe(HeaderValue(answer.headers, "X-IndividualQuotaPerHour-Used"),
                            HeaderValue(answer.headers, "X-RegisteredQuotaPerWeek-Used"),
                            BodyBytes(request, answer));
    // No answer, a cut-off body or a server in trouble: worth another try.
    if (!ok || answer.status >= 500 || answer.status == 413) {
        return Verdict::Retry(
            {answer.status == 0 ? FailureKind::Connect : FailureKind::DownloadFailed,
             answer.status == 0 ? std::string() : "HTTP " + std::to_string(answer.status)});
    }
    return Classify(request, token, answer);
}

// An answer with a status: what OPS's refusals ask of the client.
Verdict Exchanger::Classify(const Request& request, const std::string& token,
                            const Answer& answer) {
    const std::string code = ErrorMessage(answer.text, "code");
    const std::string message = ErrorMessage(answer.text);
    const bool tokenRefused =
        message == "invalid_access_token" ||
        HeaderValue(answer.headers, "WWW-Authenticate").value_or("").find("invalid_token") !=
            std::string::npos;
    if (answer.status == 400 && tokenRefused && !request.service.empty()) {
        // Expired or invalid (OPS does not say which): one new token, one
        // repeat. A fresh token refused as well fails this request only.
        if (renewed_)
            return Verdict::Final(
                {FailureKind::AuthFailed, "EPO OPS refused a fresh access token"});
        renewed_ = true;
        if (Failure f = EnsureToken(token))
            return Verdict::Final(f);
        return Verdict::After({}, "a renewed access token");
    }
    if (answer.status == 401)
        return Verdict::End(session_.End({FailureKind::AuthFailed, message}));
    if (answer.status == 403) {
        if (const auto reason = HeaderValue(answer.headers, "X-Rejection-Reason"))
            return Verdict::End(session_.End({FailureKind::QuotaExceeded, QuotaRefresh(*reason)}));
        if (code == "CLIENT.RobotDetected") {
            if (robotTries_ == kRobotRepeats)
                return Verdict::Final({FailureKind::RobotDetected, message});
            ++robotTries_;
            const auto wait = robotWait_;
            robotWait_ *= 2;
            return Verdict::After(wait, "a robot back-off");
        }
        // A black service answers with its wait in Retry-After (also when the
        // throttling header does not say black): the next slot lies beyond it.
        const auto retryAfter = RetryAfterMs(answer.headers);
        if (retryAfter && !request.service.empty() && blackTries_ < kBlackRepeats) {
            ++blackTries_;
            session_.Suspend(request.service, std::chrono::milliseconds(*retryAfter));
            return Verdict::After({}, "a black period");
        }
    }
    return Verdict::Done();
}

Failure Exchanger::Send(const Request& request, Answer& answer) {
    renewed_ = false;
    robotTries_ = 0;
    blackTries_ = 0;
    robotWait_ = kRobotFirstWait;
    RetryRules rules = RunRetryRules(ctx_, kTransientRetries);
    rules.FirstWait = kTransientFirstWait;
    rules.MaxWait = session_.Config().MaxWait;
    rules.TooLong = [this](OpsClock::duration wait, const std::string& why) {
        return TooLong(wait, why);
    };
    rules.Clock = session_.Timing();
    Tries tries;
    if (!request.service.empty()) {
        tries.Slot = [this, &request] { return session_.Reserve(request.service); };
        tries.SlotWhy = "throttling of " + request.service;
    }
    tries.Once = [&] { return SendOnce(request, answer); };
    return RunTries(ctx_, rules, tries);
}

Failure Exchanger::EnsureToken(const std::string& stale) {
    auto renewal = session_.HoldRenewal();
    if (Failure ended = renewal.Ended())
        return ended;
    if (renewal.Serves(stale))
        return {};
    std::string token;
    if (Failure f = FetchToken(renewal, token))
        return f;
    renewal.Keep(std::move(token));
    return {};
}

Failure Exchanger::FetchToken(OpsSession::Renewal& renewal, std::string& token) {
    Request request;
    request.verb = "POST";
    request.url = session_.Config().Base + "/auth/accesstoken";
    request.body = "grant_type=client_credentials";
    request.headers = {"Authorization: Basic " +
                           base64::Encode(session_.Config().Key + ":" + session_.Config().Secret),
                       "Content-Type: application/x-www-form-urlencoded",
                       "Accept: application/json"};
    request.maxText = kMaxTokenAnswer;
    renewal.CountRequest();
    Answer answer;
    // Its own exchanger: a renewal asked for from Classify must leave the
    // repeats of the request in flight as they are.
    Exchanger exchanger(session_, ctx_);
    if (Failure f = exchanger.Send(request, answer))
        return f;
    if (answer.status == 200 && ParseTokenAnswer(answer.text, token))
        return {};
    // 400 and 403 here are refused credentials as well; OPS's own words go along.
    Failure f{FailureKind::AuthFailed, ErrorMessage(answer.text)};
    if (f.detail.empty())
        f.detail = "HTTP " + std::to_string(answer.status);
    return session_.End(std::move(f));
}

}  // namespace kestrane::ops
