// SPDX-License-Identifier: GPL-3.0-or-later
// Whole OPS runs with resume, the report, bibliographic data and chosen
// names, against the stand-in with the real merge.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/pdf/DocInfo.h"
#include "client/sources/ops/OpsSource.h"
#include "run/Report.h"
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
using test::LogRecord;

constexpr const char* kNumber = "DE102006026208A1";  // 12 pages in the stand-in

pubserver::ServerOptions Fast() {
    pubserver::ServerOptions o;
    o.opsThrottling = "idle (images=green:60000, retrieval=green:60000, other=green:1000)";
    return o;
}

struct Runs {
    explicit Runs(std::function<void(RunOptions&, const std::string&)> tune)
        : server(Fast()),
          harness(
              server.server.BaseUrl(), 0ms, "", [this] { return maker(); }, tune) {
        NewSession();
    }
    // A run after a quota end is a new session, as a new program start would be.
    void NewSession() {
        maker = OpsSourceMaker(
            OpsConfig{server.server.BaseUrl() + "/3.2", "demo-key", "demo-secret", 60s});
    }
    // The pages asked for since the last call, by number.
    std::vector<int> PagesAsked() {
        std::vector<int> pages;
        for (const auto& e : server.server.RequestLog()) {
            if (const auto at = e.target.find("fullimage.pdf?Range="); at != std::string::npos)
                pages.push_back(std::stoi(e.target.substr(at + 20)));
        }
        server.server.ClearRequestLog();
        return pages;
    }
    test::ServerFixture server;
    std::function<std::unique_ptr<Source>()> maker;  // loop thread; set before each run
    test::RunHarness harness;
};

TEST(Resume, KeptPagesOutliveAQuotaEndAndACancelAndOnlyTrustedOnesAreUsed) {
    Runs runs([](RunOptions& o, const std::string&) { o.Choices.Resume = true; });
    const fs::path kept = runs.harness.save.path() / ".kestrane/partial/ops" / kNumber;

    // The quota ends at page 6: pages 1-5 stay for the next run.
    runs.server.server.AddFault(kNumber, Fault{Stage::OpsPage, FaultKind::Quota, 6});
    ASSERT_TRUE(runs.harness.Start({kNumber}));
    ASSERT_TRUE(runs.harness.WaitFinished());
    EXPECT_EQ(runs.harness.LogRecords(), (std::vector<LogRecord>{{kNumber, "Failed"}}));
    EXPECT_EQ(runs.PagesAsked(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(fs::exists(kept / "5.pdf"));
    EXPECT_FALSE(fs::exists(runs.harness.Saved(kNumber)));

    // Page 3 is damaged on disk; page 9 stalls until the user cancels.
    runs.server.server.ClearFaults();
    runs.NewSession();
    test::WriteFile((kept / "3.pdf").string(), "%PDF-1.4\n");
    runs.server.server.AddFault(kNumber, Fault{Stage::OpsPage, FaultKind::Stall, 9});
    ASSERT_TRUE(runs.harness.Start({kNumber}));
    ASSERT_TRUE(runs.harness.WaitFor([&] { return fs::exists(kept / "8.pdf"); }));
    ASSERT_TRUE(runs.harness.WaitFor([&] {
        for (const auto& e : runs.server.server.RequestLog())
            if (e.target.ends_with("Range=9"))
                return true;
        return false;
    }));
    runs.harness.controller.RequestCancel();
    ASSERT_TRUE(runs.harness.WaitFinished());
    EXPECT_EQ(runs.PagesAsked(), (std::vector<int>{3, 6, 7, 8, 9}));

    // The rest, and nothing kept is asked for again; the folder goes with the document.
    runs.server.server.ClearFaults();
    ASSERT_TRUE(runs.harness.Start({kNumber}));
    ASSERT_TRUE(runs.harness.WaitFinished());
    EXPECT_EQ(runs.PagesAsked(), (std::vector<int>{9, 10, 11, 12}));
    EXPECT_EQ(test::PdfPageCount(runs.harness.Saved(kNumber)), 12);
    for (int page : {1, 3, 9, 12})
        EXPECT_NE(test::PdfPageText(runs.harness.Saved(kNumber), page)
                      .find(" page " + std::to_string(page) + " of 12"),
                  std::string::npos)
            << page;
    EXPECT_FALSE(fs::exists(runs.harness.save.path() / ".kestrane"));
    EXPECT_EQ(runs.harness.LogRecords().back(), (LogRecord{kNumber, "Success"}));
}

TEST(Report, RowsFollowDlLogWithBiblioDigestsAndChosenNames) {
    Runs runs([](RunOptions& o, const std::string& save) {
        o.ReportPath = save + "run.jsonl";
        o.Choices.Biblio = true;
        o.Choices.SourceId = "ops";
        std::string error;
        o.Choices.Names = *NameFormat::Parse("{compact} {title}", error);
    });
    const std::vector<std::string> typed = {"de 197 58 096 c2", "DE99999999A1", kNumber};
    ASSERT_TRUE(runs.harness.Start(typed));
    ASSERT_TRUE(runs.harness.WaitFinished());
    const auto records = runs.harness.LogRecords();
    ASSERT_EQ(records.size(), 3u);

    const std::string report = test::ReadFile(runs.harness.SaveFolder() + "run.jsonl");
    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = report.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(report.substr(at, nl - at));
    ASSERT_EQ(lines.size(), records.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find("\"number\":\"" + records[i].number + "\""), std::string::npos);
        const char* outcome = records[i].outcome == "Success" ? "saved" : "failed";
        EXPECT_NE(lines[i].find(std::string("\"outcome\":\"") + outcome + "\""), std::string::npos)
            << lines[i];
    }
    // The first: its title from the biblio answer, in its name, its report row and its PDF.
    const std::string name =
        "DE19758096C2 Bremsanlage fuer ein Kraftfahrzeug, insbesondere mit _elektronischer_ "
        "Bremskraftverteilung";
    const std::string saved = runs.harness.Saved(name);
    ASSERT_TRUE(fs::exists(saved)) << report;
    EXPECT_NE(lines[0].find("\"sha256\":\"" + *Sha256OfFile(saved) + "\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"applicants\":[\"Robert Bosch GmbH\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"pages\":3,"), std::string::npos) << lines[0];
    EXPECT_EQ(ReadDocumentInfo(saved)->Subject, "DE19758096C2");
    EXPECT_NE(lines[1].find("\"failure_kind\":\"no-pdf\""), std::string::npos) << lines[1];
    // The stand-in counts its bodies as OPS does; the run read the counts.
    const QuotaUse& quota = runs.harness.front.LastEnd().Quota;
    EXPECT_GT(quota.RunBytes, 0);
    EXPECT_EQ(quota.HourUsed, quota.RunBytes);
    EXPECT_GT(quota.WeekUsed, quota.HourUsed);
}

}  // namespace
}  // namespace kestrane
