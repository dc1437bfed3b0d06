// SPDX-License-Identifier: GPL-3.0-or-later
// The EPO OPS source: number forms, throttling, and whole runs against the
// stand-in's OPS endpoints with the real merge.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "client/sources/classic/ClassicSource.h"
#include "client/sources/ops/OpsNumber.h"
#include "client/sources/ops/OpsSource.h"
#include "client/sources/ops/OpsThrottle.h"
#include "server/PubServer.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::FrontEndCall;
using test::LogRecord;

constexpr const char* kFast = "idle (images=green:60000, retrieval=green:60000, other=green:1000)";

// ---- Numbers

TEST(OpsNumber, TypedFormsBecomeDocdbAndMalformedOnesAreRefused) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"DE19758096C2", "DE.19758096.C2"},
        {"de 197 58 096 c2", "DE.19758096.C2"},
        {"DE-19758096-C2", "DE.19758096.C2"},
        {" DE_197/58.096 C2 ", "DE.19758096.C2"},
        {"DE000060018002T2", "DE.60018002.T2"},
        {"DE 999999 A", "DE.999999.C"},
        {"DE999999B", "DE.999999.C"},
        {"DE1286275A", "DE.1286275.B"},
        {"DE1399999B", "DE.1399999.B"},
        {"DE1400000A", "DE.1400000.A1"},
        {"DE102006026208A1", "DE.102006026208.A1"},
        {"EP1000000A1", "EP.1000000.A1"},
        {"EP0001000A1", "EP.0001000.A1"},  // only German numbers drop their zeros
        {"wo 2010/050748 a2", "WO.2010050748.A2"},
    };
    for (const auto& [typed, docdb] : table) {
        const auto got = ToDocdb(typed);
        ASSERT_TRUE(got.has_value()) << typed;
        EXPECT_EQ(got->Dotted(), docdb) << typed;
    }
    for (const char* refused :
         {"DE19758096", "19758096C2", "D19758096C2", "DEU19758096C2", "DE19758096C22",
          "DE19758096CC", "DEC2", "DE0000C2", "DE1975x8096C2", "DE19758096C2!", ""}) {
        EXPECT_FALSE(ToDocdb(refused).has_value()) << refused;
    }
    EXPECT_EQ(CompactNumber(" de-197 58/096.c2 "), "DE19758096C2");
}

// ---- The images inquiry

TEST(OpsInquiry, TakesThePublicationsFullDocumentByNamespaceNotByPrefix) {
    // The recorded shape, with another prefix, a decoy from another namespace
    // and a correction sheet listed first.
    const std::string xml =
        R"(<?xml version="1.0" encoding="UTF-8"?><?xml-stylesheet type="text/xsl" href="/3.2/style/pub-inquiry.xsl"?>
<o:world-patent-data xmlns="http://www.epo.org/exchange" xmlns:o="http://ops.epo.org" xmlns:x="urn:other">
  <o:document-inquiry>
    <o:inquiry-result>
      <x:document-instance number-of-pages="99" desc="FullDocument" link="published-data/images/EP/1/A1/decoy"/>
      <o:document-instance system="ops.epo.org" number-of-pages="1" desc="FullDocument" link="published-data/images/EP/1000000/A8/fullimage">
        <o:document-section name="AMENDMENT" start-page="1"/>
      </o:document-instance>
    </o:inquiry-result>
    <o:inquiry-result>
      <o:document-instance system="ops.epo.org" number-of-pages="6" desc="Drawing" link="published-data/images/EP/1000000/A1/thumbnail"/>
      <o:document-instance system="ops.epo.org" number-of-pages="12" desc="FullDocument" link="published-data/images/EP/1000000/A1/fullimage">
        <o:document-format-options><o:document-format>application/pdf</o:document-format></o:document-format-options>
        <o:document-section name="ABSTRACT" start-page="1"/>
        <o:document-section name="AMENDMENT" start-page="12"/>
      </o:document-instance>
    </o:inquiry-result>
  </o:document-inquiry>
</o:world-patent-data>)";
    FoundDocument found;
    ASSERT_TRUE(ParseImagesInquiry(xml, found));
    EXPECT_EQ(found.link, "published-data/images/EP/1000000/A1/fullimage");
    EXPECT_EQ(found.pageCount, 12);
    EXPECT_FALSE(ParseImagesInquiry("<fault xmlns=\"http://ops.epo.org\"/>", found));
    EXPECT_FALSE(ParseImagesInquiry("<html><body>Not found</body>", found));
}

// ---- Throttling

