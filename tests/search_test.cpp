// SPDX-License-Identifier: GPL-3.0-or-later
// Session start and search: the exact request, the first link in page order,
// "&amp;" handling, the no-match page, and the session against the stand-in server.
#include "client/sources/classic/Search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/regex.hpp>
#include <chrono>
#include <map>
#include <random>
#include <vector>

#include "client/Messages.h"
#include "client/net/HttpExchange.h"
#include "client/sources/classic/Scrape.h"
#include "server/PubServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

using test::ScriptedServer;

const char* kQueryHead =
    "/DPMApublikationen/lst_pat_xpt.do?sent=1&type=OS&type=PS&type=GBM&type=EP&type=WO&type=ZE"
    "&type=TO&type=DD&type=UB&selectstatus=1&query=pn=";
const char* kQueryTail = "&cols=pn&cols=ti&cols=nr&sf=sort_standard&so=asc&rpp=250";

class SearchTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::atomic<bool> cancel{false};
};

// What a search found: the link ("" when none) and the user's text of its failure.
struct Searched {
    std::string link;
    std::string message;
};

Searched Search(ClientContext& ctx) {
    Searched found;
    if (const Failure f = SearchPatent(ctx, found.link))
        found.message = FailureText(f, ctx.CurrentNumber);
    return found;
}

// The hit list a scripted server answers with, whatever was asked.
Searched SearchWith(const std::string& hitList, const std::string& number) {
    ScriptedServer server([&](const httplib::Request&, httplib::Response& res) {
        res.set_content(hitList, "text/html");
    });
    test::TempDir dir;
    ClientContext ctx = test::MakeContext(server.Base(), dir.str(), number);
    Searched found = Search(ctx);
    if (!found.link.empty())
        found.link.replace(0, server.Base().size(), "BASE");
    return found;
}

TEST_F(SearchTest, TheQueryCarriesTheNumberExactlyAsTyped) {
    EXPECT_EQ(std::string("B") + kQueryHead + "DE19758096C2" + kQueryTail,
              BuildSearchUrl("B", "DE19758096C2"));
    // Blanks, form delimiters and non-ASCII bytes cannot break the request or add fields.
    EXPECT_EQ(std::string("B") + kQueryHead + "%20%20de%201%262%233%2B4%255%C3%BC" + kQueryTail,
              BuildSearchUrl("B", "  de 1&2#3+4%5\xC3\xBC"));
}

TEST_F(SearchTest, TheFirstLinkInPageOrderWinsWithEveryAmpReplaced) {
    const std::string page =
        "<a href='/DPMApublikationen/pdf_any_pgd.do?single=quoted'>x</a>"
        "<a href=\"/other/link\">y</a>"
        "<A HREF=\"/DPMAPUBLIKATIONEN/PDF_ANY_PGD.do?a=1&amp;b=2&amp;c=&amp;amp;\">first</A>"
        "<a href=\"/DPMApublikationen/pdf_any_pgd.do?second=1\">second</a>";
    // Case does not matter for finding it; the path keeps the page's case.
    EXPECT_EQ("BASE/DPMAPUBLIKATIONEN/PDF_ANY_PGD.do?a=1&b=2&c=&amp;",
              SearchWith(page, "DE1").link);
}

TEST_F(SearchTest, AHitListWithoutADoubleQuotedLinkHasNoPdf) {
    const Searched found =
        SearchWith("<a href='/DPMApublikationen/pdf_any_pgd.do?x=1'>only</a>", "DE19758096C2");
    EXPECT_EQ("", found.link);
    EXPECT_EQ("No PDF for DE19758096C2", found.message);
}

TEST_F(SearchTest, TheNoMatchPageIsANonexistentPatent) {
    const Searched found = SearchWith("<p>The database query returned no matches.</p>", "DE0");
    EXPECT_EQ("", found.link);
    EXPECT_EQ(msg::kNoSuchPatent, found.message);
}

TEST_F(SearchTest, ACancelDuringTheSearchIsReportedAsSuch) {
    ScriptedServer server([&](const httplib::Request&, httplib::Response& res) {
        cancel = true;  // confirmed while the hit list is on its way
        res.set_content("<a href=\"/DPMApublikationen/pdf_any_pgd.do?x\">", "text/html");
    });
    ClientContext ctx = test::MakeContext(server.Base(), dir.str(), "DE1");
    ctx.CancelRequested = &cancel;
    const Searched found = Search(ctx);
    EXPECT_EQ("", found.link);
    EXPECT_EQ(msg::kCancelled, found.message);
}

TEST_F(SearchTest, TheSessionCookieGoesWithTheSearchOnTheStandInServer) {
    test::ServerFixture fixture;
    auto& server = fixture.server;
    ClientContext ctx = test::MakeContext(server.BaseUrl(), dir.str(), "  DE 19758096&C2");
    ASSERT_FALSE(StartSession(ctx));
    EXPECT_EQ("", Search(ctx).link) << "the odd number is unknown";

    ctx.CurrentNumber = pubserver::kSeveralPages;
    const std::string url = Search(ctx).link;
    EXPECT_EQ(0u, url.rfind(server.BaseUrl() + "/DPMApublikationen/pdf_any_pgd", 0)) << url;
    EXPECT_EQ(std::string::npos, url.find("&amp;"));

    const auto log = server.RequestLog();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("GET", log[0].method);
    EXPECT_EQ("/DPMApublikationen/start.do", log[0].path);
    EXPECT_EQ("POST", log[1].method);
    EXPECT_EQ("  DE 19758096&C2", log[1].queryNumber) << "received exactly as typed";
    EXPECT_EQ(pubserver::kSeveralPages, log[2].queryNumber);
    for (std::size_t i = 1; i < log.size(); ++i) EXPECT_TRUE(log[i].hasSessionCookie);
    for (const auto& entry : log) {
        EXPECT_EQ(kUserAgent, entry.userAgent);
        EXPECT_EQ("en-us,en;q=0.5", entry.acceptLanguage);
    }
}

