// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in publication server, driven over loopback the way the client
// drives the real one: session cookie, search, hit, viewer, navigation, page
// PDFs, plus its faults, latency, request log and command-line program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "client/pdf/QpdfMerge.h"
#include "client/sources/classic/Scrape.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace kestrane::pubserver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ServerFixture;

const char* kAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)";
const std::string kSearchHead =
    "/DPMApublikationen/lst_pat_xpt.do?sent=1&type=OS&type=PS&type=GBM&type=EP&type=WO&type=ZE"
    "&type=TO&type=DD&type=UB&selectstatus=1&query=pn=";
const std::string kSearchTail = "&cols=pn&cols=ti&cols=nr&sf=sort_standard&so=asc&rpp=250";

std::optional<std::string> Find(const char* pattern, const std::string& text) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern, std::regex::icase)))
        return std::nullopt;
    return m[1].str();
}

bool Matches(const char* pattern, const std::string& text) {
    return std::regex_search(text, std::regex(pattern, std::regex::icase));
}

std::string Amp(std::string s) {
    for (size_t at = 0; (at = s.find("&amp;", at)) != std::string::npos; ++at)
        s.replace(at, 5, "&");
    return s;
}

std::string Encode(const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        if (std::isalnum(c) != 0) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// A browser session as the client keeps it: one keep-alive connection and the cookie.
struct Browser {
    explicit Browser(const std::string& base, int readTimeoutSec = 10) : http(base) {
        http.set_read_timeout(readTimeoutSec, 0);
        http.set_keep_alive(true);
        http.set_url_encode(false);
        http.set_decompress(false);
    }
    httplib::Headers Headers() const {
        httplib::Headers h{{"User-Agent", kAgent}, {"Accept-Language", "en-us,en;q=0.5"}};
        if (!cookie.empty())
            h.emplace("Cookie", cookie);
        return h;
    }
    bool Start() {
        auto r = http.Get("/DPMApublikationen/start.do", Headers());
        if (!r || r->body.empty())
            return false;
        const std::string set = r->get_header_value("Set-Cookie");
        cookie = set.substr(0, set.find(';'));
        return cookie.rfind("JSESSIONID=", 0) == 0;
    }
    httplib::Result Search(const std::string& number) {
        return http.Post(kSearchHead + Encode(number) + kSearchTail, Headers(), "", "");
    }
    std::string Get(const std::string& link) {
        auto r = http.Get(Amp(link), Headers());
        return r ? r->body : "";
    }
    httplib::Client http;
    std::string cookie;
};

// Follows a document's viewer pages to the end, as the client does; returns its page PDFs.
std::vector<std::string> WalkDocument(Browser& b, std::string viewer) {
    std::vector<std::string> pdfs;
    for (int guard = 0; guard < 50; ++guard) {
        const auto pdf = Find(kPagePdfPattern, viewer);
        const auto nav = Find(kNavigationPattern, viewer);
        if (!pdf || !nav) {
            ADD_FAILURE() << "viewer page without links:\n" << viewer;
            break;
        }
        pdfs.push_back(b.Get(*pdf));
        const auto next = Find(kNextPagePattern, b.Get(*nav));
        if (!next)
            break;
        viewer = b.Get(*next);
    }
    return pdfs;
}

std::string FirstHitPage(Browser& b, const std::string& number) {
    auto r = b.Search(number);
    const auto link = r ? Find(kHitLinkPattern, r->body) : std::nullopt;
    return link ? b.Get(*link) : "";
}

void ExpectPdfPages(const std::vector<std::string>& pdfs, const std::string& name) {
    test::TempDir dir;
    for (size_t i = 0; i < pdfs.size(); ++i) {
        const std::string file = dir.str() + "/p" + std::to_string(i + 1) + ".pdf";
        test::WriteFile(file, pdfs[i]);
        EXPECT_EQ(test::PdfPageCount(file), 1);
        EXPECT_NE(test::PdfPageText(file, 1).find(name + " page " + std::to_string(i + 1) + " of " +
                                                  std::to_string(pdfs.size())),
                  std::string::npos)
            << file;
    }
}

// Wakes a test when the server has seen a given number of requests.
struct RequestWaiter {
    explicit RequestWaiter(PubServer& server) {
        server.SetRequestObserver([this](const RequestLogEntry&) {
            std::lock_guard lock(mu);
            ++seen;
            cv.notify_all();
        });
    }
    bool WaitFor(int n) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, 10s, [&] { return seen >= n; });
    }
    std::mutex mu;
    std::condition_variable cv;
    int seen = 0;  // guarded by mu
};

