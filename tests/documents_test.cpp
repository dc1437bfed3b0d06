// SPDX-License-Identifier: GPL-3.0-or-later
// From a search result to merged PDFs: the stand-in server over loopback,
// each test once with the built-in qpdf engine and once with the external
// engine running the stand-in merge program (pdftk's contract, no Java), and
// the merged files read back with qpdf and pdftotext.
#include "client/sources/classic/Documents.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/Messages.h"
#include "client/net/HttpExchange.h"
#include "client/sources/classic/Search.h"
#include "server/Pages.h"
#include "server/PubServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::ListFiles;
using test::PdfPageCount;
using test::PdfPageText;
using test::ReadFile;
using test::WriteFile;

std::string Failed(const std::string& number) {
    return number + msg::kDownloadFailed;
}

bool HasText(const std::string& pdf, int page, const std::string& text) {
    return PdfPageText(pdf, page).find(text) != std::string::npos;
}

std::string WriteScript(const fs::path& dir, const std::string& name, const std::string& body) {
    const std::string path = (dir / name).string();
    WriteFile(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

bool Contains(const std::vector<std::string>& files, const std::string& file) {
    return std::find(files.begin(), files.end(), file) != files.end();
}

enum class Engine { BuiltIn, External };

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::BuiltIn ? "qpdf" : "external";
}

// One save folder below a scratch root, so that a file escaping it shows.
class DocumentsTest : public ::testing::TestWithParam<Engine> {
  protected:
    ClientContext Context(const std::string& base, const std::string& number) {
        ClientContext ctx = test::MakeContext(base, save.string(), number);
        ctx.MergeProgram = GetParam() == Engine::BuiltIn ? "" : test::MergeStandin();
        ctx.CancelRequested = &cancel;
        ctx.Abort = &abort;
        ctx.SetProgress = [this](int position) { positions.push_back(position); };
        return ctx;
    }

    // The worker's road for one number: session, search, lookup. The user's
    // text of its failure, "" when everything was saved; a failure before the
    // lookup says so, as these cases all reach the documents.
    std::string Fetch(ClientContext& ctx) {
        std::string link;
        if (Failure f = StartSession(ctx))
            return "before the lookup: " + FailureText(f, ctx.CurrentNumber);
        if (Failure f = SearchPatent(ctx, link))
            return "before the lookup: " + FailureText(f, ctx.CurrentNumber);
        return Lookup(ctx, link);
    }

    // LookupDocuments alone, as Fetch tells its outcome; failure keeps the value.
    std::string Lookup(ClientContext& ctx, const std::string& link) {
        failure = LookupDocuments(ctx, link);
        return failure ? FailureText(failure, ctx.CurrentNumber) : "";
    }

    std::string Saved(const std::string& name) const { return (save / (name + ".pdf")).string(); }
    std::vector<std::string> SavedFiles() const { return ListFiles(save); }

    test::TempDir root;
    fs::path save = root.path() / "save";
    std::atomic<bool> cancel{false};
    std::atomic<bool> abort{false};
    std::vector<int> positions;  // written by the thread that runs the client
    Failure failure;             // the last lookup's, written by the thread that runs it
};

TEST_P(DocumentsTest, SingleDocumentIsMergedUnderTheTypedNumberInPageOrder) {
    test::ServerFixture fx;
    ClientContext ctx = Context(fx.server.BaseUrl(), pubserver::kSeveralPages);

    ASSERT_EQ("", Fetch(ctx));

    const std::string merged = Saved(pubserver::kSeveralPages);
    ASSERT_EQ(3, PdfPageCount(merged));
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(HasText(merged, n, "DE19758096C2 page " + std::to_string(n) + " of 3"))
            << PdfPageText(merged, n);
    }
    EXPECT_EQ((std::vector<int>{60, 70, 80, 90, 100}), positions);
    EXPECT_EQ((std::vector<std::string>{"DE19758096C2.pdf", "temp/DE19758096C2_1.pdf",
                                        "temp/DE19758096C2_2.pdf", "temp/DE19758096C2_3.pdf"}),
              SavedFiles());
}

