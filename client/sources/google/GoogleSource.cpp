// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/google/GoogleSource.h"

#include <algorithm>
#include <thread>

#include "client/PartialStore.h"
#include "client/PublicationNumber.h"
#include "client/SafeFiles.h"
#include "client/SaveDocument.h"
#include "client/net/HttpExchange.h"
#include "client/pdf/PdfCheck.h"
#include "client/sources/google/GoogleBiblio.h"
#include "client/sources/google/HtmlTags.h"
#include "client/sources/google/LinkRule.h"
#include "util/Platform.h"
#include "util/Printable.h"

namespace kestrane {

namespace {

using Headers = HttpHeaders;

constexpr const char* kUserAgent = "Kestrane/" KESTRANE_VERSION;
constexpr const char* kProduct = "Kestrane";
// A whole publication; beyond this the item fails naming the limit.
constexpr std::size_t kMaxDocument = 512u << 20;

std::string OriginText(const google::Origin& o) {
    return o.scheme + "://" + o.host + ":" + std::to_string(o.port);
}

HttpExtra Extra(Headers* headers) {
    HttpExtra extra;
    extra.headers = {"Accept-Language: en"};
    extra.rawText = true;
    extra.userAgent = kUserAgent;
    extra.followRedirects = false;
    extra.maxFileBytes = kMaxDocument;
    extra.proxyEveryScheme = true;
    extra.responseHeaders = headers;
    return extra;
}

Failure BlockedFailure(const std::string& why) {
    Failure f{FailureKind::Blocked, why};
    f.text = "Google Patents is limiting requests from this address (" + why +
             "). Try again later, or use another source (EPO OPS or DPMAconnectPlus). The run "
             "ends here; nothing more is asked of Google Patents.";
    return f;
}

// 429, 503 or a redirect to a /sorry/ page: Google is blocking this address.
std::optional<Failure> BlockOf(long status, const Headers& headers) {
    if (status == 429 || status == 503)
        return BlockedFailure("HTTP " + std::to_string(status));
    if (status >= 300 && status < 400 &&
        HeaderValue(headers, "Location").value_or("").find("/sorry") != std::string::npos)
        return BlockedFailure("a redirect to its /sorry/ page");
    return std::nullopt;
}

// Two letters, digits and a kind code: the only pages asked for.
std::optional<std::string> PageNumber(std::string_view typed) {
    const std::string compact = CompactNumber(typed);
    std::size_t i = 0;
    while (i < compact.size() && compact[i] >= 'A' && compact[i] <= 'Z') ++i;
    if (i != 2)
        return std::nullopt;
    const std::size_t digits = i;
    while (i < compact.size() && compact[i] >= '0' && compact[i] <= '9') ++i;
    const std::string kind = compact.substr(i);
    const bool kindOk = (kind.size() == 1 && std::isupper(static_cast<unsigned char>(kind[0]))) ||
                        (kind.size() == 2 && std::isupper(static_cast<unsigned char>(kind[0])) &&
                         std::isdigit(static_cast<unsigned char>(kind[1])));
    if (i == digits || i - digits > 16 || !kindOk)
        return std::nullopt;
    return compact;
}

Failure Disallowed(const std::string& path) {
    return {FailureKind::DownloadFailed,
            "Google Patents' robots.txt does not allow " + Printable(path) + "; nothing was asked"};
}

}  // namespace

GoogleTiming GoogleTiming::Real() {
    return {[] { return Clock::now(); }, [](Clock::duration d) { std::this_thread::sleep_for(d); }};
}

std::chrono::milliseconds GoogleGap(const std::string& base, std::chrono::milliseconds asked) {
    const bool googleItself = google::OriginOf(base) == google::OriginOf(google::kDefaultBase);
    if (googleItself)
        return std::max(asked, kGoogleMinGap);
    return asked.count() > 0 ? asked : kGoogleMinGap;
}

GoogleSession::GoogleSession(GoogleConfig config, GoogleTiming timing)
    : config_(std::move(config)), timing_(std::move(timing)) {}

Failure GoogleSession::Pace(ClientContext& ctx, const std::string& origin) {
    GoogleTiming::Clock::time_point due{};
    {
        std::lock_guard lock(mu_);
        if (auto it = lastRequest_.find(origin); it != lastRequest_.end())
            due = it->second + GoogleGap(config_.Base, ctx.Requests.Gap);
    }
    for (auto now = timing_.Now(); now < due; now = timing_.Now()) {
        if (ctx.cancelRequested() || ctx.aborted())
            return {FailureKind::Cancelled, {}};
        // A polite wait is a sign of life: the watchdog leaves the item alone.
        ctx.moved();
        timing_.Sleep(std::min<GoogleTiming::Clock::duration>(kPollSlice, due - now));
    }
    std::lock_guard lock(mu_);
    lastRequest_[origin] = timing_.Now();
    return {};
}

Failure GoogleSession::Rules(ClientContext& ctx, const std::string& origin,
                             google::RobotsRules& rules) {
    {
        std::lock_guard lock(mu_);
        if (auto it = robots_.find(origin); it != robots_.end()) {
            rules = it->second;
            return {};
        }
    }
    std::string text;
    long status = 0;
    Headers headers;
    HttpExtra extra = Extra(&headers);
    extra.followRedirects = true;  // robots.txt may move; a /sorry/ redirect still reads as a block
    if (const Failure f = SendHttpRequest(ctx, "GET", origin + "/robots.txt", "", text, nullptr, 0,
                                          &status, &extra)) {
        if (f.kind == FailureKind::Cancelled)
            return f;
        Failure ends{FailureKind::Blocked, FailureCause(f.kind).data()};
        ends.text = "Google Patents' robots.txt could not be read (" +
                    std::string(FailureCause(f.kind)) +
                    "); without it Kestrane asks Google Patents for nothing. The run ends here.";
        return ends;
    }
    if (auto block = BlockOf(status, headers))
        return *block;
    if (status >= 500 || status < 200 || (status >= 300 && status < 400)) {
        Failure ends{FailureKind::Blocked, "robots.txt: HTTP " + std::to_string(status)};
        ends.text = "Google Patents' robots.txt answered HTTP " + std::to_string(status) +
                    "; without it Kestrane asks Google Patents for nothing. The run ends here.";
        return ends;
    }
    // 4xx: no rules, everything allowed.
    rules = status < 300 ? google::RobotsRules::Parse(text, kProduct) : google::RobotsRules();
    std::lock_guard lock(mu_);
    robots_[origin] = rules;
    return {};
}

void GoogleSession::MarkBlocked(const Failure& failure) {
    std::lock_guard lock(mu_);
    if (!blocked_)
        blocked_ = failure;
}

std::optional<Failure> GoogleSession::Blocked() const {
    std::lock_guard lock(mu_);
    return blocked_;
}

Failure GoogleSource::Open(ClientContext& ctx) {
    if (auto blocked = session_->Blocked())
        return *blocked;
    const auto origin = google::OriginOf(session_->Config().Base);
    if (!origin)
        return {FailureKind::Connect,
                "not an http or https address: " + Printable(session_->Config().Base)};
    google::RobotsRules rules;
    Failure f = session_->Rules(ctx, OriginText(*origin), rules);
    if (f && f.kind == FailureKind::Blocked)
        session_->MarkBlocked(f);
    return f;
}

namespace {

// One request to a Google host, after its robots.txt allowed it and its pace
// was kept. A block is noted in the session and returned.
Failure Ask(GoogleSession& session, ClientContext& ctx, const std::string& url,
            const std::string& file, std::string& text, long& status, Headers& headers,
            bool resume = false) {
    const auto origin = google::OriginOf(url);
    if (!origin)
        return {FailureKind::UnsafeName, "not an http or https address: " + Printable(url)};
    google::RobotsRules rules;
    if (Failure f = session.Rules(ctx, OriginText(*origin), rules)) {
        if (f.kind == FailureKind::Blocked)
            session.MarkBlocked(f);
        return f;
    }
    const std::string path = google::PathAndQuery(url);
    if (!rules.Allowed(path))
        return Disallowed(path);
    if (Failure f = session.Pace(ctx, OriginText(*origin)))
        return f;
    HttpExtra extra = Extra(&headers);
    extra.resumeFile = resume;
    // A range refused is asked for again whole through Ask, so the pace holds.
    extra.resumeOnceMore = false;
    const int toFile = file.empty() ? 0 : 1;
    if (Failure f = SendHttpRequest(ctx, "GET", url, "", text, toFile != 0 ? file.c_str() : nullptr,
                                    toFile, &status, &extra)) {
        if (f.kind == FailureKind::TooLarge)
            f.detail = "a document over " + std::to_string(kMaxDocument >> 20) + " MiB";
        return f;
    }
    if (auto block = BlockOf(status, headers)) {
        session.MarkBlocked(*block);
        return *block;
    }
    return {};
}

// What a patent page says: the PDF link, or why there is none; the
// bibliographic data into biblio when it is not null (from the page in hand).
Failure ReadPage(long status, const std::string& text, FoundDocument& found,
                 std::optional<Biblio>* biblio) {
    if (status == 404 || status == 410)
        return {FailureKind::NoPdf, "Google Patents has no page for this number"};
    if (status >= 300 && status < 400)
        return {FailureKind::DownloadFailed,
                "an unexpected redirect (HTTP " + std::to_string(status) + ")"};
    if (status != 200)
        return {FailureKind::DownloadFailed, "HTTP " + std::to_string(status)};
    const google::PatentPage page = google::ReadPatentPage(text);
    if (!page.hasRecord) {
        if (google::LooksBlocked(text))
            return BlockedFailure("a page about unusual traffic");
        return {FailureKind::NoPdf, "Google Patents has no page for this number"};
    }
    if (Biblio info; biblio != nullptr && BiblioFromMeta(page.meta, info))
        *biblio = std::move(info);
    if (page.pdfLink.empty())
        return {FailureKind::NoPdf, "Google Patents has no PDF of this publication"};
    found.link = page.pdfLink;
    return {};
}

}  // namespace

Failure GoogleSource::Find(ClientContext& ctx, FoundDocument& found) {
    if (auto blocked = session_->Blocked())
        return *blocked;
    const auto number = PageNumber(ctx.CurrentNumber);
    if (!number) {
        Failure f{FailureKind::BadNumber, {}};
        f.text = Printable(ctx.CurrentNumber) +
                 ": not a number Google Patents can be asked for; it needs country, number and "
                 "kind code (e.g. DE19758096C2).";
        return f;
    }
    std::string text;
    long status = 0;
    Headers headers;
    const std::string url = session_->Config().Base + "/patent/" + *number + "/en";
    if (Failure f = Ask(*session_, ctx, url, "", text, status, headers))
        return f;
    const bool wantBiblio = ctx.WantBiblio || ctx.Names.WantsBiblio();
    if (Failure f = ReadPage(status, text, found, wantBiblio ? &ctx.biblio : nullptr)) {
        if (f.kind == FailureKind::Blocked)
            session_->MarkBlocked(f);
        return f;
    }
    return {};
}

Failure GoogleSource::Fetch(ClientContext& ctx, const FoundDocument& found) {
    const std::string name = CompactNumber(ctx.CurrentNumber);
    if (Failure f = CheckDocumentName(ctx, name))
        return f;
    const auto url = google::FollowablePdfLink(found.link, session_->Config().Base);
    if (!url)
        return {FailureKind::UnsafeName,
                "the page's PDF link leads elsewhere: " + Printable(found.link)};
    ctx.progress(progress::kLookedUp);
    // With resume on, a kept download of the same link is continued (client/PartialStore.h).
    PartialFile partial(ctx.SaveFolder, "google", name, *url);
    const bool resume = ctx.Resume && partial.Open();
    const std::string file = resume ? partial.Path() : ctx.TempFolder + name + ".google";
    std::string text;
    long status = 0;
    Headers headers;
    Failure f = Ask(*session_, ctx, *url, file, text, status, headers, resume);
    if (!f && resume && status != 200 && status != 206 && !BlockOf(status, headers)) {
        // The kept part was refused (416 or another answer): the whole, once.
        f = Ask(*session_, ctx, *url, file, text, status, headers);
    }
    // Stopped short on the line: with resume on, what came stays for the next run.
    const bool stoppedShort = static_cast<bool>(f);
    // A 206 reaches here only when it continued the kept file (client/net/HttpExchange.h).
    if (!f && resume && status == 206)
        status = 200;
    if (!f && status != 200)
        f = {FailureKind::DownloadFailed, "the PDF: HTTP " + std::to_string(status)};
    if (!f && !StartsAsPdf(platform::PathFromUtf8(file)))
        f = {FailureKind::NotAPdf, "the PDF link did not give a PDF"};
    if (!f) {
        f = SaveMergedDocument(ctx, {file}, name);
        if (f && ctx.cancelRequested())
            f.kind = FailureKind::Cancelled;
    }
    if (resume && stoppedShort) {
        partial.Keep();
    } else {
        RemoveQuietly(file);
        if (resume)
            partial.Finish();
    }
    if (f)
        return f;
    ctx.progress(progress::kFull);
    return {};
}

std::function<std::unique_ptr<Source>()> GoogleSourceMaker(GoogleConfig config,
                                                           GoogleTiming timing) {
    auto session = std::make_shared<GoogleSession>(std::move(config), std::move(timing));
    return
        [session]() -> std::unique_ptr<Source> { return std::make_unique<GoogleSource>(session); };
}

Failure TestGoogleConnection(const GoogleConfig& config, const std::atomic<bool>* abort) {
    ClientContext ctx;
    ctx.Abort = abort;
    GoogleSession session(config);
    GoogleSource source(std::shared_ptr<GoogleSession>(&session, [](GoogleSession*) {}));
    return source.Open(ctx);
}

}  // namespace kestrane
