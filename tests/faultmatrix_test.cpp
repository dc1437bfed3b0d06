// SPDX-License-Identifier: GPL-3.0-or-later
// Every fault the stand-in server can inject, at every stage of the request
// chain and in the merge, run through kestrane-cli as a user would. For every
// cell: the run ends; each item has exactly the records it should; no file
// appears outside the save folder; no earlier file in it is lost or truncated;
// the temporary folder is gone; the user sees the text meant for the fault.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
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

enum class Disk { Normal, Full, Small, ReadOnly, LogIsFolder };
// What stands at save/temp before the run: nothing, a folder of the user's
// (with a link planted where the first page will go), or a link out of the
// save folder. The run must leave the last two exactly as they were.
enum class Temp { Absent, UsersFolder, LinkOut };
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
    Temp temp = Temp::Absent;
    int syntheticPages = 0;      // 0: as the disk needs
    int latencyMs = 0;           // before every response
    bool cancelInMerge = false;  // Ctrl-C once F's merge has begun
    bool ops = false;            // through the EPO OPS source (the stand-in's /3.2/)
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
    Cell& refusedTemp =
        add("session", "refused, temp of the user's", {}, none, 1, msg::kConnectFailed);
    refusedTemp.serverDown = true;
    refusedTemp.temp = Temp::UsersFolder;

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
    // The link still leads to the document; its escape sequences never reach the terminal.
    add("search", "escapes in a link", {{F, At(Stage::Search, FaultKind::EscapesInLink)}}, both, 0,
        "\\x1B]0;owned\\x07\\x1B[2J\\x0D\\x0A2009-12-14");

    // The first hit's page (here the first viewer page).
    // A long document that keeps arriving outlasts any number of periods.
    const std::string slow = "DE970000000A1";
    Cell& steady = add("page chain", "slow and steady", {}, {{slow, "Success"}}, 0, msg::kFinished);
    steady.numbers = {slow};
    steady.syntheticPages = 30;
    steady.latencyMs = 150;
    steady.watchdog = 3;

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

    add("selection", "no hits", {{S, At(Stage::Hit, FaultKind::NoHits)}},
        {{S, "Failed"}, {G, "Success"}}, 1, S + msg::kDownloadFailed)
        .numbers = {S, G};

    // Names a server chose may not replace anything: not a file of the user's,
    // not a document saved earlier in the run, not one saved earlier in the item.
    const std::string A = pubserver::kSelectionDocA;
    add("selection", "name of a user's file", {{S, At(Stage::Hit, FaultKind::ForeignName)}},
        {{S, "Failed"}, {G, "Success"}}, 1, "\"keep\", which is not a publication number")
        .numbers = {S, G};
    add("selection", "twin names", {{S, At(Stage::Hit, FaultKind::TwinNames)}},
        {{S, "Failed"}, {G, "Success"}}, 1, A + ".pdf was saved earlier in this run")
        .numbers = {S, G};
    Cell& earlier =
        add("selection", "name saved earlier in the run", {}, {{A, "Success"}, {S, "Failed"}}, 1,
            A + ".pdf was saved earlier in this run");
    earlier.numbers = {A, S};
    earlier.faulty = S;

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

    // What a server may send is bounded: a page's size and a document's length.
    add("page PDF 2", "larger than 64 MiB", {{F, At(Stage::PagePdf, FaultKind::HugePage, 2)}},
        fFails, 1, "Page 2 of " + F + " is larger than 64 MiB");
    add("navigation page", "document never ends", {{F, At(Stage::Navigation, FaultKind::Endless)}},
        fFails, 1, F + " has more than 5000 pages");

    // Pages built to exhaust the stack or the memory of the run: the item
    // fails naming the limit, the next one is saved.
    add("page PDF 2", "object chain 60,000 deep", {{F, At(Stage::PagePdf, FaultKind::Deep, 2)}},
        fFails, 1, "nests objects more than 400 deep, the limit");
    add("page PDF 2", "object stream inflating to 1 GiB",
        {{F, At(Stage::PagePdf, FaultKind::Bomb, 2)}}, fFails, 1, "inflate past 8 MiB, the limit");
    add("page PDF 2", "a million objects", {{F, At(Stage::PagePdf, FaultKind::ManyObjects, 2)}},
        fFails, 1, "lists more than 250000 objects, the limit");

    // The EPO OPS source: the same run around other answers.
    auto ops = [&](std::string stage, std::string fault, Stage at, FaultKind kind, int page,
                   std::vector<LogRecord> records, int exit, std::string message) -> Cell& {
        Cell& cell = add(std::move(stage), std::move(fault), {{F, At(at, kind, page)}},
                         std::move(records), exit, std::move(message));
        cell.ops = true;
        return cell;
    };
    ops("OPS inquiry", "not found", Stage::OpsInquiry, FaultKind::NotFound, 0, fFails, 1, kNoPdfF);
    ops("OPS page 2", "HTML instead of PDF", Stage::OpsPage, FaultKind::HtmlInsteadOfPdf, 2, fFails,
        1, kFailedF);
    ops("OPS token", "JSON 100,000 deep", Stage::OpsToken, FaultKind::Deep, 0, none, 1,
        "more than 64 KiB, the limit for this answer");
    ops("OPS token", "terminal controls in the 401", Stage::OpsToken, FaultKind::EscapesInLink, 0,
        none, 1, "(\\x1B]0;owned\\x07\\x1B[2J\\x0D\\x0ADE1 Success)");
    ops("OPS inquiry", "60,000 deep", Stage::OpsInquiry, FaultKind::Deep, 0, fFails, 1,
        "no FullDocument with a page count");
    ops("OPS inquiry", "64 MB", Stage::OpsInquiry, FaultKind::Bulky, 0, fFails, 1,
        "more than 1 MiB, the limit for this answer");
    ops("OPS inquiry", "number-of-pages 1e9", Stage::OpsInquiry, FaultKind::Exponent, 0, fFails, 1,
        "no FullDocument with a page count");
    ops("OPS inquiry", "terminal controls in the 404", Stage::OpsInquiry, FaultKind::EscapesInLink,
        0, fFails, 1, "\\x1B]0;owned\\x07");
    // A year-long suspension of the inquiry's service holds for the next number too.
    ops("OPS inquiry", "Retry-After past any clock", Stage::OpsInquiry, FaultKind::LongWait, 0,
        {{F, "Failed"}, {G, "Failed"}}, 1, "longer wait than the watchdog allows");
    ops("OPS inquiry", "thousands of services", Stage::OpsInquiry, FaultKind::ServiceFlood, 0, both,
        0, msg::kFinished);
    ops("OPS page 2", "object chain 60,000 deep", Stage::OpsPage, FaultKind::Deep, 2, fFails, 1,
        "page 2: a page nests objects more than 400 deep, the limit");
    ops("OPS page 2", "object stream inflating to 1 GiB", Stage::OpsPage, FaultKind::Bomb, 2,
        fFails, 1, "page 2: its compressed objects inflate past 8 MiB, the limit");
    ops("OPS page 2", "larger than 64 MiB", Stage::OpsPage, FaultKind::HugePage, 2, fFails, 1,
        "more than 64 MiB, the limit for a page");
    // A quota refusal ends the run.
    ops("OPS page 1", "terminal controls in X-Rejection-Reason", Stage::OpsPage,
        FaultKind::EscapesInLink, 1, {{F, "Failed"}}, 1, "IndividualQuotaPerHour\\x9B2J");

    // The merge.
    // The external engine (KESTRANE_MERGE_PROGRAM=pdftk, found first in PATH).
    add("merge", "program warns", {}, fFails, 1, kFailedF).merge = Merge::Warns;
    Cell& hang = add("merge", "program hangs", {}, fFails, 1, msg::kFinished);
    hang.merge = Merge::Hangs;
    hang.watchdog = kStallWatchdog;
    Cell& cancelled =
        add("merge", "Ctrl-C while pdftk hangs", {}, {{F, "Cancelled"}}, 130, msg::kCancelled);
    cancelled.merge = Merge::Hangs;
    cancelled.cancelInMerge = true;

    // What the save folder holds already.
    add("save folder", "temp of the user's", {}, both, 0, msg::kFinished).temp = Temp::UsersFolder;
    add("save folder", "temp links outside", {}, both, 0, msg::kFinished).temp = Temp::LinkOut;

    // The save folder itself.
    // Four pages of 120 KB do not fit in 300 KB.
    const std::string big = "DE950000000A1";
    add("save folder", "full disk", {}, {{big, "Failed"}}, 1, big + msg::kDownloadFailed).disk =
        Disk::Full;
    c.back().numbers = {big};
    c.back().faulty = big;
    // The pages of a failed document go at once: on a small disk the next one still fits.
    const std::string big1 = "DE950000001A1";
    const std::string big2 = "DE950000002A1";
    Cell& small = add("save folder", "small disk after a failed document",
                      {{big1, At(Stage::PagePdf, FaultKind::ErrorPage, 4)}},
                      {{big1, "Failed"}, {big2, "Success"}}, 1, big1 + msg::kDownloadFailed);
    small.disk = Disk::Small;
    small.numbers = {big1, big2};
    small.faulty = big1;

    // dl.log that cannot be written is reported; nothing else is lost.
    add("save folder", "dl.log is a folder", {}, both, 1, "Could not write the run log").disk =
        Disk::LogIsFolder;
    // A read-only folder cannot take dl.log either: its records are lost, and said so.
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
           << (merge == Merge::Warns ? "echo 'Warning: odd page' >&2 ;;"
                                     : "touch '" + dir + "/merging'; exec sleep 1000 ;;")
           << " esac\nexec '" << test::MergeStandin() << "' \"$@\"\n";
    script.close();
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

