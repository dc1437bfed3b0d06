// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP exchange against real loopback servers: its messages, its modes,
// cancellation and stopping, the session cookie, the proxy and redirects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "client/Messages.h"
#include "client/net/HttpExchange.h"
#include "client/sources/classic/Scrape.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using test::ScriptedServer;

class HttpTest : public ::testing::Test {
  protected:
    ClientContext Context(const std::string& base) {
        ClientContext ctx = test::MakeContext(base, dir.str(), "DE19758096C2");
        ctx.CancelRequested = &cancel;
        ctx.Abort = &abort;
        return ctx;
    }
    // The user's text of an exchange's failure; "" when it succeeded.
    static std::string Said(const Failure& f) { return f ? FailureText(f, "DE19758096C2") : ""; }
    test::TempDir dir;
    std::atomic<bool> cancel{false};
    std::atomic<bool> abort{false};
};

void Html(httplib::Response& res, const std::string& body, int status = 200) {
    res.status = status;
    res.set_content(body, "text/html");
}

TEST_F(HttpTest, TextModeKeepsTheBodyAndSendsTheFixedIdentity) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) {
        Html(res, "<html>hit list</html>");
    });
    ClientContext ctx = Context(server.Base());
    std::string page = "stale";
    ASSERT_FALSE(SendHttpRequest(ctx, "POST", server.Base() + "/x?a=1&b=2", "", page, nullptr, 0));
    EXPECT_EQ("<html>hit list</html>", page);

    const auto seen = server.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("POST", seen[0].method);
    EXPECT_EQ("/x?a=1&b=2", seen[0].target);
    EXPECT_EQ(kUserAgent, seen[0].userAgent);
    EXPECT_EQ("en-us,en;q=0.5", seen[0].acceptLanguage);
    EXPECT_EQ("", seen[0].contentType);
    EXPECT_EQ("", seen[0].body);
}

TEST_F(HttpTest, AnErrorPageIsAResponseLikeAnyOther) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) {
        Html(res, "<h1>Not Found</h1>", 404);
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    EXPECT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/missing", "", page, nullptr, 0));
    EXPECT_EQ("<h1>Not Found</h1>", page);
}

TEST_F(HttpTest, AnEmptyBodyIsAConnectFailureAndLeavesAnEmptyFile) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) { Html(res, ""); });
    ClientContext ctx = Context(server.Base());
    std::string page;
    EXPECT_EQ(msg::kConnectFailed,
              Said(SendHttpRequest(ctx, "GET", server.Base() + "/a", "", page, nullptr, 0)));

    const std::string file = dir.str() + "/temp/empty.pdf";
    EXPECT_EQ(msg::kConnectFailed,
              Said(SendHttpRequest(ctx, "GET", server.Base() + "/a", "", page, file.c_str(), 1)));
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(0u, std::filesystem::file_size(file));
}

TEST_F(HttpTest, TheNoMatchNoticeFailsTextPagesInAnySpelling) {
    const std::vector<std::string> notices = {
        "<p>THE DATABASE QUERY RETURNED NO MATCHES.</p>",
        "<p>The\r\ndatabase\nquery\treturned   no\nmatches</p>",
        "<p>Thedatabasequeryreturnednomatches</p>",
    };
    for (const std::string& notice : notices) {
        ScriptedServer server([&](const httplib::Request&, httplib::Response& res) {
            Html(res, "<html>" + notice + "</html>");
        });
        ClientContext ctx = Context(server.Base());
        std::string page;
        EXPECT_EQ(msg::kNoSuchPatent, Said(FetchPage(ctx, "POST", server.Base() + "/s", page)))
            << notice;
        EXPECT_EQ("<html>" + notice + "</html>", page) << "the page is kept";

        // A file body is not looked at.
        const std::string file = dir.str() + "/temp/page.pdf";
        EXPECT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/f", "", page, file.c_str(), 1));
        EXPECT_EQ("<html>" + notice + "</html>", test::ReadFile(file));
    }
}