// Sends request text on a fresh connection and reads until the server closes it.
std::string RawExchange(int port, const std::string& request) {
    struct Fd {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ~Fd() { ::close(fd); }
    } s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return "";
    timeval tv{10, 0};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::send(s.fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return "";
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(s.fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

TEST(PubServerSession, PagesNeedTheSessionCookieAndSearchFindsExactNumbers) {
    ServerFixture f;
    Browser b(f.server.BaseUrl());
    // Without a cookie every page is a dead end: no link to follow and no no-match notice.
    auto noSession = b.Search(kSeveralPages);
    ASSERT_TRUE(noSession);
    EXPECT_FALSE(Find(kHitLinkPattern, noSession->body));
    EXPECT_FALSE(Matches(kNoMatchPattern, noSession->body));
    EXPECT_FALSE(
        Find(kPagePdfPattern, b.Get("/DPMApublikationen/pdf_any_pgd.do?pn=DE19758096C2&hit=1")));

    ASSERT_TRUE(b.Start());
    for (const char* number : {kSeveralPages, kSelectionNumber, kManyPages}) {
        auto r = b.Search(number);
        ASSERT_TRUE(r);
        const auto first = Find(kHitLinkPattern, r->body);
        ASSERT_TRUE(first) << number;
        EXPECT_NE(first->find("&amp;"), std::string::npos);
        // A second hit follows the first, and it is not a way to the document.
        const auto second = Find(kHitLinkPattern, r->body.substr(r->body.find(*first) + 1));
        ASSERT_TRUE(second);
        EXPECT_FALSE(Find(kPagePdfPattern, b.Get(*second)));
        EXPECT_FALSE(Matches(kNoMatchPattern, r->body));
    }
    // Matching is exact: letter case and blanks count.
    for (const char* number : {"de19758096c2", "DE19758096C2 ", "DE1975809"}) {
        auto r = b.Search(number);
        ASSERT_TRUE(r);
        EXPECT_NE(r->body.find("The database query returned no matches."), std::string::npos);
        EXPECT_FALSE(Find(kHitLinkPattern, r->body));
    }
}

TEST(PubServerSession, EncodedNumbersArriveExactlyAsTyped) {
    ServerOptions options;
    options.syntheticPages = 1;
    ServerFixture f(options);
    Browser b(f.server.BaseUrl());
    ASSERT_TRUE(b.Start());
    const std::vector<std::string> numbers = {"DE 1975 8096", "A&type=X#frag", "1+1=2%25",
                                              "M\xC3\xBCller\xE2\x82\xAC", "x:y/z?"};
    for (const auto& number : numbers) {
        const auto pdfs = WalkDocument(b, FirstHitPage(b, number));
        ASSERT_EQ(pdfs.size(), 1u) << number;
        ExpectPdfPages(pdfs, number);
    }
    std::vector<std::string> searched;
    for (const auto& e : f.server.RequestLog())
        if (!e.queryNumber.empty())
            searched.push_back(e.queryNumber);
    EXPECT_EQ(searched, numbers);
}

TEST(PubServerDocuments, ChainsOfViewerPagesDeliverEveryPageInOrder) {
    ServerFixture f;
    Browser b(f.server.BaseUrl());
    ASSERT_TRUE(b.Start());
    const auto pages = WalkDocument(b, FirstHitPage(b, kSeveralPages));
    ASSERT_EQ(pages.size(), static_cast<size_t>(kSeveralPagesCount));
    ExpectPdfPages(pages, kSeveralPages);

    const auto many = WalkDocument(b, FirstHitPage(b, kManyPages));
    ASSERT_EQ(many.size(), static_cast<size_t>(kManyPagesCount));
    ExpectPdfPages(many, kManyPages);
}

TEST(PubServerDocuments, SelectionListsItsDocumentsByDocIdNormed) {
    ServerFixture f;
    Browser b(f.server.BaseUrl());
    ASSERT_TRUE(b.Start());
    const std::string selection = FirstHitPage(b, kSelectionNumber);
    EXPECT_EQ(Find(kHitCountPattern, selection), "2");
    std::regex link("\"(/DPMApublikationen/pdf_any_pgd[^\"]*docIdNormed=([^&\"]*)&[^\"]*)\"");
    std::vector<std::pair<std::string, std::string>> links;
    for (std::sregex_iterator it(selection.begin(), selection.end(), link), end; it != end; ++it)
        links.emplace_back((*it)[1], (*it)[2]);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].second, kSelectionDocA);
    EXPECT_EQ(links[1].second, kSelectionDocB);
    const auto a = WalkDocument(b, b.Get(links[0].first));
    ASSERT_EQ(a.size(), static_cast<size_t>(kSelectionDocAPages));
    ExpectPdfPages(a, kSelectionDocA);
    const auto bDoc = WalkDocument(b, b.Get(links[1].first));
    ASSERT_EQ(bDoc.size(), static_cast<size_t>(kSelectionDocBPages));
    ExpectPdfPages(bDoc, kSelectionDocB);
}

TEST(PubServerDocuments, SyntheticPagesHaveTheAskedSizeAndMerge) {
    ServerOptions options;
    options.syntheticPages = 2;
    options.syntheticKb = 120;
    ServerFixture f(options);
    Browser b(f.server.BaseUrl());
    ASSERT_TRUE(b.Start());
    const auto pages = WalkDocument(b, FirstHitPage(b, "SYNTH1"));
    ASSERT_EQ(pages.size(), 2u);
    ExpectPdfPages(pages, "SYNTH1");
    for (const auto& pdf : pages) {
        EXPECT_GT(pdf.size(), 60u * 1024);
        EXPECT_LT(pdf.size(), 240u * 1024);
    }
    test::TempDir dir;
    test::WriteFile(dir.str() + "/1.pdf", pages[0]);
    test::WriteFile(dir.str() + "/2.pdf", pages[1]);
    const MergeResult merged =
        QpdfMerge({dir.str() + "/1.pdf", dir.str() + "/2.pdf"}, dir.str() + "/all.pdf", nullptr);
    EXPECT_TRUE(merged.ok()) << merged.output;
    EXPECT_EQ(test::PdfPageCount(dir.str() + "/all.pdf"), 2);
    EXPECT_NE(test::PdfPageText(dir.str() + "/all.pdf", 2).find("SYNTH1 page 2 of 2"),
              std::string::npos);
}

TEST(PubServerDocuments, AbsoluteFormTargetsAreServedAndLoggedAsSent) {
    ServerFixture f;
    const std::string host = "127.0.0.1:" + std::to_string(f.server.Port());
    const std::string start = "http://" + host + "/DPMApublikationen/start.do";
    const std::string reply =
        RawExchange(f.server.Port(), "GET " + start + " HTTP/1.1\r\nHost: " + host +
                                         "\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    const size_t at = reply.find("JSESSIONID=");
    ASSERT_NE(at, std::string::npos);
    const std::string cookie = reply.substr(at, reply.find(';', at) - at);
    const std::string search = "http://" + host + kSearchHead + kSeveralPages + kSearchTail;
    const std::string hits = RawExchange(
        f.server.Port(), "POST " + search + " HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + cookie +
                             "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(Find(kHitLinkPattern, hits));
    const auto log = f.server.RequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].target, start);
    EXPECT_EQ(log[0].path, "/DPMApublikationen/start.do");
    EXPECT_EQ(log[1].queryNumber, kSeveralPages);
    EXPECT_TRUE(log[1].hasSessionCookie);
}

TEST(PubServerFaults, PageFaultsShapeTheAnswer) {
    ServerFixture f;
    PubServer& s = f.server;
    s.AddFault("NOSUCH", {Stage::Search, FaultKind::EmptyBody});
    s.AddFault(kSeveralPages, {Stage::PagePdf, FaultKind::HtmlInsteadOfPdf, 2});
    s.AddFault(kSeveralPages, {Stage::Navigation, FaultKind::MissingLink, 2});
    s.AddFault(kManyPages, {Stage::Search, FaultKind::MissingLink});
    s.AddFault(kManyPages, {Stage::Hit, FaultKind::CountMismatch});
    s.AddFault(kSelectionNumber, {Stage::Hit, FaultKind::HostileNames});
    s.AddFault("*", {Stage::Viewer, FaultKind::ErrorPage, 7});
    Browser b(s.BaseUrl());
    ASSERT_TRUE(b.Start());

    auto empty = b.Search("NOSUCH");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 200);
    EXPECT_TRUE(empty->body.empty());

    // Page 2's PDF is an HTML page, and page 2's navigation ends the document early.
    const auto pages = WalkDocument(b, FirstHitPage(b, kSeveralPages));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].rfind("%PDF", 0), 0u);
    EXPECT_NE(pages[1].find("<html"), std::string::npos);

    auto noLink = b.Search(kManyPages);
    ASSERT_TRUE(noLink);
    EXPECT_FALSE(Find(kHitLinkPattern, noLink->body));
    EXPECT_FALSE(Matches(kNoMatchPattern, noLink->body));

    const std::string count =
        b.Get("/DPMApublikationen/pdf_any_pgd.do?action=pdf&pn=DE102006026208A1&hit=1");
    EXPECT_EQ(Find(kHitCountPattern, count), "2");
    EXPECT_NE(count.find("docIdNormed=DE102006026208A1&amp;"), std::string::npos);

    const std::string hostile = FirstHitPage(b, kSelectionNumber);
    EXPECT_EQ(Find(kHitCountPattern, hostile), "4");
    for (const char* name : {"../../evil", "a/b", "..", "x\\y"})
        EXPECT_NE(hostile.find(std::string("docIdNormed=") + name + "&amp;"), std::string::npos)
            << name;

    auto error =
        b.http.Get("/DPMApublikationen/pdf_any_pgd.do?pn=DE102006026208A1&d=0&page=7", b.Headers());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status, 500);
    EXPECT_FALSE(error->body.empty());
    EXPECT_FALSE(Find(kPagePdfPattern, error->body));
}

