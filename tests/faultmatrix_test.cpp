// Every fault the stand-in server can inject, at every stage of the request
// chain and in the merge, run through kestrane-cli as a user would. For every
// cell: the run ends; each item has exactly the records it should; no file
// appears outside the save folder; no earlier file in it is lost or truncated;
// the temporary folder is gone; the user sees the designed text.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/Messages.h"
#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::LogRecord;

// The item that meets the fault, and a good one after it.
const std::string F = pubserver::kSeveralPages;
const std::string G = "DE900000000A1";  // a synthetic two-page document
const std::string S = pubserver::kSelectionNumber;

const std::string kFailedF = F + msg::kDownloadFailed;
const std::string kNoPdfF = std::string(msg::kNoPdfFor) + F;

enum class Disk { Normal, Full, ReadOnly };
enum class Merge { BuiltIn, Warns, Hangs };

struct Cell {
    std::string stage;
    std::string fault;
    std::vector<std::pair<std::string, Fault>> faults;
    std::vector<LogRecord> records;  // what dl.log must gain
    int exit = 0;
    std::string message;  // must appear on stderr; "" for none
    std::vector<std::string> numbers = {F, G};
    double watchdog = 60;  // seconds
    Merge merge = Merge::BuiltIn;
    Disk disk = Disk::Normal;
    bool serverDown = false;
    int fPages = 3;          // pages of F's merged file when it is saved
    std::string faulty = F;  // the item whose earlier file must survive its failure
};

constexpr double kStallWatchdog = 4;  // long enough for a good item on a loaded machine

Fault At(Stage stage, FaultKind kind, int page = 0) {
    return Fault{stage, kind, page};
}