TEST_F(SearchTest, WithoutASessionTheServerOffersNoLink) {
    test::ServerFixture fixture;
    ClientContext ctx =
        test::MakeContext(fixture.server.BaseUrl(), dir.str(), pubserver::kSeveralPages);
    const Searched found = Search(ctx);
    EXPECT_EQ("", found.link);
    EXPECT_EQ(std::string("No PDF for ") + pubserver::kSeveralPages, found.message);
}

TEST_F(SearchTest, AServerThatIsNotThereFailsTheSessionStart) {
    int port;
    {
        test::ServerFixture gone;
        port = gone.server.Port();
    }
    ClientContext ctx =
        test::MakeContext("http://127.0.0.1:" + std::to_string(port), dir.str(), "DE1");
    const Failure f = StartSession(ctx);
    EXPECT_EQ(msg::kConnectFailed, FailureText(f, ctx.CurrentNumber));
}

}  // namespace
}  // namespace kestrane

namespace kestrane {
namespace {

// A page on which the regex engine gives up (its complexity bound) holds no
// link or count we could trust: it reads as "not found", never as an error
// that escapes the client.
TEST(PageReaders, APageTooCostlyToScanReadsAsNotFound) {
    std::string page;
    for (int i = 0; i < 3000; ++i) page += "Selection of : 1 ";
    bool engineGaveUp = false;
    try {
        boost::smatch m;
        boost::regex_search(
            page, m, boost::regex(kHitCountPattern, boost::regex::perl | boost::regex::icase));
    } catch (const std::runtime_error&) {
        engineGaveUp = true;
    }
    ASSERT_TRUE(engineGaveUp) << "the page must be one the engine refuses";
    EXPECT_FALSE(FindGroup1(kHitCountPattern, page).has_value());
    EXPECT_FALSE(Contains(kHitCountPattern, page));
}

// The readers find what their patterns find: the leftmost match and its
// group, on pages made of the pieces the patterns look for.
TEST(PageReaders, ReadWhatTheirPatternsMatch) {
    const std::vector<std::string> pieces = {"Selection",
                                             "SELECTION",
                                             "of",
                                             ":",
                                             " ",
                                             "\r\n",
                                             "\t",
                                             "hits",
                                             "HITS",
                                             "\"",
                                             "Next",
                                             "page",
                                             "href=",
                                             "x",
                                             "7",
                                             "&amp;",
                                             "The",
                                             "database",
                                             "query",
                                             "returned",
                                             "no",
                                             "matches",
                                             "/DPMApublikationen/pdf_any_pgd",
                                             "/dpmapublikationen/SCHRIFTEN/",
                                             "/DPMApublikationen/pdm_any_pgd",
                                             "Selection of :",
                                             "NEXT \tpage\"",
                                             "Next page\" href=\"/DPMApublikationen/pdf_any_pgd",
                                             " href=\"",
                                             "The database query",
                                             " returned no\nmatches",
                                             "\"/dpmapublikationen/schriften/"};
    std::mt19937 random(20261208);
    std::map<std::string, int> matches;
    for (int round = 0; round < 4000; ++round) {
        std::string page;
        const int length = 1 + static_cast<int>(random() % 40);
        for (int k = 0; k < length; ++k) page += pieces[random() % pieces.size()];
        for (const char* pattern : {kHitLinkPattern, kPagePdfPattern, kNavigationPattern,
                                    kNextPagePattern, kHitCountPattern, kNoMatchPattern}) {
            boost::smatch m;
            const bool found = boost::regex_search(
                page, m, boost::regex(pattern, boost::regex::perl | boost::regex::icase));
            const auto read = FindGroup1(pattern, page);
            ASSERT_EQ(found, read.has_value()) << pattern << "\n" << page;
            ASSERT_EQ(found, Contains(pattern, page)) << pattern << "\n" << page;
            matches[pattern] += found ? 1 : 0;
            if (found && m.size() > 1) {
                ASSERT_EQ(m[1].str(), read->text) << pattern << "\n" << page;
                ASSERT_EQ(static_cast<std::size_t>(m[1].second - page.begin()), read->end);
            }
        }
    }
    for (const auto& [pattern, count] : matches) EXPECT_GT(count, 10) << pattern;
}

// A page the regex engine took minutes over (a count notice followed by
// megabytes of blanks) is read in a moment, so a cancel is never held up.
TEST(PageReaders, AHugeHostilePageIsReadInLinearTime) {
    const std::string page =
        "<p>Selection of :" + std::string(10u << 20, ' ') + "\"/DPMApublikationen/pdf_any_pgd";
    const auto start = std::chrono::steady_clock::now();
    for (const char* pattern :
         {kHitLinkPattern, kPagePdfPattern, kNavigationPattern, kNextPagePattern, kHitCountPattern})
        EXPECT_FALSE(FindGroup1(pattern, page).has_value()) << pattern;
    EXPECT_TRUE(PageHasMatches(page));
    // Generous for a loaded machine; the engine needed about a minute for this page.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace kestrane
