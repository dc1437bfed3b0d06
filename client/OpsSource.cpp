#include "client/OpsSource.h"

#ifndef POINTERHOLDER_TRANSITION
#define POINTERHOLDER_TRANSITION 4  // qpdf: std::shared_ptr only, no deprecated holder
#endif
#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <sstream>
#include <thread>
#include <vector>

#include "client/Documents.h"
#include "client/HttpExchange.h"
#include "client/Messages.h"
#include "client/OpsNumber.h"

namespace kestrane {

namespace {

using namespace std::chrono_literals;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kOpsNs = "http://ops.epo.org";
constexpr int kTransientRetries = 3;
constexpr auto kTransientFirstWait = 1s;
constexpr int kRobotRepeats = 2;
constexpr auto kRobotFirstWait = 2s;
constexpr int kBlackRepeats = 3;
constexpr int kMaxPages = 5000;
constexpr auto kSlice = 200ms;

// ---- Small text helpers

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

// The <message> (or <code>) text of an OPS fault or a gateway error, for the
// detail line; empty when the body is neither.
std::string ErrorMessage(const std::string& body, const char* element = "message") {
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

// ---- Namespaces: pugixml keeps prefixes as written, so resolve them here.

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string NamespaceOf(const pugi::xml_node& node) {
    const std::string_view name = node.name();
    const auto colon = name.find(':');
    const std::string attr = colon == std::string_view::npos
                                 ? std::string("xmlns")
                                 : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node n = node; n; n = n.parent()) {
        if (pugi::xml_attribute a = n.attribute(attr.c_str()))
            return a.value();
    }
    return {};
}

bool Is(const pugi::xml_node& node, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node) == local &&
           NamespaceOf(node) == kOpsNs;
}

void CollectInstances(const pugi::xml_node& node, std::vector<pugi::xml_node>& out) {
    for (pugi::xml_node child : node.children()) {
        if (Is(child, "document-instance"))
            out.push_back(child);
        else
            CollectInstances(child, out);
    }
}

// A FullDocument whose only sections are AMENDMENT is a correction sheet.
bool IsCorrectionOnly(const pugi::xml_node& instance) {
    int sections = 0;
    int amendments = 0;
    for (pugi::xml_node child : instance.children()) {
        if (!Is(child, "document-section"))
            continue;
        ++sections;
        if (std::string_view(child.attribute("name").value()) == "AMENDMENT")
            ++amendments;
    }
    return sections > 0 && sections == amendments;
}

bool OffersPdf(const pugi::xml_node& instance) {
    bool listed = false;
    for (pugi::xml_node options : instance.children()) {
        if (!Is(options, "document-format-options"))
            continue;
        for (pugi::xml_node format : options.children()) {
            if (!Is(format, "document-format"))
                continue;
            listed = true;
            if (std::string_view(format.text().as_string()) == "application/pdf")
                return true;
        }
    }
    return !listed;  // no list at all: let the page check decide
}

// The link goes into our request path: letters, digits and "/._-" only.
bool IsSafeLink(const std::string& link) {
    return !link.empty() && link.find("..") == std::string::npos && link.front() != '/' &&
           std::all_of(link.begin(), link.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' ||
                      c == '_' || c == '-';
           });
}

// ---- Pages

int PdfPageCount(const std::string& path) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(path.c_str());
        return static_cast<int>(QPDFPageDocumentHelper(pdf).getAllPages().size());
    } catch (...) {
        return -1;
    }
}

bool IsOnePagePdf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    if (!in.read(head, sizeof head) || std::string_view(head, 5) != "%PDF-")
        return false;
    return PdfPageCount(path) == 1;
}

void RemoveFiles(const std::vector<std::string>& files) {
    for (const std::string& f : files) {
        std::error_code ec;
        std::filesystem::remove(f, ec);
    }
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

// ---- One request with everything OPS asks of a client around it.

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
        if (ctx_.StillWaiting)
            ctx_.StillWaiting();
        timing.Sleep(std::min<OpsClock::duration>(kSlice, end - now));
    }
    return {};
}