TEST(PubServerFaults, MoreFaultsByStage) {
    ServerFixture f;
    PubServer& s = f.server;
    s.AddFault(kSeveralPages, {Stage::Viewer, FaultKind::MissingLink, 2});
    s.AddFault(kSelectionNumber, {Stage::Hit, FaultKind::NoMatch});
    s.AddFault(kManyPages, {Stage::Hit, FaultKind::MissingLink});
    Browser b(s.BaseUrl());
    ASSERT_TRUE(b.Start());
    const std::string viewer2 =
        b.Get("/DPMApublikationen/pdf_any_pgd.do?pn=DE19758096C2&d=0&page=2");
    EXPECT_TRUE(Find(kPagePdfPattern, viewer2));
    EXPECT_FALSE(Find(kNavigationPattern, viewer2));
    EXPECT_TRUE(Matches(kNoMatchPattern, FirstHitPage(b, kSelectionNumber)));
    const std::string first = FirstHitPage(b, kManyPages);
    EXPECT_TRUE(Find(kPagePdfPattern, first));
    EXPECT_FALSE(Find(kNavigationPattern, first));

    s.AddFault("any", {Stage::Session, FaultKind::ErrorPage});
    auto start = b.http.Get("/DPMApublikationen/start.do", b.Headers());
    ASSERT_TRUE(start);
    EXPECT_EQ(start->status, 500);
}

