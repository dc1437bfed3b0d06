// SPDX-License-Identifier: GPL-3.0-or-later
// The DPMAconnectPlus and Google Patents sources through kestrane-cli
// against the stand-in, and Google's pacing on a fake clock.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/pdf/DocInfo.h"
#include "client/sources/google/GoogleSource.h"
#include "client/sources/google/LinkRule.h"
#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;

constexpr const char* kPassword = "pw-Xq7-s3cret";
// base64("demo-user:pw-Xq7-s3cret"), as the Basic header carries it.
constexpr const char* kBasic = "ZGVtby11c2VyOnB3LVhxNy1zM2NyZXQ=";

struct StandIn {
    explicit StandIn(pubserver::ServerOptions options = {}) {
        options.dpmaPassword = kPassword;
        server = std::make_unique<test::ServerFixture>(options);
        fs::create_directories(save.path());
    }
    std::string Base() const { return server->server.BaseUrl(); }
    test::CliOutcome Cli(const std::vector<std::string>& args, std::vector<std::string> env) {
        env.push_back("XDG_CONFIG_HOME=" + config.str());
        env.push_back("KESTRANE_DPMA_BASE=" + Base() + "/dpmaws/rest-services");
        env.push_back("KESTRANE_GOOGLE_BASE=" + Base());
        std::vector<std::string> all = {"-v", "-o", save.str()};
        all.insert(all.end(), args.begin(), args.end());
        test::CliProcess cli(Base(), all, save.str(), "/dev/null", env);
        return cli.Wait();
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& e : server->server.RequestLog()) paths.push_back(e.path);
        return paths;
    }
    // Nothing the user or the server could read holds the password.
    void ExpectNoSecret(const test::CliOutcome& out) const {
        for (const std::string& text : {out.out, out.err}) {
            EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
            EXPECT_EQ(text.find(kBasic), std::string::npos) << text;
        }
        for (const auto& entry : fs::recursive_directory_iterator(save.path())) {
            if (!entry.is_regular_file())
                continue;
            const std::string bytes = test::ReadFile(entry.path().string());
            EXPECT_EQ(bytes.find(kPassword), std::string::npos) << entry.path();
            EXPECT_EQ(bytes.find(kBasic), std::string::npos) << entry.path();
        }
    }
    test::TempDir config;
    test::TempDir save;
    std::unique_ptr<test::ServerFixture> server;
};

std::vector<std::string> Credentials(const std::string& password = kPassword) {
    return {"KESTRANE_DPMA_USER=demo-user", "KESTRANE_DPMA_PASSWORD=" + password};
}