Failure Exchanger::SendOnce(const Request& request, const std::string& token, Answer& answer,
                            bool& transient) {
    transient = false;
    HttpExtra extra;
    extra.headers = request.headers;
    if (!token.empty())
        extra.headers.push_back("Authorization: Bearer " + token);
    extra.responseHeaders = &answer.headers;
    extra.rawText = true;
    answer = Answer{};
    const bool toFile = !request.file.empty();
    const int ok = SendHttpRequest(ctx_, request.verb, request.url, request.body, answer.text,
                                   toFile ? request.file.c_str() : nullptr, toFile ? 1 : 0,
                                   &answer.status, &extra);
    if (ctx_.cancelRequested() || ctx_.aborted())
        return {FailureKind::Cancelled, {}};
    if (ok == 0 && ctx_.MessageText == msg::kSaveFailed)
        return {FailureKind::SaveFailed, {}};
    // A refusal of a page lands in its file; its words are needed here.
    if (toFile && answer.status != 200 && ok != 0) {
        std::ifstream in(request.file, std::ios::binary);
        answer.text.assign(std::istreambuf_iterator<char>(in), {});
        answer.text.resize(std::min<std::size_t>(answer.text.size(), 64 * 1024));
    }
    if (const auto throttling = HeaderValue(answer.headers, "X-Throttling-Control"))
        session_.Observe(*throttling, RetryAfterMs(answer.headers));
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

bool ParseToken(const std::string& json, std::string& token) {
    try {
        std::istringstream in(json);
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        token = tree.get<std::string>("access_token", "");
    } catch (...) {
        token.clear();
    }
    return !token.empty() &&
           std::none_of(token.begin(), token.end(), [](char c) { return c < 0x21 || c > 0x7E; });
}

void SetMessage(ClientContext& ctx, const Failure& failure) {
    ctx.MessageText = OpsFailureText(failure, ctx.CurrentNumber);
}

}  // namespace

// ---- Timing and the session

OpsTiming OpsTiming::Real() {
    return OpsTiming{[] { return OpsClock::now(); },
                     [](OpsClock::duration d) { std::this_thread::sleep_for(d); }};
}