TEST_P(DocumentsTest, SelectionGivesOneFilePerLinkInLinkOrder) {
    test::ServerFixture fx;
    ClientContext ctx = Context(fx.server.BaseUrl(), pubserver::kSelectionNumber);

    ASSERT_EQ("", Fetch(ctx));

    const std::string a = Saved(pubserver::kSelectionDocA);
    const std::string b = Saved(pubserver::kSelectionDocB);
    ASSERT_EQ(2, PdfPageCount(a));
    ASSERT_EQ(3, PdfPageCount(b));
    EXPECT_TRUE(HasText(a, 2, std::string(pubserver::kSelectionDocA) + " page 2 of 2"));
    EXPECT_TRUE(HasText(b, 3, std::string(pubserver::kSelectionDocB) + " page 3 of 3"));
    EXPECT_FALSE(fs::exists(Saved(pubserver::kSelectionNumber)));
    // The two-page document first, and the bar back at 60 before each document.
    EXPECT_EQ((std::vector<int>{60, 60, 70, 80, 100, 60, 70, 80, 90, 100}), positions);
}

TEST_P(DocumentsTest, TwelvePagesKeepPageTenAfterPageNine) {
    test::ServerFixture fx;
    ClientContext ctx = Context(fx.server.BaseUrl(), pubserver::kManyPages);

    ASSERT_EQ("", Fetch(ctx));

    const std::string merged = Saved(pubserver::kManyPages);
    ASSERT_EQ(12, PdfPageCount(merged));
    for (int n = 1; n <= 12; ++n) {
        EXPECT_TRUE(HasText(merged, n, "page " + std::to_string(n) + " of 12"))
            << "page " << n << ": " << PdfPageText(merged, n);
    }
    // The bar's range ends at 100: full from the fourth page on.
    std::vector<int> expected = {60, 70, 80, 90};
    expected.insert(expected.end(), 10, 100);
    EXPECT_EQ(expected, positions);
}

TEST_P(DocumentsTest, BrokenPageChainsFailTheDocument) {
    pubserver::ServerOptions options;
    options.syntheticPages = 3;
    test::ServerFixture fx(options);
    // A viewer page without its navigation link: page 1 is saved, then the document fails.
    fx.server.AddFault("DE111A1", Fault{Stage::Hit, FaultKind::MissingLink, 0});
    // A page PDF answered with an HTML error page: the merge refuses it.
    fx.server.AddFault("DE222A1", Fault{Stage::PagePdf, FaultKind::HtmlInsteadOfPdf, 2});
    // A navigation page without a next-page link ends the document there.
    fx.server.AddFault("DE333A1", Fault{Stage::Navigation, FaultKind::MissingLink, 2});

    ClientContext noNav = Context(fx.server.BaseUrl(), "DE111A1");
    EXPECT_EQ(Failed("DE111A1"), Fetch(noNav));
    EXPECT_EQ(std::vector<std::string>{}, SavedFiles()) << "a failed document's pages go";

    ClientContext html = Context(fx.server.BaseUrl(), "DE222A1");
    EXPECT_EQ(Failed("DE222A1"), Fetch(html));
    EXPECT_FALSE(fs::exists(Saved("DE222A1")));
    EXPECT_FALSE(fs::exists(PartialMergePath(html, "DE222A1")));
    EXPECT_FALSE(fs::exists(save / "temp" / "DE222A1_3.pdf"));

    ClientContext shortDoc = Context(fx.server.BaseUrl(), "DE333A1");
    EXPECT_EQ("", Fetch(shortDoc));
    EXPECT_EQ(2, PdfPageCount(Saved("DE333A1")));

    // An error page in place of a navigation page has no next-page link
    // either, but it is no last page: the document must not pass with pages missing.
    fx.server.AddFault("DE444A1", Fault{Stage::Navigation, FaultKind::ErrorPage, 2});
    ClientContext errorNav = Context(fx.server.BaseUrl(), "DE444A1");
    EXPECT_EQ(Failed("DE444A1"), Fetch(errorNav));
    EXPECT_FALSE(fs::exists(Saved("DE444A1")));
}