TEST(PubServerFaults, TruncatedAndDrippedBodies) {
    ServerFixture f;
    PubServer& s = f.server;
    s.AddFault(kSeveralPages, {Stage::PagePdf, FaultKind::Truncated, 1});
    Browser b(s.BaseUrl());
    ASSERT_TRUE(b.Start());

    // Truncated: the announced length is never reached and the connection closes.
    const std::string reply =
        RawExchange(s.Port(),
                    "GET /DPMApublikationen/schriften/x.pdf?pn=DE19758096C2&d=0&page=1 HTTP/1.1\r\n"
                    "Host: x\r\nCookie: " +
                        b.cookie + "\r\n\r\n");
    const size_t headerEnd = reply.find("\r\n\r\n");
    const size_t lengthAt = reply.find("Content-Length: ");
    ASSERT_NE(headerEnd, std::string::npos);
    ASSERT_NE(lengthAt, std::string::npos);
    const size_t announced = std::stoul(reply.substr(lengthAt + 16));
    const size_t received = reply.size() - headerEnd - 4;
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, announced);

    // SlowDrip: the same page as without the fault, in many small pieces.
    const std::string normal = b.Search(kManyPages)->body;
    s.AddFault(kManyPages, {Stage::Search, FaultKind::SlowDrip});
    std::string dripped;
    int pieces = 0;
    auto r = b.http.Get(kSearchHead + kManyPages + kSearchTail, b.Headers(),
                        [&](const char* data, size_t n) {
                            dripped.append(data, n);
                            ++pieces;
                            return true;
                        });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Transfer-Encoding"), "chunked");
    EXPECT_GT(pieces, 10);
    EXPECT_EQ(dripped, normal);
}