void SetUpTemp(Temp temp, const fs::path& save, const fs::path& outside,
               const std::string& precious) {
    if (temp == Temp::Absent)
        return;
    fs::create_directories(outside);
    test::WriteFile((outside / "precious.pdf").string(), precious);
    if (temp == Temp::LinkOut) {
        fs::create_directory_symlink(outside, save / "temp");
        return;
    }
    fs::create_directories(save / "temp");
    test::WriteFile((save / "temp" / "notes.txt").string(), "the user's notes");
    fs::create_symlink(outside / "precious.pdf", save / "temp" / (F + "_1.pdf"));
}

// The run's own temporary folder is gone; a "temp" it did not make stands as it was.
void ExpectTempAsBefore(Temp temp, const fs::path& save, const fs::path& outside,
                        const std::string& precious) {
    for (const auto& entry : fs::directory_iterator(save)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("temp."))
            << "left behind: " << entry.path();
    }
    if (temp == Temp::Absent) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(save / "temp")));
        return;
    }
    EXPECT_EQ(precious, test::ReadFile((outside / "precious.pdf").string()));
    EXPECT_EQ(std::vector<std::string>{"precious.pdf"}, test::ListFiles(outside));
    if (temp == Temp::LinkOut) {
        EXPECT_TRUE(fs::is_symlink(save / "temp"));
        return;
    }
    EXPECT_EQ("the user's notes", test::ReadFile((save / "temp" / "notes.txt").string()));
    EXPECT_TRUE(fs::is_symlink(save / "temp" / (F + "_1.pdf")));
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, RunEndsWithTheRightRecordsAndLosesNothing) {
    const Cell& cell = GetParam();
    pubserver::ServerOptions options;
    const bool bigPages = cell.disk == Disk::Full || cell.disk == Disk::Small;
    options.syntheticPages = bigPages ? 4 : 2;
    options.syntheticKb = bigPages ? 120 : 0;
    if (cell.syntheticPages > 0)
        options.syntheticPages = cell.syntheticPages;
    options.latency = std::chrono::milliseconds(cell.latencyMs);
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
    if (cell.disk == Disk::Full || cell.disk == Disk::Small || cell.disk == Disk::ReadOnly) {
        // Small: four 120 KB pages and their merge fit, with a failed document's pages they do not.
        mount.emplace(save.string(), cell.disk == Disk::Full    ? "size=300k"
                                     : cell.disk == Disk::Small ? "size=1150k"
                                                                : "size=1m");
        if (!mount->ok())
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    const std::string keep = "a document the user already had";
    const std::string earlier = "an earlier download of " + cell.faulty;
    test::WriteFile((save / "keep.pdf").string(), keep);
    test::WriteFile((save / (cell.faulty + ".pdf")).string(), earlier);
    if (cell.disk == Disk::LogIsFolder) {
        fs::create_directory(save / "dl.log");
    } else {
        test::WriteFile((save / "dl.log").string(), "2001-01-01 00:00:00 DE1 Success\r\n");
    }
    const fs::path outside = sandbox.path() / "outside";
    const std::string precious = "a file outside the save folder";
    SetUpTemp(cell.temp, save, outside, precious);
    if (cell.disk == Disk::ReadOnly) {
        ASSERT_TRUE(mount->RemountReadOnly());
    }

    std::vector<std::string> env;
    if (cell.merge != Merge::BuiltIn) {
        FakePdftk(bin.string(), cell.merge);
        env.push_back("PATH=" + bin.string() + ":" + std::getenv("PATH"));
        env.push_back("KESTRANE_MERGE_PROGRAM=pdftk");
    }
    // Verbose: the request addresses, whatever a server put in them, are shown too.
    std::vector<std::string> args = {"-v", "-o", save.string(), "--watchdog",
                                     std::to_string(cell.watchdog)};
    if (cell.ops) {
        args.insert(args.end(), {"--source", "ops"});
        env.insert(env.end(), {"KESTRANE_OPS_BASE=" + base + "/3.2", "KESTRANE_OPS_KEY=demo-key",
                               "KESTRANE_OPS_SECRET=demo-secret",
                               "XDG_CONFIG_HOME=" + (bin / "config").string()});
    }
    args.insert(args.end(), cell.numbers.begin(), cell.numbers.end());
    test::CliProcess cli(base, args, cwd.string(), "/dev/null", env);
    ASSERT_TRUE(cli.Started());
    std::optional<std::chrono::steady_clock::time_point> interrupted;
    if (cell.cancelInMerge) {
        for (int i = 0; i < 3000 && !fs::exists(bin / "merging"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(fs::exists(bin / "merging"));
        cli.Interrupt();
        interrupted = std::chrono::steady_clock::now();
    }
    const test::CliOutcome out = cli.Wait(std::chrono::seconds(180));
    if (interrupted) {
        // Generous for a loaded machine: the point is that the merge is not waited for.
        EXPECT_LT(std::chrono::steady_clock::now() - *interrupted, std::chrono::seconds(20));
    }

    EXPECT_EQ(cell.exit, out.status) << out.err;
    // Whatever a server sends, the terminal gets no control byte but line ends
    // (nor a byte past ASCII, which may be an 8-bit control).
    for (const std::string* stream : {&out.out, &out.err}) {
        for (std::size_t i = 0; i < stream->size(); ++i) {
            const auto c = static_cast<unsigned char>((*stream)[i]);
            const bool lineEnd = c == '\n' || (c == '\r' && (*stream)[i + 1] == '\n');
            if ((c < 0x20 || c >= 0x7F) && !lineEnd)
                ADD_FAILURE() << "control byte " << int(c) << " at " << i << " of " << *stream;
        }
    }
    if (!cell.message.empty()) {
        const bool shown = out.err.find(cell.message) != std::string::npos ||
                           out.out.find(cell.message) != std::string::npos;
        EXPECT_TRUE(shown) << "expected \"" << cell.message << "\"\nstderr: " << out.err;
    }
    if (cell.disk == Disk::LogIsFolder) {
        EXPECT_TRUE(fs::is_empty(save / "dl.log"));
    } else {
        const auto log = test::ParseLog(test::ReadFile((save / "dl.log").string()));
        std::vector<LogRecord> expected = {{"DE1", "Success"}};
        expected.insert(expected.end(), cell.records.begin(), cell.records.end());
        EXPECT_EQ(expected, log);
    }

    // Nothing outside the save folder, nothing of the user's lost or truncated.
    for (const auto& entry : fs::directory_iterator(sandbox.path())) {
        EXPECT_TRUE(entry.path() == save || entry.path() == cwd || entry.path() == bin ||
                    (entry.path() == outside && cell.temp != Temp::Absent))
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
    ExpectTempAsBefore(cell.temp, save, outside, precious);
}

INSTANTIATE_TEST_SUITE_P(AllStages, FaultMatrix, ::testing::ValuesIn(Cells()), CellName);

}  // namespace
}  // namespace kestrane