// A page that cannot be saved fails its document: the user reads the
// document's failure, and the first cause travels with it, not the vaguer
// document failure noted after it.
TEST_P(DocumentsTest, TheFirstFailureStaysUnderTheDocumentsText) {
    test::ServerFixture fx;
    ClientContext ctx = Context(fx.server.BaseUrl(), pubserver::kSeveralPages);
    ctx.TempFolder = (root.path() / "gone").string() + "/";
    EXPECT_EQ(Failed(pubserver::kSeveralPages), Fetch(ctx));
    EXPECT_EQ(FailureKind::SaveFailed, failure.kind);
    EXPECT_FALSE(fs::exists(root.path() / "gone"));
}

TEST_P(DocumentsTest, SelectionPromisingMoreHitsThanLinksFailsAfterTheLinkedOnes) {
    test::ServerFixture fx;
    fx.server.AddFault(pubserver::kSelectionNumber, Fault{Stage::Hit, FaultKind::CountMismatch, 0});
    ClientContext ctx = Context(fx.server.BaseUrl(), pubserver::kSelectionNumber);

    EXPECT_EQ("DE60218500T2 Failed to Download, please try again.", Fetch(ctx));
    EXPECT_EQ(2, PdfPageCount(Saved(pubserver::kSelectionDocA)));
    EXPECT_EQ(3, PdfPageCount(Saved(pubserver::kSelectionDocB)));
}

TEST_P(DocumentsTest, HostileNamesWriteNothingOutsideTheSaveFolder) {
    pubserver::ServerOptions options;
    options.syntheticPages = 2;
    test::ServerFixture fx(options);
    fx.server.AddFault(pubserver::kSelectionNumber, Fault{Stage::Hit, FaultKind::HostileNames, 0});

    ClientContext hostile = Context(fx.server.BaseUrl(), pubserver::kSelectionNumber);
    EXPECT_EQ(Failed(pubserver::kSelectionNumber), Fetch(hostile));

    // A typed number is a name too.
    ClientContext typed = Context(fx.server.BaseUrl(), "../../DE444A1");
    EXPECT_EQ(Failed("../../DE444A1"), Fetch(typed));

    for (const auto& entry : fx.server.RequestLog())
        EXPECT_EQ(std::string::npos, entry.path.find("/schriften/")) << entry.target;
    EXPECT_EQ(std::vector<std::string>{}, ListFiles(root.path()));

    // Leading blanks are harmless in a file name and kept.
    ClientContext blanks = Context(fx.server.BaseUrl(), "  DE555A1");
    EXPECT_EQ("", Fetch(blanks));
    EXPECT_EQ(2, PdfPageCount(Saved("  DE555A1")));
}