TEST(DpmaRunTest, ThreeNumbersOneMissingThenARefusalThatEndsTheRunAndNoSecretAnywhere) {
    pubserver::ServerOptions options;
    options.dpmaIds = "plain";  // the padded id is not filed: the plain one must follow
    StandIn run(options);
    // The merge program sees the run's environment minus the credentials.
    const std::string dump = run.config.str() + "/merge-env";
    const std::string merge = run.config.str() + "/merge.sh";
    std::ofstream(merge) << "#!/bin/sh\nenv > '" << dump << "'\nexec '" << test::MergeStandin()
                         << "' \"$@\"\n";
    fs::permissions(merge, fs::perms::owner_all);
    const test::CliOutcome out =
        run.Cli({"--source", "dpma", "--merge-program", merge, "DE19758096C2", "de 602 18 500 t2",
                 "DE102006026208A1", "DE1234567A1"},
                Credentials());
    EXPECT_EQ(out.status, 1) << out.err;
    EXPECT_NE(out.out.find("DE19758096C2 Success -> DE19758096C2.pdf"), std::string::npos);
    EXPECT_NE(out.out.find("de 602 18 500 t2 Success -> DE60218500T2.pdf"), std::string::npos);
    EXPECT_NE(out.err.find("No PDF for DE1234567A1"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("Data not available"), std::string::npos) << out.err;
    EXPECT_EQ(test::PdfPageCount(run.save.str() + "/DE102006026208A1.pdf"), 12);
    EXPECT_EQ(test::PdfPageCount(run.save.str() + "/DE60218500T2.pdf"), 2);
    const auto paths = run.Paths();
    const std::string call =
        "/dpmaws/rest-services/DPMAregisterPatService/getPatentpublikation_PDF/";
    EXPECT_EQ(paths[0], call + "DE000019758096C2");  // padded first, then plain
    EXPECT_EQ(paths[1], call + "DE19758096C2");
    EXPECT_EQ(paths.size(), 7u);  // the 12-digit number has one id
    for (const auto& e : run.server->server.RequestLog())
        EXPECT_EQ(e.userAgent, "Kestrane/" KESTRANE_TEST_VERSION);
    ASSERT_TRUE(fs::exists(dump));
    EXPECT_EQ(test::ReadFile(dump).find(kPassword), std::string::npos);
    run.ExpectNoSecret(out);

    // A wrong password: the first answer ends the run, nothing more is sent.
    run.server->server.ClearRequestLog();
    const test::CliOutcome refused =
        run.Cli({"--source", "dpma", "DE19758096C2", "DE102006026208A1"}, Credentials("wrong"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("user \"demo-user\""), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("registered with the DPMA"), std::string::npos) << refused.err;
    EXPECT_EQ(run.Paths().size(), 1u);
    EXPECT_EQ(refused.out.find("DE102006026208A1"), std::string::npos) << refused.out;
    run.ExpectNoSecret(refused);

    // Without credentials: refused before anything is made or sent, naming both ways.
    run.server->server.ClearRequestLog();
    StandIn bare;
    const test::CliOutcome missing = bare.Cli({"--source", "dpma", "DE19758096C2"}, {});
    EXPECT_EQ(missing.status, 2);
    for (const char* word : {"KESTRANE_DPMA_USER", "KESTRANE_DPMA_PASSWORD", "kestrane.conf"})
        EXPECT_NE(missing.err.find(word), std::string::npos) << missing.err;
    EXPECT_TRUE(test::ListFiles(bare.save.path()).empty());
    EXPECT_TRUE(bare.server->server.RequestLog().empty());
}

TEST(GoogleRunTest, RobotsFirstThenPagesAndPdfsAnUnsafeLinkIsNeverFollowedAndABlockEndsTheRun) {
    StandIn run;
    run.server->server.AddFault("DE60218500T2", Fault{Stage::PatentPage, FaultKind::Offsite});
    const test::CliOutcome out = run.Cli({"--source", "google", "--wait", "0.01", "DE19758096C2",
                                          "DE60218500T2", "DE102006026208A1", "DE1234567A1"},
                                         {});
    EXPECT_EQ(out.status, 1) << out.err;
    EXPECT_EQ(test::PdfPageCount(run.save.str() + "/DE19758096C2.pdf"), 3);
    EXPECT_EQ(test::PdfPageCount(run.save.str() + "/DE102006026208A1.pdf"), 12);
    EXPECT_FALSE(fs::exists(run.save.path() / "DE60218500T2.pdf"));
    EXPECT_NE(out.err.find("leads elsewhere: http://localhost:"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("No PDF for DE1234567A1"), std::string::npos) << out.err;
    const auto paths = run.Paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), "/robots.txt");
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/robots.txt"), 1);
    // One page per number, one PDF per saved number: nothing for the unsafe link.
    EXPECT_EQ(paths.size(), 1u + 4u + 2u);
    EXPECT_EQ(
        std::count_if(paths.begin(), paths.end(),
                      [](const std::string& p) { return p.find("DE60218500T2.pdf") != p.npos; }),
        0);

    // A 429 on the second page ends the run: the third number is never asked for.
    for (const FaultKind block : {FaultKind::Quota, FaultKind::Busy, FaultKind::Sorry}) {
        StandIn blocked;
        blocked.server->server.AddFault("DE60218500T2", Fault{Stage::PatentPage, block});
        const test::CliOutcome end =
            blocked.Cli({"--source", "google", "--wait", "0.01", "DE19758096C2", "DE60218500T2",
                         "DE102006026208A1"},
                        {});
        EXPECT_EQ(end.status, 1);
        EXPECT_NE(end.err.find("Google Patents is limiting requests from this address"),
                  std::string::npos)
            << end.err;
        EXPECT_NE(end.err.find("another source"), std::string::npos);
        const auto asked = blocked.Paths();
        EXPECT_EQ(asked.back(), "/patent/DE60218500T2/en");
        EXPECT_EQ(std::count(asked.begin(), asked.end(), "/patent/DE102006026208A1/en"), 0);
    }

    // robots.txt unreachable or 5xx: no page is asked for at all; 404: everything allowed.
    StandIn broken;
    broken.server->server.AddFault("*", Fault{Stage::Robots, FaultKind::Busy});
    const test::CliOutcome none = broken.Cli({"--source", "google", "DE19758096C2"}, {});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(broken.Paths(), std::vector<std::string>{"/robots.txt"});
    pubserver::ServerOptions keptOff;
    keptOff.googleRobots = "kestrane";
    StandIn ours(keptOff);
    const test::CliOutcome disallowed = ours.Cli({"--source", "google", "DE19758096C2"}, {});
    EXPECT_EQ(disallowed.status, 1);
    EXPECT_NE(disallowed.err.find("robots.txt does not allow"), std::string::npos)
        << disallowed.err;
    EXPECT_EQ(ours.Paths(), std::vector<std::string>{"/robots.txt"});
}

// The bibliographic data comes from the patent page already fetched: no
// request more, and it reaches the report, the file name and the PDF.
TEST(GoogleRunTest, BiblioFromThePageInHandReachesTheReportTheNameAndThePdf) {
    StandIn run;
    const std::string report = run.save.str() + "/run.csv";
    const test::CliOutcome out =
        run.Cli({"--source", "google", "--wait", "0.01", "--biblio", "--report", report,
                 "--name-format", "{compact} {title}", "DE19758096C2"},
                {});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(run.Paths().size(), 3u);  // robots.txt, the page, the PDF
    const std::string saved =
        run.save.str() + "/DE19758096C2 Device for sorting sheets & method of operating it.pdf";
    ASSERT_EQ(test::PdfPageCount(saved), 3) << out.out;
    const auto info = ReadDocumentInfo(saved);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->Title, "Device for sorting sheets & method of operating it");
    EXPECT_EQ(info->Author, "Kestrane Stand-in GmbH");
    EXPECT_EQ(info->Subject, "DE19758096C2");
    const std::string rows = test::ReadFile(report);
    EXPECT_NE(rows.find("Max M\xc3\xbcller"), std::string::npos) << rows;
    EXPECT_NE(rows.find("2001-05-10"), std::string::npos) << rows;
}