std::vector<Cell> Cells() {
    const std::vector<LogRecord> none;
    const std::vector<LogRecord> both = {{F, "Success"}, {G, "Success"}};
    const std::vector<LogRecord> fFails = {{F, "Failed"}, {G, "Success"}};
    std::vector<Cell> c;
    auto add = [&](std::string stage, std::string fault,
                   std::vector<std::pair<std::string, Fault>> faults,
                   std::vector<LogRecord> records, int exit, std::string message) -> Cell& {
        c.push_back(Cell{std::move(stage), std::move(fault), std::move(faults), std::move(records),
                         exit, std::move(message)});
        return c.back();
    };
    const std::string any = "*";

    // Session: nothing is recorded when no session can be had.
    add("session", "stall", {{any, At(Stage::Session, FaultKind::Stall)}}, none, 1,
        msg::kConnectFailed)
        .watchdog = kStallWatchdog;
    add("session", "drip", {{any, At(Stage::Session, FaultKind::SlowDrip)}}, both, 0,
        msg::kFinished);
    add("session", "empty", {{any, At(Stage::Session, FaultKind::EmptyBody)}}, none, 1,
        msg::kConnectFailed);
    add("session", "error page", {{any, At(Stage::Session, FaultKind::ErrorPage)}}, both, 0,
        msg::kFinished);
    add("session", "truncated", {{any, At(Stage::Session, FaultKind::Truncated)}}, none, 1,
        msg::kDownloadFailed);
    add("session", "no-match", {{any, At(Stage::Session, FaultKind::NoMatch)}}, none, 1,
        msg::kNoSuchPatent);
    add("session", "refused", {}, none, 1, msg::kConnectFailed).serverDown = true;

    // Search.
    add("search", "stall", {{F, At(Stage::Search, FaultKind::Stall)}}, fFails, 1, msg::kFinished)
        .watchdog = kStallWatchdog;
    add("search", "drip", {{F, At(Stage::Search, FaultKind::SlowDrip)}}, both, 0, msg::kFinished);
    add("search", "empty", {{F, At(Stage::Search, FaultKind::EmptyBody)}}, fFails, 1,
        msg::kConnectFailed);
    add("search", "error page", {{F, At(Stage::Search, FaultKind::ErrorPage)}}, fFails, 1, kNoPdfF);
    add("search", "truncated", {{F, At(Stage::Search, FaultKind::Truncated)}}, fFails, 1,
        msg::kDownloadFailed);
    add("search", "missing link", {{F, At(Stage::Search, FaultKind::MissingLink)}}, fFails, 1,
        kNoPdfF);
    add("search", "no-match", {{F, At(Stage::Search, FaultKind::NoMatch)}}, fFails, 1,
        msg::kNoSuchPatent);

    // The first hit's page (here the first viewer page).
    add("first hit", "stall", {{F, At(Stage::Hit, FaultKind::Stall)}}, fFails, 1, msg::kFinished)
        .watchdog = kStallWatchdog;
    add("first hit", "drip", {{F, At(Stage::Hit, FaultKind::SlowDrip)}}, both, 0, msg::kFinished);
    add("first hit", "empty", {{F, At(Stage::Hit, FaultKind::EmptyBody)}}, fFails, 1,
        msg::kConnectFailed);
    add("first hit", "error page", {{F, At(Stage::Hit, FaultKind::ErrorPage)}}, fFails, 1,
        kFailedF);
    add("first hit", "truncated", {{F, At(Stage::Hit, FaultKind::Truncated)}}, fFails, 1,
        msg::kDownloadFailed);
    add("first hit", "missing link", {{F, At(Stage::Hit, FaultKind::MissingLink)}}, fFails, 1,
        kFailedF);
    add("first hit", "no-match", {{F, At(Stage::Hit, FaultKind::NoMatch)}}, fFails, 1,
        msg::kNoSuchPatent);

    // A selection page.
    add("selection", "count mismatch", {{S, At(Stage::Hit, FaultKind::CountMismatch)}},
        {{S, "Failed"}, {G, "Success"}}, 1, S + msg::kDownloadFailed)
        .numbers = {S, G};
    add("selection", "hostile names", {{S, At(Stage::Hit, FaultKind::HostileNames)}},
        {{S, "Failed"}, {G, "Success"}}, 1, S + msg::kDownloadFailed)
        .numbers = {S, G};

    // A later viewer page; failures inside the page chain all read the same.
    for (auto [name, kind] : {std::pair{"empty", FaultKind::EmptyBody},
                              {"error page", FaultKind::ErrorPage},
                              {"truncated", FaultKind::Truncated},
                              {"missing link", FaultKind::MissingLink}}) {
        add("viewer page 2", name, {{F, At(Stage::Viewer, kind, 2)}}, fFails, 1, kFailedF);
        add("navigation page 1", name, {{F, At(Stage::Navigation, kind, 1)}}, fFails, 1, kFailedF);
    }
    // Without its next-page link a navigation page is the document's last.
    c.back().records = both;
    c.back().exit = 0;
    c.back().message = msg::kFinished;
    c.back().fPages = 1;
    add("viewer page 2", "stall", {{F, At(Stage::Viewer, FaultKind::Stall, 2)}}, fFails, 1,
        msg::kFinished)
        .watchdog = kStallWatchdog;
    add("navigation page 1", "stall", {{F, At(Stage::Navigation, FaultKind::Stall, 1)}}, fFails, 1,
        msg::kFinished)
        .watchdog = kStallWatchdog;
    add("navigation page 1", "drip", {{F, At(Stage::Navigation, FaultKind::SlowDrip, 1)}}, both, 0,
        msg::kFinished);

    // Page PDFs.
    add("page PDF 2", "stall", {{F, At(Stage::PagePdf, FaultKind::Stall, 2)}}, fFails, 1,
        msg::kFinished)
        .watchdog = kStallWatchdog;
    add("page PDF 2", "drip", {{F, At(Stage::PagePdf, FaultKind::SlowDrip, 2)}}, both, 0,
        msg::kFinished);
    for (auto [name, kind] : {std::pair{"empty", FaultKind::EmptyBody},
                              {"error page", FaultKind::ErrorPage},
                              {"truncated", FaultKind::Truncated},
                              {"HTML instead of PDF", FaultKind::HtmlInsteadOfPdf}}) {
        add("page PDF 2", name, {{F, At(Stage::PagePdf, kind, 2)}}, fFails, 1, kFailedF);
    }

    // The merge.
    // The external engine (KESTRANE_MERGE_PROGRAM=pdftk, found first in PATH).
    add("merge", "program warns", {}, fFails, 1, kFailedF).merge = Merge::Warns;
    Cell& hang = add("merge", "program hangs", {}, fFails, 1, msg::kFinished);
    hang.merge = Merge::Hangs;
    hang.watchdog = kStallWatchdog;

    // The save folder itself.
    // Four pages of 120 KB do not fit in 300 KB.
    const std::string big = "DE950000000A1";
    add("save folder", "full disk", {}, {{big, "Failed"}}, 1, big + msg::kDownloadFailed).disk =
        Disk::Full;
    c.back().numbers = {big};
    c.back().faulty = big;
    // A read-only folder cannot take dl.log either: its records are lost, as designed.
    add("save folder", "read-only", {}, none, 1, kFailedF).disk = Disk::ReadOnly;
    c.back().numbers = {F};
    return c;
}

void PrintTo(const Cell& cell, std::ostream* out) {
    *out << cell.stage << " / " << cell.fault;
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
    std::string name = info.param.stage + "_" + info.param.fault;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    }
    return name;
}