TEST_P(DocumentsTest, FailedMergesLeaveTheUsersFileAloneAndRemoveThePages) {
    test::ServerFixture fx;
    const std::string number = pubserver::kSeveralPages;
    const std::string mine = Saved(number);
    fs::create_directories(save);
    WriteFile(mine, "the user's own copy");
    const fs::path tools = root.path() / "tools";
    fs::create_directories(tools);

    ClientContext missing = Context(fx.server.BaseUrl(), number);
    missing.MergeProgram = "kestrane-no-such-pdftk";
    EXPECT_EQ(Failed(number), Fetch(missing));
    EXPECT_EQ(FailureKind::MergeProgramMissing, failure.kind);
    EXPECT_EQ((std::vector<std::string>{"DE19758096C2.pdf"}), SavedFiles());

    // It writes over its output and then complains.
    ClientContext warns = Context(fx.server.BaseUrl(), number);
    warns.MergeProgram = WriteScript(tools, "fake-pdftk",
                                     "for a; do out=$prev; prev=$a; done\n"
                                     "echo garbage > \"$out\"\necho 'Warning: unexpected xref'\n");
    EXPECT_EQ(Failed(number), Fetch(warns));
    EXPECT_EQ(FailureKind::MergeFailed, failure.kind);

    ClientContext silent = Context(fx.server.BaseUrl(), number);
    silent.MergeProgram = WriteScript(tools, "idle-pdftk", "exit 0\n");
    EXPECT_EQ(Failed(number), Fetch(silent));

    EXPECT_EQ("the user's own copy", ReadFile(mine));
    EXPECT_FALSE(fs::exists(PartialMergePath(warns, number)));

    // A good merge replaces it, as the user asked for the document again.
    ClientContext good = Context(fx.server.BaseUrl(), number);
    EXPECT_EQ("", Fetch(good));
    EXPECT_EQ(3, PdfPageCount(mine));
}

TEST_P(DocumentsTest, StoppingTheWorkerDuringTheMergeKillsItPromptly) {
    test::ServerFixture fx;
    const std::string number = pubserver::kSeveralPages;
    fs::create_directories(save);
    WriteFile(Saved(number), "the user's own copy");
    const fs::path tools = root.path() / "tools";
    fs::create_directories(tools);
    const std::string fifo = (tools / "started").string();
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    ClientContext ctx = Context(fx.server.BaseUrl(), number);
    // Like pdftk: a script whose real work runs in a child; it has begun the output.
    ctx.MergeProgram = WriteScript(tools, "slow-pdftk",
                                   "for a; do out=$prev; prev=$a; done\nprintf partial > \"$out\"\n"
                                   "sleep 300 &\necho \"$!\" > '" +
                                       fifo + "'\nwait\n");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    std::string result;
    std::chrono::steady_clock::time_point returned;
    std::thread worker([&] {
        result = Fetch(ctx);
        returned = std::chrono::steady_clock::now();
    });
    pollfd pfd{reader, POLLIN, 0};
    const bool merging = ::poll(&pfd, 1, 60000) == 1;
    char text[32] = {};
    int sleepPid = 0;
    if (merging && ::read(reader, text, sizeof text - 1) > 0)
        std::sscanf(text, "%d", &sleepPid);
    ::close(reader);
    const int sleepFd = static_cast<int>(::syscall(SYS_pidfd_open, sleepPid, 0));
    const auto stopAt = std::chrono::steady_clock::now();
    abort = true;
    worker.join();
    ASSERT_TRUE(merging) << "the merge never started: " << result;

    EXPECT_NE("", result);
    EXPECT_LT(returned - stopAt, std::chrono::seconds(5));
    ASSERT_GE(sleepFd, 0);
    pollfd gone{sleepFd, POLLIN, 0};
    EXPECT_EQ(1, ::poll(&gone, 1, 5000)) << "the merge's child outlived the stop";
    ::close(sleepFd);
    EXPECT_EQ("the user's own copy", ReadFile(Saved(number)));
    EXPECT_FALSE(fs::exists(PartialMergePath(ctx, number)));
}

// ---- Pages the stand-in server has no reason to produce.

void Html(httplib::Response& res, const std::string& body) {
    res.set_content(body, "text/html");
}

class CraftedTest : public DocumentsTest {};