TEST(PubServerFaults, StallBlocksOneRequestOnlyAndStopEndsIt) {
    auto server = std::make_unique<PubServer>();
    ASSERT_TRUE(server->Start());
    RequestWaiter waiter(*server);
    server->AddFault(kSeveralPages, {Stage::Hit, FaultKind::Stall});
    Browser b(server->BaseUrl(), 1);
    ASSERT_TRUE(b.Start());
    const std::string hit = "/DPMApublikationen/pdf_any_pgd.do?action=pdf&pn=DE19758096C2&hit=1";
    auto timedOut = b.http.Get(hit, b.Headers());
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(timedOut.error(), httplib::Error::Read);

    // Another request is served while a stalled one waits; Stop() ends the stall at once.
    std::atomic<bool> stalledEnded{false};
    std::thread stalled([&] {
        Browser other(server->BaseUrl(), 60);
        other.cookie = b.cookie;
        other.http.Get(hit, other.Headers());
        stalledEnded = true;
    });
    ASSERT_TRUE(waiter.WaitFor(3));
    Browser third(server->BaseUrl());
    third.cookie = b.cookie;
    EXPECT_TRUE(Find(kHitLinkPattern, third.Search(kSeveralPages)->body));
    const auto before = Clock::now();
    server->Stop();
    stalled.join();
    EXPECT_TRUE(stalledEnded);
    EXPECT_LT(Clock::now() - before, 5s);
}

TEST(PubServerTiming, RoundTripsAndLatencyDelayAndStopInterruptsThem) {
    ServerOptions options;
    options.rtt = 200ms;
    ServerFixture f(options);
    Browser b(f.server.BaseUrl());
    auto t0 = Clock::now();
    ASSERT_TRUE(b.Start());
    // A new connection pays for its handshake: two round trips.
    EXPECT_GE(Clock::now() - t0, 400ms);
    t0 = Clock::now();
    ASSERT_TRUE(b.Search(kSeveralPages));
    EXPECT_GE(Clock::now() - t0, 200ms);
    EXPECT_EQ(f.server.ConnectionCount(), 1);

    ServerOptions slow;
    slow.latency = 60s;
    auto server = std::make_unique<PubServer>(slow);
    ASSERT_TRUE(server->Start());
    RequestWaiter waiter(*server);
    std::thread waiting([&] { Browser(server->BaseUrl(), 120).Start(); });
    ASSERT_TRUE(waiter.WaitFor(1));
    const auto before = Clock::now();
    server->Stop();
    waiting.join();
    EXPECT_LT(Clock::now() - before, 5s);
}

TEST(PubServerLog, RecordsEveryRequestAndCountsConnections) {
    ServerFixture f;
    Browser b(f.server.BaseUrl());
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.Search("DE 123&x"));
    ASSERT_TRUE(b.Search(kSeveralPages));
    Browser other(f.server.BaseUrl());
    other.cookie = b.cookie;
    ASSERT_TRUE(other.Search(kSeveralPages));
    const auto log = f.server.RequestLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_FALSE(log[0].hasSessionCookie);
    EXPECT_EQ(log[1].method, "POST");
    EXPECT_EQ(log[1].path, "/DPMApublikationen/lst_pat_xpt.do");
    EXPECT_EQ(log[1].target, kSearchHead + "DE%20123%26x" + kSearchTail);
    EXPECT_EQ(log[1].queryNumber, "DE 123&x");
    EXPECT_EQ(log[1].userAgent, kAgent);
    EXPECT_EQ(log[1].acceptLanguage, "en-us,en;q=0.5");
    EXPECT_TRUE(log[1].hasSessionCookie);
    EXPECT_EQ(log[0].clientPort, log[2].clientPort);
    EXPECT_NE(log[0].clientPort, log[3].clientPort);
    EXPECT_EQ(f.server.ConnectionCount(), 2);
    f.server.ClearRequestLog();
    EXPECT_TRUE(f.server.RequestLog().empty());
}

