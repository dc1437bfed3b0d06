// SPDX-License-Identifier: GPL-3.0-or-later
// What a server or the local state may build to hurt a run, beyond the fault
// matrix: readers that must keep only what they need, a merge that holds
// pages to its limits and honours a cancel, and the run's own inputs (the
// settings file, a list, a saved file, the environment of a merge program).
#include "server/Hostile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "client/Settings.h"
#include "client/pdf/MergeStep.h"
#include "client/pdf/PdfCheck.h"
#include "client/sources/ops/OpsSource.h"
#include "client/sources/ops/OpsThrottle.h"
#include "server/Pages.h"
#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using test::CliOutcome;
using test::CliProcess;
using test::ReadFile;
using test::WriteFile;

const std::string F = pubserver::kSeveralPages;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HostileAnswers, ReadersKeepOnlyWhatTheyNeedAndNeverRecurse) {
    // Thousands of made-up services: only those OPS documents are kept.
    const auto readings = ParseThrottlingControl(pubserver::hostile::ThrottleFlood(0, 4000));
    EXPECT_EQ(readings.size(), 2u);
    EXPECT_TRUE(readings.count("images") == 1 && readings.count("retrieval") == 1);
    // An inquiry nested 60,000 deep, and one whose page count is no plain number.
    FoundDocument found;
    const std::string link = "published-data/images/DE/19758096/C2/fullimage";
    EXPECT_FALSE(ParseImagesInquiry(pubserver::hostile::DeepInquiryXml(60000, link), found));
    EXPECT_FALSE(ParseImagesInquiry(pubserver::hostile::ExponentInquiryXml(link), found));
    EXPECT_TRUE(ParseImagesInquiry(pubserver::hostile::DeepInquiryXml(3, link), found));
    EXPECT_EQ(found.pageCount, 2);
}

TEST(HostilePages, TheMergeRefusesAPagePastItsLimitsAndHonoursACancel) {
    test::TempDir dir;
    const std::string good = dir.str() + "/good.pdf";
    const std::string many = dir.str() + "/many.pdf";
    WriteFile(good, pubserver::pages::RenderPagePdf("GOOD", 1, 2, 0));
    WriteFile(many, *pubserver::hostile::ManyObjectsPdf(30000));
    const std::string out = dir.str() + "/merged.pdf";
    MergeResult result = MergePageFiles("", {good, many}, out, nullptr, nullptr);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(Has(result.output, "more than 20000 objects, the limit")) << result.output;
    EXPECT_FALSE(fs::exists(out));

    // A confirmed cancel stops the built-in merge as it stops an outside program,
    // and reaches into the reading of one file (the --skip-existing check).
    const std::atomic<bool> cancel{true};
    result = MergePageFiles("", {good, good}, out, nullptr, &cancel);
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(IsUsablePdf(good));
    EXPECT_FALSE(IsUsablePdf(good, nullptr, &cancel));
}

class HostileRun : public ::testing::Test {
  protected:
    CliOutcome Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> all{"-o", save.str()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<std::string> withConfig{"XDG_CONFIG_HOME=" + config.str()};
        withConfig.insert(withConfig.end(), env.begin(), env.end());
        CliProcess cli(fixture.server.BaseUrl(), all, save.str(), "/dev/null", withConfig);
        EXPECT_TRUE(cli.Started());
        return cli.Wait();
    }
    int Searches(const std::string& number) const {
        int count = 0;
        for (const auto& entry : fixture.server.RequestLog()) count += entry.queryNumber == number;
        return count;
    }

    static pubserver::ServerOptions OnePageDocuments() {
        pubserver::ServerOptions options;
        options.syntheticPages = 1;
        return options;
    }

    test::ServerFixture fixture{OnePageDocuments()};
    test::TempDir save;
    test::TempDir config;
};

TEST_F(HostileRun, LocalStateCannotHangLeakOrWidenAnything) {
    // A FIFO where the settings file goes is refused at once, not waited on.
    fs::create_directories(config.path() / "kestrane");
    ASSERT_EQ(::mkfifo((config.path() / "kestrane" / "kestrane.conf").c_str(), 0600), 0);
    const CliOutcome fifo = Run({F});
    EXPECT_EQ(fifo.status, 2);
    EXPECT_TRUE(Has(fifo.err, "is not a regular file")) << fifo.err;
    fs::remove(config.path() / "kestrane" / "kestrane.conf");

    // Saving settings through a linked folder leaves the folder's mode alone.
    test::TempDir shared;
    fs::permissions(shared.path(), fs::perms(0755));
    fs::remove(config.path() / "kestrane");
    fs::create_directory_symlink(shared.path(), config.path() / "kestrane");
    ASSERT_EQ(SaveSettings((config.path() / "kestrane" / "kestrane.conf").string(), Settings{}),
              "");
    EXPECT_EQ(fs::status(shared.path()).permissions() & fs::perms::all, fs::perms(0755));

    // An outside merge program sees no credential of ours.
    const std::string dump = config.str() + "/env";
    const std::string program = config.str() + "/merge";
    WriteFile(program,
              "#!/bin/sh\nenv > '" + dump + "'\nexec '" + test::MergeStandin() + "' \"$@\"\n");
    fs::permissions(program, fs::perms::owner_all);
    const CliOutcome merged = Run({"--source", "ops", "--merge-program", program, F},
                                  {"KESTRANE_OPS_BASE=" + fixture.server.BaseUrl() + "/3.2",
                                   "KESTRANE_OPS_KEY=demo-key", "KESTRANE_OPS_SECRET=demo-secret"});
    EXPECT_EQ(merged.status, 0) << merged.err;
    const std::string env = ReadFile(dump);
    fs::remove(dump);
    EXPECT_TRUE(Has(env, "PATH="));
    EXPECT_FALSE(Has(env, "demo-secret") || Has(env, "demo-key"));
}

TEST_F(HostileRun, ListsWaitsAndSavedFilesAreHandledStrictly) {
    // A list past the --batch limit is refused whole, and --help names the limit.
    test::TempDir lists;
    std::string many;
    for (int i = 0; i <= 100000; ++i) many += "DE" + std::to_string(i) + "A1\n";
    WriteFile(lists.str() + "/many.txt", many);
    const CliOutcome refused = Run({"--batch", "-i", lists.str() + "/many.txt"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(Has(refused.err, "at most 100000 numbers")) << refused.err;
    EXPECT_FALSE(fs::exists(save.path() / "dl.log"));
    EXPECT_TRUE(Has(Run({"--help"}).out, "100000"));

    // A --wait longer than two watchdog periods is a wait, not a stall.
    const CliOutcome waited = Run({"--wait", "2.5", "--watchdog", "1", "DE900000000A1"});
    EXPECT_EQ(waited.status, 0) << waited.err;

    // A saved file that reads only with recovery is fetched again.
    ASSERT_EQ(Run({F}).status, 0);
    const std::string saved = save.str() + "/" + F + ".pdf";
    std::string damaged = ReadFile(saved);
    const auto at = damaged.rfind("startxref\n");
    ASSERT_NE(at, std::string::npos);
    damaged.insert(at + 10, "9");
    WriteFile(saved, damaged);
    fixture.server.ClearRequestLog();
    const CliOutcome again = Run({"--skip-existing", F});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Searches(F), 1);
    EXPECT_EQ(test::PdfPageCount(saved), pubserver::kSeveralPagesCount);
}

}  // namespace
}  // namespace kestrane