TEST_P(CraftedTest, NextPageSpellingsAndEscapedAmpersandsAreFollowed) {
    // page=N&doc=1 arrives intact only when "&amp;" was turned into "&".
    test::ScriptedServer server([](const httplib::Request& req, httplib::Response& res) {
        const std::string page = req.get_param_value("page");
        const bool intact = req.get_param_value("doc") == "1";
        if (!intact || page.empty()) {
            Html(res, "<h1>Page not found</h1>");
        } else if (req.path == "/DPMApublikationen/pdf_any_pgd.do") {
            Html(res,
                 "<iframe src=\"/DPMApublikationen/pdm_any_pgd.do?page=" + page +
                     "&amp;doc=1\"></iframe><a href=\"/DPMApublikationen/schriften/p.pdf?page=" +
                     page + "&amp;doc=1\">PDF</a>");
        } else if (req.path == "/DPMApublikationen/pdm_any_pgd.do") {
            const std::string next = std::to_string(std::stoi(page) + 1);
            const std::string link =
                "href=\"/DPMApublikationen/pdf_any_pgd.do?page=" + next + "&amp;doc=1\"";
            if (page == "1")
                Html(res, "<a title=\"next Page\" " + link + ">&gt;</a>");
            if (page == "2")
                Html(res, "<a title=\"NEXT\r\n  page\"\n\t" + link + ">&gt;</a>");
            if (page == "3")
                Html(res, "<a title=\"Nextpage\"" + link + ">&gt;</a>");
            if (page == "4")
                Html(res, "<a title=\"Previous page\" href=\"x\">&lt;</a>");
        } else {
            res.set_content(pubserver::pages::RenderPagePdf("CRAFTED", std::stoi(page), 4, 0),
                            "application/pdf");
        }
    });
    ClientContext ctx = Context(server.Base(), "CRAFTED");

    ASSERT_EQ("", Lookup(ctx, server.Base() + "/DPMApublikationen/pdf_any_pgd.do?page=1&doc=1"));

    ASSERT_EQ(4, PdfPageCount(Saved("CRAFTED")));
    for (int n = 1; n <= 4; ++n)
        EXPECT_TRUE(HasText(Saved("CRAFTED"), n, "CRAFTED page " + std::to_string(n) + " of 4"));
    for (const auto& seen : server.Seen()) EXPECT_EQ(std::string::npos, seen.target.find("amp;"));
}

// A selection page for hits, each link leading to a one-page document.
test::ScriptedServer::Handler Selection(const std::string& notice, std::vector<std::string> links,
                                        std::atomic<bool>* cancelOnFirstPage = nullptr) {
    return [=](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/DPMApublikationen/first") {
            if (cancelOnFirstPage != nullptr)
                *cancelOnFirstPage = true;
            std::string page = "<p>" + notice + "</p>";
            for (const auto& link : links) page += "<a href=\"" + link + "\">hit</a>\n";
            Html(res, page);
        } else if (req.path == "/DPMApublikationen/pdf_any_pgd.do") {
            Html(res,
                 "<a href=\"/DPMApublikationen/schriften/p.pdf?hit=" + req.get_param_value("hit") +
                     "\">PDF</a><iframe src=\"/DPMApublikationen/pdm_any_pgd.do\"></iframe>");
        } else if (req.path == "/DPMApublikationen/pdm_any_pgd.do") {
            Html(res, "<span>Page 1 of 1</span>");
        } else {
            res.set_content(
                pubserver::pages::RenderPagePdf("HIT" + req.get_param_value("hit"), 1, 1, 0),
                "application/pdf");
        }
    };
}

TEST_P(CraftedTest, SelectionNamesComeFromDocIdNormedOrTheNumberAndPosition) {
    test::ScriptedServer server(
        Selection("SELECTIONof:3hits",
                  {"/DPMApublikationen/pdf_any_pgd.do?hit=1&amp;docIdNormed=DE1A&amp;x=1",
                   "/DPMApublikationen/pdf_any_pgd.do?hit=2",
                   "/DPMApublikationen/pdf_any_pgd.do?hit=3&amp;docIdNormed=DE3A",
                   "/DPMApublikationen/pdf_any_pgd.do?hit=4&amp;docIdNormed=DE4A&amp;x=1"}));
    ClientContext ctx = Context(server.Base(), " DE9");

    ASSERT_EQ("", Lookup(ctx, server.Base() + "/DPMApublikationen/first"));

    const auto files = SavedFiles();
    EXPECT_TRUE(HasText(Saved("DE1A"), 1, "HIT1 page 1 of 1"));
    EXPECT_TRUE(HasText(Saved(" DE9_2"), 1, "HIT2 page 1 of 1"));
    EXPECT_TRUE(HasText(Saved("DE3A"), 1, "HIT3 page 1 of 1"));
    // Three hits promised: the fourth link is not followed.
    EXPECT_FALSE(Contains(files, "DE4A.pdf"));
}