TEST(OpsThrottle, ReadsEveryFormSeenAndSpacesByTheMostRestrictiveValueOfTheMinute) {
    // Duplicated, comma-joined, services in another order, column-aligned blanks.
    auto t = ParseThrottlingControl(
        "idle (images=green:200, retrieval=green:200, search=green:30), busy "
        "(retrieval=yellow:100, "
        "images=green:100,  inpadoc=red:45)");
    EXPECT_EQ(t["images"].allowance, 100);
    EXPECT_EQ(t["retrieval"].colour, "yellow");
    EXPECT_EQ(t["inpadoc"].allowance, 45);
    t = ParseThrottlingControl("busy       (images=black:0, inpadoc=green:45)");
    EXPECT_EQ(t["images"].colour, "black");
    EXPECT_TRUE(ParseThrottlingControl("nonsense").empty());

    OpsThrottle throttle;
    const auto start = OpsClock::time_point{} + 1h;
    EXPECT_EQ(throttle.Reserve("images", start), 0ms);  // nothing known yet
    throttle.Observe("idle (images=green:200)", std::nullopt, start);
    throttle.Observe("busy (images=green:100)", std::nullopt, start + 1s);  // another server
    throttle.Observe("idle (images=green:200)", std::nullopt, start + 2s);
    EXPECT_EQ(throttle.Spacing("images", start + 2s), 600ms);
    // Slots follow one another at the spacing even when asked for at once.
    EXPECT_EQ(throttle.Reserve("images", start + 2s), 0ms);
    EXPECT_EQ(throttle.Reserve("images", start + 2s), 600ms);
    EXPECT_EQ(throttle.Reserve("retrieval", start + 2s), 0ms);  // services apart
    // The busy reading ages out after a minute.
    EXPECT_EQ(throttle.Spacing("images", start + 62s), 300ms);
    // Black: nothing before Retry-After (milliseconds) has passed.
    throttle.Observe("idle (images=black:0)", 4500, start + 70s);
    EXPECT_EQ(throttle.Reserve("images", start + 70s), 4500ms);
}

// ---- The source against the stand-in

// A clock that only moves when the source sleeps.
struct FakeTime {
    std::mutex mu;
    OpsClock::time_point now = OpsClock::time_point{} + 1h;
    std::vector<OpsClock::duration> sleeps;

    OpsTiming Timing() {
        return OpsTiming{[this] {
                             std::lock_guard lock(mu);
                             return now;
                         },
                         [this](OpsClock::duration d) {
                             std::lock_guard lock(mu);
                             now += d;
                             sleeps.push_back(d);
                         }};
    }
    OpsClock::duration Slept() {
        std::lock_guard lock(mu);
        OpsClock::duration total{};
        for (auto d : sleeps) total += d;
        return total;
    }
};

pubserver::ServerOptions StandInOptions(const std::string& throttling = kFast) {
    pubserver::ServerOptions o;
    o.opsThrottling = throttling;
    return o;
}

struct OpsStandIn {
    explicit OpsStandIn(pubserver::ServerOptions options = StandInOptions())
        : fixture(std::move(options)) {}
    OpsConfig Config(std::chrono::milliseconds maxWait = 60s) const {
        return OpsConfig{fixture.server.BaseUrl() + "/3.2", "demo-key", "demo-secret", maxWait};
    }
    int Requests(const std::string& pathPart) const {
        int n = 0;
        for (const auto& e : fixture.server.RequestLog())
            n += e.path.find(pathPart) != std::string::npos ? 1 : 0;
        return n;
    }
    test::ServerFixture fixture;
};

// One item through the source as the worker runs it.
Failure FetchOne(OpsSource& source, ClientContext& ctx) {
    FoundDocument found;
    if (Failure f = source.Find(ctx, found))
        return f;
    return source.Fetch(ctx, found);
}