// A mount that goes away with the test (tmpfs, for a full or read-only disk).
class Mount {
  public:
    Mount(const std::string& where, const std::string& options) : where_(where) {
        ok_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~Mount() {
        if (ok_)
            ::umount2(where_.c_str(), MNT_DETACH);
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    bool ok() const { return ok_; }
    bool RemountReadOnly() {
        return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string where_;
    bool ok_ = false;
};

// A "pdftk" that misbehaves for F and merges every other document with the
// stand-in merge program.
std::string FakePdftk(const std::string& dir, Merge merge) {
    const std::string path = dir + "/pdftk";
    std::ofstream script(path);
    script << "#!/bin/sh\n"
           << "case \"$*\" in *" << F << "*) "
           << (merge == Merge::Warns ? "echo 'Warning: odd page' >&2 ;;" : "exec sleep 1000 ;;")
           << " esac\nexec '" << test::MergeStandin() << "' \"$@\"\n";
    script.close();
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, RunEndsWithTheDesignedRecordsAndLosesNothing) {
    const Cell& cell = GetParam();
    pubserver::ServerOptions options;
    options.syntheticPages = cell.disk == Disk::Full ? 4 : 2;
    options.syntheticKb = cell.disk == Disk::Full ? 120 : 0;
    test::ServerFixture fixture(options);
    for (const auto& [number, fault] : cell.faults) fixture.server.AddFault(number, fault);
    const std::string base = fixture.server.BaseUrl();
    if (cell.serverDown)
        fixture.server.Stop();

    // sandbox/save is the save folder, sandbox/cwd the program's current folder;
    // nothing may appear anywhere else in the sandbox.
    test::TempDir sandbox;
    const fs::path save = sandbox.path() / "save";
    const fs::path cwd = sandbox.path() / "cwd";
    const fs::path bin = sandbox.path() / "bin";
    fs::create_directories(save);
    fs::create_directories(cwd);
    fs::create_directories(bin);
    std::optional<Mount> mount;
    if (cell.disk != Disk::Normal) {
        mount.emplace(save.string(), cell.disk == Disk::Full ? "size=300k" : "size=1m");
        if (!mount->ok())
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    const std::string keep = "a document the user already had";
    const std::string earlier = "an earlier download of " + cell.faulty;
    test::WriteFile((save / "keep.pdf").string(), keep);
    test::WriteFile((save / (cell.faulty + ".pdf")).string(), earlier);
    test::WriteFile((save / "dl.log").string(), "2001-01-01 00:00:00 DE1 Success\r\n");
    if (cell.disk == Disk::ReadOnly) {
        ASSERT_TRUE(mount->RemountReadOnly());
    }

    std::vector<std::string> env;
    if (cell.merge != Merge::BuiltIn) {
        FakePdftk(bin.string(), cell.merge);
        env.push_back("PATH=" + bin.string() + ":" + std::getenv("PATH"));
        env.push_back("KESTRANE_MERGE_PROGRAM=pdftk");
    }
    std::vector<std::string> args = {"-o", save.string(), "--watchdog",
                                     std::to_string(cell.watchdog)};
    args.insert(args.end(), cell.numbers.begin(), cell.numbers.end());
    test::CliProcess cli(base, args, cwd.string(), "/dev/null", env);
    ASSERT_TRUE(cli.Started());
    const test::CliOutcome out = cli.Wait(std::chrono::seconds(180));

    EXPECT_EQ(cell.exit, out.status) << out.err;
    if (!cell.message.empty()) {
        const bool shown = out.err.find(cell.message) != std::string::npos ||
                           out.out.find(cell.message) != std::string::npos;
        EXPECT_TRUE(shown) << "expected \"" << cell.message << "\"\nstderr: " << out.err;
    }
    const std::vector<LogRecord> log = test::ParseLog(test::ReadFile((save / "dl.log").string()));
    std::vector<LogRecord> expected = {{"DE1", "Success"}};
    expected.insert(expected.end(), cell.records.begin(), cell.records.end());
    EXPECT_EQ(expected, log);

    // Nothing outside the save folder, nothing of the user's lost or truncated.
    for (const auto& entry : fs::directory_iterator(sandbox.path())) {
        EXPECT_TRUE(entry.path() == save || entry.path() == cwd || entry.path() == bin)
            << entry.path();
    }
    EXPECT_TRUE(fs::is_empty(cwd));
    EXPECT_EQ(keep, test::ReadFile((save / "keep.pdf").string()));
    const bool fSaved = std::find(cell.records.begin(), cell.records.end(),
                                  LogRecord{F, "Success"}) != cell.records.end();
    if (fSaved) {
        EXPECT_EQ(cell.fPages, test::PdfPageCount((save / (F + ".pdf")).string()));
    } else {
        EXPECT_TRUE(earlier == test::ReadFile((save / (cell.faulty + ".pdf")).string()))
            << "the earlier " << cell.faulty << ".pdf was replaced or truncated";
    }
    for (const LogRecord& r : cell.records) {
        if (r.number == G && r.outcome == "Success") {
            EXPECT_EQ(2, test::PdfPageCount((save / (G + ".pdf")).string()));
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(save)) {
        EXPECT_EQ(entry.path().string().find("evil"), std::string::npos) << entry.path();
    }
    EXPECT_FALSE(fs::exists(save / "temp"));
}

INSTANTIATE_TEST_SUITE_P(AllStages, FaultMatrix, ::testing::ValuesIn(Cells()), CellName);

}  // namespace
}  // namespace kestrane