TEST_P(CraftedTest, ANoughtOrUnreadableHitCountDownloadsNothingAndFails) {
    for (const std::string notice :
         {"Selection of : 0 hits", "Selection of : some hits", "Selection of : -4 hits"}) {
        test::ScriptedServer server(Selection(
            notice, {"/DPMApublikationen/pdf_any_pgd.do?hit=1&amp;docIdNormed=DE1A&amp;x=1"}));
        ClientContext ctx = Context(server.Base(), "DE9");
        EXPECT_EQ(Failed("DE9"), Lookup(ctx, server.Base() + "/DPMApublikationen/first")) << notice;
        EXPECT_EQ(1u, server.Seen().size()) << notice;
    }
    EXPECT_EQ(std::vector<std::string>{}, SavedFiles());
}

TEST_P(CraftedTest, ACancelWhileTheFirstPageArrivesIsReportedAsCancelled) {
    test::ScriptedServer server(Selection(
        "Selection of : 1 hits",
        {"/DPMApublikationen/pdf_any_pgd.do?hit=1&amp;docIdNormed=DE1A&amp;x=1"}, &cancel));
    ClientContext ctx = Context(server.Base(), "DE9");

    EXPECT_EQ(msg::kCancelled, Lookup(ctx, server.Base() + "/DPMApublikationen/first"));
    EXPECT_EQ(std::vector<std::string>{}, SavedFiles());
}

INSTANTIATE_TEST_SUITE_P(Engines, DocumentsTest,
                         ::testing::Values(Engine::BuiltIn, Engine::External), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, CraftedTest, ::testing::Values(Engine::BuiltIn, Engine::External),
                         EngineName);

TEST(DocumentNames, OnlyNamesThatStayInTheirFolderAreSafe) {
    for (const char* name : {"DE19758096C2", "  DE19758096C2", "EP000001389012B1", "a.b", "x-y_z"})
        EXPECT_TRUE(IsSafeDocumentName(name)) << name;
    for (const std::string& name :
         {std::string(), std::string("."), std::string(".."), std::string("../../evil"),
          std::string("a/b"), std::string("a\\b"), std::string("a..b"), std::string("DE1\nx"),
          std::string("DE1\x7f"),
          std::string("DE\0"
                      "1",
                      4)})
        EXPECT_FALSE(IsSafeDocumentName(name)) << name;
}

TEST(DocumentNames, DocIdNormedValueOrFallback) {
    const std::string base = "http://h/DPMApublikationen/pdf_any_pgd.do?pn=X";
    EXPECT_EQ("DE000060218500T2",
              DocumentNameFromUrl(base + "&docIdNormed=DE000060218500T2&d=0", "X_1"));
    // Taken as it stands, not decoded.
    EXPECT_EQ("DE%2F1", DocumentNameFromUrl(base + "&docIdNormed=DE%2F1&d=0", "X_1"));
    EXPECT_EQ("DE1", DocumentNameFromUrl(base + "&docIdNormed=DE1", "X_1"));
    EXPECT_EQ("DE1", DocumentNameFromUrl(base + "&docIdNormed=DE1#top", "X_1"));
    EXPECT_EQ("X_1", DocumentNameFromUrl(base + "&d=0", "X_1"));
    EXPECT_EQ("", DocumentNameFromUrl(base + "&docIdNormed=&d=0", "X_1"));
}

}  // namespace
}  // namespace kestrane