TEST_F(HttpTest, FileModeStreamsTheExactBytes) {
    std::string blob;
    for (int i = 0; i < 300000; ++i) blob += static_cast<char>(i * 7 % 256);
    ScriptedServer server([&](const httplib::Request&, httplib::Response& res) {
        res.set_content(blob, "application/pdf");
    });
    ClientContext ctx = Context(server.Base());
    std::string page = "stale";
    const std::string file = dir.str() + "/temp/DE1_1.pdf";
    ASSERT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/p.pdf", "", page, file.c_str(), 1));
    EXPECT_EQ(blob, test::ReadFile(file));
    EXPECT_EQ("", page) << "the response text is emptied in file mode too";
}

TEST_F(HttpTest, FileModeReplacesALinkInsteadOfWritingThroughIt) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content("%PDF-1.4 page", "application/pdf");
    });
    ClientContext ctx = Context(server.Base());
    const std::string target = dir.str() + "/precious.pdf";
    test::WriteFile(target, "the user's file");
    const std::string file = dir.str() + "/temp/DE1_1.pdf";
    std::filesystem::create_symlink(target, file);
    std::string page;
    ASSERT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/p.pdf", "", page, file.c_str(), 1));
    EXPECT_EQ("the user's file", test::ReadFile(target));
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_EQ("%PDF-1.4 page", test::ReadFile(file));
}

TEST_F(HttpTest, ZeroBytesCutATextChunk) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("before\0after", 12), "text/html");
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    EXPECT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/z", "", page, nullptr, 0));
    EXPECT_EQ("before", page);
}

TEST_F(HttpTest, AFileThatCannotBeCreatedIsASaveFailure) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content("%PDF-1.4", "application/pdf");
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    const std::string file = dir.str() + "/no-such-folder/x.pdf";
    EXPECT_EQ(msg::kSaveFailed,
              Said(SendHttpRequest(ctx, "GET", server.Base() + "/p", "", page, file.c_str(), 1)));
    EXPECT_FALSE(std::filesystem::exists(dir.str() + "/no-such-folder"));
}

TEST_F(HttpTest, ACancelBeforeTheStartOpensNothing) {
    ScriptedServer server([](const httplib::Request&, httplib::Response& res) { Html(res, "x"); });
    ClientContext ctx = Context(server.Base());
    cancel = true;
    std::string page = "stale";
    const std::string file = dir.str() + "/temp/c.pdf";
    EXPECT_EQ(msg::kCancelled,
              Said(SendHttpRequest(ctx, "GET", server.Base() + "/p", "", page, file.c_str(), 1)));
    EXPECT_EQ("", page);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(server.Seen().empty());
}

// A cancel or a stop from another thread must end an exchange with a silent
// server promptly; the bound is generous for loaded machines, the point is
// that it does not wait for the server.
TEST_F(HttpTest, CancelAndStopEndAnExchangeWithASilentServer) {
    for (const bool viaCancel : {true, false}) {
        cancel = false;
        abort = false;
        ScriptedServer* self = nullptr;
        ScriptedServer server([&](const httplib::Request&, httplib::Response& res) {
            self->Hold();
            Html(res, "late");
        });
        self = &server;
        ClientContext ctx = Context(server.Base());
        std::thread trigger([&] {
            while (server.Seen().empty()) std::this_thread::sleep_for(10ms);
            (viaCancel ? cancel : abort) = true;
        });
        std::string page;
        const auto started = std::chrono::steady_clock::now();
        const Failure f =
            SendHttpRequest(ctx, "GET", server.Base() + "/silent", "", page, nullptr, 0);
        const auto took = std::chrono::steady_clock::now() - started;
        trigger.join();
        EXPECT_LT(took, 10s);
        EXPECT_EQ(viaCancel ? msg::kCancelled : msg::kDownloadFailed, Said(f));
        server.Release();
    }
}