TEST(OpsSource, SpacesPagesAsTheHeaderAsksSitsOutBlackAndBacksOffFromARobotVerdict) {
    pubserver::ServerOptions options =
        StandInOptions("idle (images=green:60, retrieval=green:600)");
    options.opsRetryAfterMs = 5000;
    OpsStandIn standIn(options);
    standIn.fixture.server.AddFault("DE19758096C2", Fault{Stage::OpsPage, FaultKind::Black, 2});
    standIn.fixture.server.AddFault("DE60218500T2", Fault{Stage::OpsPage, FaultKind::Robot, 1});
    FakeTime time;
    auto session = std::make_shared<OpsSession>(standIn.Config(), time.Timing());
    OpsSource source(session);
    test::TempDir save;
    ClientContext ctx = test::MakeContext("", save.str(), "DE19758096C2");
    ASSERT_FALSE(source.Open(ctx));

    // 3 pages at 60 a minute: 1 s apart; the black page 2 adds its 5 s Retry-After.
    const Failure first = FetchOne(source, ctx);
    ASSERT_FALSE(first) << OpsFailureText(first, ctx.CurrentNumber);
    EXPECT_EQ(test::PdfPageCount(save.str() + "/DE19758096C2.pdf"), 3);
    EXPECT_GE(time.Slept(), 7s);
    EXPECT_LT(time.Slept(), 9s);
    EXPECT_EQ(standIn.Requests("/C2/fullimage.pdf"), 4);  // page 2 asked twice

    // Robot: two repeats, 2 s then 4 s apart at least, then the item fails.
    const auto before = time.Slept();
    ctx.CurrentNumber = "DE60218500T2";
    const Failure robot = FetchOne(source, ctx);
    EXPECT_EQ(robot.kind, FailureKind::RobotDetected);
    const std::string robotText = OpsFailureText(robot, ctx.CurrentNumber);
    EXPECT_NE(robotText.find("robot"), std::string::npos) << robotText;
    EXPECT_EQ(standIn.Requests("/T2/fullimage.pdf"), 3);
    EXPECT_GE(time.Slept() - before, 6s);
    EXPECT_EQ(session->TokenRequests(), 1);
}

TEST(OpsSource, AWaitBeyondTheWatchdogFailsTheItemNamingTheWait) {
    pubserver::ServerOptions options = StandInOptions();
    options.opsRetryAfterMs = 90000;
    OpsStandIn standIn(options);
    standIn.fixture.server.AddFault("DE19758096C2", Fault{Stage::OpsPage, FaultKind::Black, 1});
    FakeTime time;
    OpsSource source(std::make_shared<OpsSession>(standIn.Config(30s), time.Timing()));
    test::TempDir save;
    ClientContext ctx = test::MakeContext("", save.str(), "DE19758096C2");
    ASSERT_FALSE(source.Open(ctx));
    const Failure throttled = FetchOne(source, ctx);
    EXPECT_EQ(throttled.kind, FailureKind::Throttled);
    const std::string text = OpsFailureText(throttled, ctx.CurrentNumber);
    EXPECT_NE(text.find("wait 90 s"), std::string::npos) << text;
    EXPECT_LT(time.Slept(), 1s);
    EXPECT_FALSE(fs::exists(save.str() + "/DE19758096C2.pdf"));
}

// ---- Whole runs

struct OpsRun {
    explicit OpsRun(pubserver::ServerOptions options = StandInOptions(),
                    std::chrono::milliseconds watchdog = 0ms,
                    std::chrono::milliseconds maxWait = 60s,
                    const std::function<void(RunOptions&)>& adjust = {})
        : standIn(std::move(options)),
          harness(standIn.fixture.server.BaseUrl(), watchdog, "",
                  OpsSourceMaker(standIn.Config(maxWait)),
                  [adjust](RunOptions& o, const std::string&) {
                      if (adjust)
                          adjust(o);
                  }) {}
    OpsStandIn standIn;
    test::RunHarness harness;
};

TEST(OpsRunTest, ThreeNumbersGiveMergedFilesInPageOrderWithOneToken) {
    OpsRun run;
    const std::vector<std::string> typed = {"de 197 58 096 c2", "DE60218500T2", "DE102006026208A1"};
    ASSERT_TRUE(run.harness.Start(typed));
    ASSERT_TRUE(run.harness.WaitFinished());

    EXPECT_EQ(run.harness.LogRecords(),
              (std::vector<LogRecord>{
                  {typed[0], "Success"}, {typed[1], "Success"}, {typed[2], "Success"}}));
    const std::string first = run.harness.Saved("DE19758096C2");
    EXPECT_EQ(test::PdfPageCount(first), 3);
    for (int page = 1; page <= 3; ++page) {
        EXPECT_NE(test::PdfPageText(first, page).find("page " + std::to_string(page) + " of 3"),
                  std::string::npos);
    }
    EXPECT_EQ(test::PdfPageCount(run.harness.Saved("DE60218500T2")), 2);
    EXPECT_EQ(test::PdfPageCount(run.harness.Saved("DE102006026208A1")), 12);
    EXPECT_EQ(test::ListFiles(run.harness.save.path()),
              (std::vector<std::string>{"DE102006026208A1.pdf", "DE19758096C2.pdf",
                                        "DE60218500T2.pdf", "dl.log"}));  // temp gone
    EXPECT_EQ(run.standIn.Requests("/auth/accesstoken"), 1);
    EXPECT_EQ(run.standIn.fixture.server.ConnectionCount(), 1);
    const auto statuses = run.harness.front.CallsOf(FrontEndCall::ItemStarted);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().text, "Downloading " + typed[0] + " PDF document ...... (EPO OPS)");
}