std::string DefaultOpsBase() {
    const char* env = std::getenv("KESTRANE_OPS_BASE");
    std::string base = (env != nullptr && *env != '\0') ? env : kOpsDefaultBase;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
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

void OpsSession::End(const Failure& failure) {
    std::lock_guard lock(mu_);
    if (!ended_)
        ended_ = failure;
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
    {
        std::lock_guard lock(mu_);
        ++tokenRequests_;
    }
    Answer answer;
    Exchanger exchanger(*this, ctx);
    if (Failure f = exchanger.Send(request, answer))
        return f;
    if (answer.status == 200 && ParseToken(answer.text, token))
        return {};
    // 400 and 403 here are refused credentials as well; OPS's own words go along.
    Failure f{FailureKind::AuthFailed, ErrorMessage(answer.text)};
    if (f.detail.empty())
        f.detail = "HTTP " + std::to_string(answer.status);
    End(f);
    return f;
}

// ---- The source

Failure OpsSource::Open(ClientContext& ctx) {
    Failure f = session_->EnsureToken(ctx, {});
    if (f)
        SetMessage(ctx, f);
    return f;
}

Failure OpsSource::Find(ClientContext& ctx, FoundDocument& found) {
    Failure f = [&]() -> Failure {
        const auto docdb = ToDocdb(ctx.CurrentNumber);
        if (!docdb)
            return {FailureKind::BadNumber, {}};
        Request request;
        request.url = session_->Config().Base + "/rest-services/published-data/publication/docdb/" +
                      docdb->Dotted() + "/images";
        request.headers = {"Accept: application/xml"};
        request.service = "retrieval";
        Answer answer;
        Exchanger exchanger(*session_, ctx);
        if (Failure sent = exchanger.Send(request, answer))
            return sent;
        if (answer.status == 404)
            return {FailureKind::NoPdf, ErrorMessage(answer.text, "code")};
        if (answer.status != 200)
            return {FailureKind::DownloadFailed, "HTTP " + std::to_string(answer.status)};
        if (!ParseImagesInquiry(answer.text, found))
            return {FailureKind::NoPdf, "no FullDocument in the inquiry"};
        return {};
    }();
    if (f)
        SetMessage(ctx, f);
    return f;
}

Failure OpsSource::Fetch(ClientContext& ctx, const FoundDocument& found) {
    const std::string name = CompactNumber(ctx.CurrentNumber);
    std::vector<std::string> pages;
    Failure f = [&]() -> Failure {
        if (!IsSafeLink(found.link) || !IsSafeDocumentName(name))
            return {FailureKind::UnsafeName, {}};
        if (found.pageCount < 1 || found.pageCount > kMaxPages)
            return {FailureKind::TooLarge, std::to_string(found.pageCount) + " pages"};
        Exchanger exchanger(*session_, ctx);
        for (int n = 1; n <= found.pageCount; ++n) {
            Request request;
            request.url = session_->Config().Base + "/rest-services/" + found.link +
                          ".pdf?Range=" + std::to_string(n);
            request.headers = {"Accept: application/pdf"};
            request.service = "images";
            request.file = ctx.TempFolder + name + "_" + std::to_string(n) + ".pdf";
            pages.push_back(request.file);
            Answer answer;
            if (Failure sent = exchanger.Send(request, answer))
                return sent;
            if (answer.status != 200)
                return {FailureKind::DownloadFailed,
                        "page " + std::to_string(n) + ": HTTP " + std::to_string(answer.status)};
            if (!IsOnePagePdf(request.file))
                return {FailureKind::NotAPdf, "page " + std::to_string(n)};
            ctx.progress(60 + 40 * n / found.pageCount);
        }
        if (!MergePages(ctx, pages, name))
            return {ctx.cancelRequested() ? FailureKind::Cancelled : FailureKind::MergeFailed, {}};
        return {};
    }();
    if (f) {
        // The merge never sees a failed document's pages, nor does the next item.
        RemoveFiles(pages);
        SetMessage(ctx, f);
        return f;
    }
    ctx.SavedFiles.push_back(name + ".pdf");
    ctx.progress(100);
    return {};
}

std::function<std::unique_ptr<Source>()> OpsSourceMaker(OpsConfig config, OpsTiming timing) {
    auto session = std::make_shared<OpsSession>(std::move(config), std::move(timing));
    return [session]() -> std::unique_ptr<Source> { return std::make_unique<OpsSource>(session); };
}

bool ParseImagesInquiry(const std::string& xml, FoundDocument& found) {
    pugi::xml_document doc;
    if (!doc.load_buffer(xml.data(), xml.size()))
        return false;
    std::vector<pugi::xml_node> instances;
    CollectInstances(doc, instances);
    for (const pugi::xml_node& instance : instances) {
        if (std::string_view(instance.attribute("desc").value()) != "FullDocument" ||
            IsCorrectionOnly(instance) || !OffersPdf(instance))
            continue;
        const std::string link = instance.attribute("link").value();
        const int pages = instance.attribute("number-of-pages").as_int(0);
        if (link.empty() || pages < 1)
            continue;
        found.link = link;
        found.pageCount = pages;
        return true;
    }
    return false;
}

std::string OpsFailureText(const Failure& failure, const std::string& number) {
    std::string text = FailureText(failure.kind, number);
    switch (failure.kind) {
        case FailureKind::AuthFailed:
        case FailureKind::Throttled:
        case FailureKind::RobotDetected:
        case FailureKind::QuotaExceeded:
            if (!failure.detail.empty())
                text += " (" + failure.detail + ")";
            break;
        default:
            break;
    }
    return text;
}

}  // namespace kestrane