TEST_F(HttpTest, ACookieSetOnceTravelsWithEveryLaterExchangeOnOneConnection) {
    ScriptedServer server([](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/start.do")
            res.set_header("Set-Cookie", "JSESSIONID=abc123; Path=/");
        Html(res, "page");
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    ASSERT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/start.do", "", page, nullptr, 0));
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(SendHttpRequest(ctx, i == 0 ? "POST" : "GET", server.Base() + "/next", "",
                                     page, nullptr, 0));
    }
    const auto seen = server.Seen();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ("", seen[0].cookie);
    std::set<int> ports;
    for (const auto& s : seen) ports.insert(s.remotePort);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ("JSESSIONID=abc123", seen[i].cookie);
    EXPECT_EQ(1u, ports.size()) << "exchanges reuse the kept-alive connection";
}

TEST_F(HttpTest, TheProxyCarriesHttpRequestsWhenSet) {
    ScriptedServer proxy(
        [](const httplib::Request&, httplib::Response& res) { Html(res, "via proxy"); });
    ClientContext ctx = Context("http://depatisnet.invalid");
    ctx.Proxy = "HTTP=HTTP://127.0.0.1:" + std::to_string(proxy.Port());
    ctx.AccessType = 3;
    std::string page;
    ASSERT_FALSE(SendHttpRequest(ctx, "GET", "http://depatisnet.invalid/DPMApublikationen/start.do",
                                 "", page, nullptr, 0));
    EXPECT_EQ("via proxy", page);
    const auto seen = proxy.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("http://depatisnet.invalid/DPMApublikationen/start.do", seen[0].target);
}

TEST_F(HttpTest, RedirectsAreFollowedOnlyToHttp) {
    ScriptedServer server([](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/old") {
            res.set_redirect("/new");
        } else if (req.path == "/sneaky") {
            res.set_redirect("file:///etc/passwd");
        } else {
            Html(res, "moved here");
        }
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    ASSERT_FALSE(SendHttpRequest(ctx, "GET", server.Base() + "/old", "", page, nullptr, 0));
    EXPECT_EQ("moved here", page);
    EXPECT_TRUE(SendHttpRequest(ctx, "GET", server.Base() + "/sneaky", "", page, nullptr, 0));
    EXPECT_EQ(page.find("root:"), std::string::npos);
}

TEST_F(HttpTest, BrokenTransfersFail) {
    ScriptedServer server([](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/truncated") {
            // Promise more than is sent, then end the stream.
            res.set_content_provider(1000, "application/pdf",
                                     [](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset == 0)
                                             sink.write("%PDF-half", 9);
                                         return offset == 0;
                                     });
        } else {
            res.set_content_provider("text/html", [](size_t offset, httplib::DataSink& sink) {
                // One byte past the cap on text pages.
                static const std::string block(1 << 20, 'a');
                if (offset > kMaxTextPage) {
                    sink.done();
                } else {
                    sink.write(block.data(), block.size());
                }
                return true;
            });
        }
    });
    ClientContext ctx = Context(server.Base());
    std::string page;
    const std::string file = dir.str() + "/temp/t.pdf";
    EXPECT_EQ(msg::kDownloadFailed, Said(SendHttpRequest(ctx, "GET", server.Base() + "/truncated",
                                                         "", page, file.c_str(), 1)));

    EXPECT_EQ(msg::kDownloadFailed,
              Said(SendHttpRequest(ctx, "GET", server.Base() + "/huge", "", page, nullptr, 0)));
    EXPECT_LE(page.size(), kMaxTextPage);
}

TEST_F(HttpTest, NobodyListeningIsAConnectFailure) {
    int port;
    {
        ScriptedServer gone([](const httplib::Request&, httplib::Response&) {});
        port = gone.Port();
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    ClientContext ctx = Context(base);
    std::string page;
    EXPECT_EQ(msg::kConnectFailed,
              Said(SendHttpRequest(ctx, "GET", base + "/start.do", "", page, nullptr, 0)));
}

}  // namespace
}  // namespace kestrane