TEST(OpsRunTest, AnExpiredTokenIsRenewedExactlyOnce) {
    pubserver::ServerOptions options = StandInOptions();
    options.opsTokenUses = 10;  // the 12-page document outlives the first token
    OpsRun run(options);
    ASSERT_TRUE(run.harness.Start({"DE102006026208A1"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(), (std::vector<LogRecord>{{"DE102006026208A1", "Success"}}));
    EXPECT_EQ(run.standIn.Requests("/auth/accesstoken"), 2);
    EXPECT_EQ(test::PdfPageCount(run.harness.Saved("DE102006026208A1")), 12);
}

TEST(OpsRunTest, UnknownNumbersBadNumbersAndNonPdfPagesFailOnlyTheirItem) {
    OpsRun run;
    run.standIn.fixture.server.AddFault("DE19758096C2",
                                        Fault{Stage::OpsPage, FaultKind::HtmlInsteadOfPdf, 2});
    ASSERT_TRUE(run.harness.Start({"DE1234567A1", "DE19758096C2", "DE19758096", "DE60218500T2"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(), (std::vector<LogRecord>{{"DE1234567A1", "Failed"},
                                                                {"DE19758096C2", "Failed"},
                                                                {"DE19758096", "Failed"},
                                                                {"DE60218500T2", "Success"}}));
    std::vector<std::string> boxes;
    for (const auto& call : run.harness.front.CallsOf(FrontEndCall::AskToAcknowledge))
        boxes.push_back(call.text);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], "No PDF for DE1234567A1");
    EXPECT_EQ(boxes[1], "DE19758096C2 Failed to Download, please try again.");
    EXPECT_NE(boxes[2].find("kind code"), std::string::npos) << boxes[2];
    EXPECT_FALSE(fs::exists(run.harness.Saved("DE19758096C2")));
    // The number without a kind code was never asked for; its neighbour was.
    EXPECT_EQ(run.standIn.Requests("docdb/DE.19758096."), 1);
}

TEST(OpsRunTest, AUsedUpQuotaEndsTheRunNamingTheQuotaAndItsRefresh) {
    OpsRun run;
    run.standIn.fixture.server.AddFault("DE60218500T2",
                                        Fault{Stage::OpsInquiry, FaultKind::Quota, 0});
    std::string finish;
    run.harness.front.onFinishMessage = [&](const std::string& text) { finish = text; };
    ASSERT_TRUE(run.harness.Start({"DE19758096C2", "DE60218500T2", "DE102006026208A1"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(),
              (std::vector<LogRecord>{{"DE19758096C2", "Success"}, {"DE60218500T2", "Failed"}}));
    EXPECT_NE(finish.find("IndividualQuotaPerHour"), std::string::npos) << finish;
    EXPECT_NE(finish.find("refreshes"), std::string::npos) << finish;
    EXPECT_EQ(run.standIn.Requests("102006026208"), 0);
}

TEST(OpsRunTest, RefusedCredentialsEndTheRunWithoutADataRequest) {
    pubserver::ServerOptions options = StandInOptions();
    options.opsSecret = "another-secret";
    OpsRun run(options);
    ASSERT_TRUE(run.harness.Start({"DE19758096C2", "DE60218500T2"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_TRUE(run.harness.front.AtFinish().SessionFailed);
    EXPECT_NE(run.harness.front.AtFinish().Job.MessageText.find("consumer key"), std::string::npos);
    EXPECT_EQ(run.standIn.Requests("/auth/accesstoken"), 1);
    EXPECT_EQ(run.standIn.Requests("/rest-services/"), 0);
    EXPECT_TRUE(run.harness.LogRecords().empty());
}

TEST(OpsRunTest, ACancelDuringAPoliteWaitTakesEffectWithinASecond) {
    pubserver::ServerOptions options = StandInOptions();
    options.opsRetryAfterMs = 30000;
    // The watchdog ticks every 500 ms: the wait must keep it from abandoning the item.
    OpsRun run(options, 500ms);
    run.standIn.fixture.server.AddFault("DE19758096C2", Fault{Stage::OpsPage, FaultKind::Black, 1});
    ASSERT_TRUE(run.harness.Start({"DE19758096C2"}));
    ASSERT_TRUE(run.harness.WaitFor([&] { return run.standIn.Requests("fullimage.pdf") > 0; }));
    // Several watchdog periods pass while the item waits.
    run.harness.WaitFor([] { return false; }, 1500ms);
    EXPECT_TRUE(run.harness.LogRecords().empty());
    const auto cancelled = std::chrono::steady_clock::now();
    run.harness.controller.RequestCancel();
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 3s);  // generous on a loaded machine
    EXPECT_EQ(run.harness.LogRecords(), (std::vector<LogRecord>{{"DE19758096C2", "Cancelled"}}));
}

// ---- One retry engine, and the fixes of the OPS path

// With three retries an endpoint that keeps failing is asked four times under
// every source: the OPS token endpoint's own retries no longer stack on the run's.
TEST(RetryEngine, ThreeRetriesAskAFailingEndpointFourTimesUnderEverySource) {
    OpsStandIn standIn;
    standIn.fixture.server.AddFault("*", Fault{Stage::OpsToken, FaultKind::ErrorPage, 0});
    standIn.fixture.server.AddFault("*", Fault{Stage::Session, FaultKind::ErrorPage, 0});
    test::TempDir save;
    for (const int retries : {3, kSourceRetries}) {
        standIn.fixture.server.ClearRequestLog();
        FakeTime time;
        ClientContext ctx = test::MakeContext(standIn.fixture.server.BaseUrl(), save.str(), "DE1A");
        ctx.Requests.Retries = retries;
        ctx.Requests.RetryWait = 1ms;
        OpsSource ops(std::make_shared<OpsSession>(standIn.Config(), time.Timing()));
        EXPECT_TRUE(ops.Open(ctx));
        ClassicSource classic;
        (void)classic.Open(ctx);
        // Without --retries each source keeps its own count: 3 for OPS, none for the server.
        EXPECT_EQ(standIn.Requests("/auth/accesstoken"), 4);
        EXPECT_EQ(standIn.Requests("/start.do"), retries == 3 ? 4 : 1);
        EXPECT_EQ(time.Slept(), 7s);  // 1 s, 2 s, 4 s: one wait per retry, none stacked
    }
}

TEST(OpsRunTest, ATwiceListedNumberIsFetchedOnceAndRecordsCarryTheNumberTrimmed) {
    OpsRun run;
    ASSERT_TRUE(run.harness.Start({"  DE19758096C2", "de 19758096 c2"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(),
              (std::vector<LogRecord>{{"DE19758096C2", "Success"}, {"de 19758096 c2", "Failed"}}));
    EXPECT_EQ(run.standIn.Requests("/C2/fullimage.pdf"), 3);
    const auto boxes = run.harness.front.CallsOf(FrontEndCall::AskToAcknowledge);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("DE19758096C2.pdf was saved earlier in this run"),
              std::string::npos)
        << boxes[0].text;
    EXPECT_EQ(test::PdfPageCount(run.harness.Saved("DE19758096C2")), 3);
}

TEST(OpsRunTest, SkipExistingLooksForTheFileUnderTheNameItIsSavedAs) {
    OpsRun run(StandInOptions(), 0ms, 60s, [](RunOptions& o) { o.SkipExisting = true; });
    fs::copy_file(std::string(KESTRANE_TEST_DATA) + "/ops_fullimage_pdf_WO2010050748A2_Range2.pdf",
                  run.harness.Saved("DE19758096C2"));
    ASSERT_TRUE(run.harness.Start({"de 19758096 c2"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(), (std::vector<LogRecord>{{"de 19758096 c2", "Success"}}));
    // The session's token only: no inquiry, no page, no quota spent.
    EXPECT_EQ(run.standIn.Requests("/rest-services/"), 0);
}

TEST(OpsRunTest, AFreshTokenRefusedAgainFailsThatItemAndTheRunGoesOn) {
    OpsRun run;
    run.standIn.fixture.server.AddFault("DE19758096C2",
                                        Fault{Stage::OpsPage, FaultKind::TokenRefused, 2});
    ASSERT_TRUE(run.harness.Start({"DE19758096C2", "DE60218500T2"}));
    ASSERT_TRUE(run.harness.WaitFinished());
    EXPECT_EQ(run.harness.LogRecords(),
              (std::vector<LogRecord>{{"DE19758096C2", "Failed"}, {"DE60218500T2", "Success"}}));
    EXPECT_EQ(run.standIn.Requests("/auth/accesstoken"), 2);
    EXPECT_FALSE(fs::exists(run.harness.Saved("DE19758096C2")));
}

}  // namespace
}  // namespace kestrane