// A whole document cut off halfway stays in the save folder; the next run
// with --continue asks once (by the id the part came by, though DPMA's other
// id comes first), for the rest only, and saves the stand-in's
// document byte for byte; a server that ignores the range sends it whole and
// the download starts over from byte 0. Either way nothing is left behind.
TEST(WholeDocumentResume, ACutOffPdfIsContinuedWithOneRangeOrStartsOverWhenTheRangeIsIgnored) {
    struct Case {
        const char* source;
        Stage stage;
        const char* pdfPath;  // a part of the PDF request's path
        bool ignoresRange;
    };
    pubserver::ServerOptions options;
    options.dpmaIds = "plain";  // the padded id, asked first, is not filed
    StandIn run(options);
    const std::string number = "DE19758096C2";
    // A merge program that saves the one file as it came, so bytes can be compared.
    const std::string copy = run.config.str() + "/copy.sh";
    std::ofstream(copy) << "#!/bin/sh\ncp \"$1\" \"$4\"\n";
    fs::permissions(copy, fs::perms::owner_all);
    const fs::path saved = run.save.path() / (number + ".pdf");
    for (const Case c : {Case{"dpma", Stage::DpmaPdf, "getPatentpublikation_PDF", false},
                         Case{"dpma", Stage::DpmaPdf, "getPatentpublikation_PDF", true},
                         Case{"google", Stage::PatentPdf, "/patent/pdf/", false}}) {
        SCOPED_TRACE(std::string(c.source) + (c.ignoresRange ? " ignoring ranges" : ""));
        const std::vector<std::string> args = {"--source",   c.source,          "--wait", "0.01",
                                               "--continue", "--merge-program", copy,     number};
        const fs::path kept =
            run.save.path() / ".kestrane/partial" / c.source / number / "document";
        run.server->server.ClearFaults();
        run.server->server.AddFault(number, Fault{c.stage, FaultKind::Truncated});
        run.server->server.ClearRequestLog();
        const test::CliOutcome cut = run.Cli(args, Credentials());
        EXPECT_EQ(cut.status, 1) << cut.err;
        run.ExpectNoSecret(cut);
        std::string pdfPath;
        for (const auto& e : run.server->server.RequestLog())
            pdfPath = e.path.find(c.pdfPath) != std::string::npos ? e.path : pdfPath;
        httplib::Client direct(run.Base());
        direct.set_basic_auth("demo-user", kPassword);
        run.server->server.ClearFaults();
        const auto whole = direct.Get(pdfPath);
        ASSERT_TRUE(whole && whole->status == 200) << pdfPath;
        const std::string& document = whole->body;
        ASSERT_TRUE(fs::exists(kept));
        EXPECT_EQ(fs::file_size(kept), document.size() / 2);
        EXPECT_FALSE(fs::exists(saved));

        if (c.ignoresRange)
            run.server->server.AddFault(number, Fault{c.stage, FaultKind::NoRange});
        run.server->server.ClearRequestLog();
        const test::CliOutcome again = run.Cli(args, Credentials());
        ASSERT_EQ(again.status, 0) << again.err;
        std::vector<std::string> ranges;
        for (const auto& e : run.server->server.RequestLog()) {
            if (e.path.find(c.pdfPath) != std::string::npos)
                ranges.push_back(e.range);
        }
        EXPECT_EQ(ranges,
                  std::vector<std::string>{"bytes=" + std::to_string(document.size() / 2) + "-"});
        EXPECT_TRUE(test::ReadFile(saved.string()) == document);
        EXPECT_FALSE(fs::exists(run.save.path() / ".kestrane"));
        fs::remove(saved);
    }
}