TEST(PubServerFaults, ParseFaultReadsFromTheRight) {
    std::string number;
    Fault fault{};
    ASSERT_TRUE(ParseFault("DE19758096C2:pdf:truncated:3", number, fault));
    EXPECT_EQ(number, "DE19758096C2");
    EXPECT_EQ(fault.stage, Stage::PagePdf);
    EXPECT_EQ(fault.kind, FaultKind::Truncated);
    EXPECT_EQ(fault.page, 3);
    ASSERT_TRUE(ParseFault("A:1:hit:stall", number, fault));
    EXPECT_EQ(number, "A:1");
    EXPECT_EQ(fault.stage, Stage::Hit);
    EXPECT_EQ(fault.page, 0);
    ASSERT_TRUE(ParseFault("X:2:search:nomatch:12", number, fault));
    EXPECT_EQ(number, "X:2");
    EXPECT_EQ(fault.page, 12);
    for (const char* bad : {"", "hit:stall", ":hit:stall", "N:hit:sleep", "N:page:stall",
                            "N:pdf:stall:0", "N:pdf:stall:-1"})
        EXPECT_FALSE(ParseFault(bad, number, fault)) << bad;
}

std::string ServerProgram() {
    const char* dir = std::getenv("KESTRANE_BIN_DIR");
    const auto bin = dir != nullptr
                         ? std::filesystem::path(dir)
                         : std::filesystem::canonical("/proc/self/exe").parent_path().parent_path();
    return (bin / "server" / "kestrane-pubserver").string();
}

TEST(PubServerProgram, PrintsItsUrlLogsRequestsAndStopsOnSigterm) {
    test::TempDir dir;
    const std::string logFile = dir.str() + "/requests.log";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = ServerProgram();
    std::vector<std::string> args = {
        program, "--port", "0", "--log", logFile, "--fault", "DE19758096C2:search:nomatch"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(spawned, 0) << program;
    FILE* stream = ::fdopen(out[0], "r");
    char line[256] = {};
    const bool gotLine = std::fgets(line, sizeof line, stream) != nullptr;
    std::string url = line;
    if (!url.empty() && url.back() == '\n')
        url.pop_back();
    if (gotLine) {
        EXPECT_TRUE(std::regex_match(url, std::regex("http://127\\.0\\.0\\.1:[0-9]+"))) << url;
        Browser b(url);
        EXPECT_TRUE(b.Start());
        EXPECT_TRUE(Matches(kNoMatchPattern, b.Search(kSeveralPages)->body));
        Browser other(url);
        other.cookie = b.cookie;
        EXPECT_TRUE(Find(kHitLinkPattern, other.Search(kManyPages)->body));
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::fclose(stream);
    ASSERT_TRUE(gotLine);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::ifstream in(logFile);
    std::vector<std::vector<std::string>> rows;
    for (std::string row; std::getline(in, row);) {
        std::vector<std::string> fields;
        std::stringstream ss(row);
        for (std::string field; std::getline(ss, field, '\t');) fields.push_back(field);
        rows.push_back(fields);
    }
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) ASSERT_EQ(row.size(), 8u);
    EXPECT_EQ(rows[1][0], "POST");
    EXPECT_EQ(rows[1][5], "1");
    EXPECT_EQ(rows[1][6], kSeveralPages);
    EXPECT_EQ(rows[2][6], kManyPages);
    EXPECT_EQ(std::set<std::string>({rows[0][7], rows[1][7], rows[2][7]}).size(), 2u);
}

}  // namespace
}  // namespace kestrane::pubserver