TEST(GooglePacing, PagesComeAtLeastFourSecondsApartOnGoogleAndWaitOnlyRaisesIt) {
    using Clock = GoogleTiming::Clock;
    Clock::time_point now{};
    std::vector<Clock::duration> sleeps;
    GoogleTiming fake{[&] { return now; },
                      [&](Clock::duration d) {
                          sleeps.push_back(d);
                          now += d;
                      }};
    GoogleSession session(GoogleConfig{}, fake);  // Google's own base
    ClientContext ctx;
    ctx.Requests.Gap = std::chrono::milliseconds(1000);  // --wait 1 cannot go below 4 s
    const std::string origin = "https://patents.google.com:443";
    ASSERT_FALSE(session.Pace(ctx, origin));
    EXPECT_TRUE(sleeps.empty());  // the first request waits for nothing
    now += std::chrono::milliseconds(1500);
    ASSERT_FALSE(session.Pace(ctx, origin));
    EXPECT_EQ(now, Clock::time_point{} + std::chrono::milliseconds(4000));
    for (const auto& d : sleeps) EXPECT_LE(d, kPollSlice);
    ASSERT_FALSE(session.Pace(ctx, "https://patentimages.storage.googleapis.com:443"));
    EXPECT_EQ(now, Clock::time_point{} + std::chrono::milliseconds(4000));  // another host
    ctx.Requests.Gap = std::chrono::milliseconds(6000);                     // --wait 6 raises it
    ASSERT_FALSE(session.Pace(ctx, origin));
    EXPECT_EQ(now, Clock::time_point{} + std::chrono::milliseconds(10000));

    using std::chrono::milliseconds;
    EXPECT_EQ(GoogleGap(google::kDefaultBase, milliseconds(0)), kGoogleMinGap);
    // A mirror or the stand-in: --wait decides, 4 s without it.
    EXPECT_EQ(GoogleGap("http://127.0.0.1:8080", milliseconds(10)), milliseconds(10));
    EXPECT_EQ(GoogleGap("http://127.0.0.1:8080", milliseconds(0)), kGoogleMinGap);

    // A cancel ends the wait at once.
    std::atomic<bool> cancel{true};
    ctx.CancelRequested = &cancel;
    EXPECT_EQ(session.Pace(ctx, origin).kind, FailureKind::Cancelled);
}

}  // namespace
}  // namespace kestrane
