// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-cli: the download run without a window.
//
//   kestrane-cli [-o DIR [--create-folder]] [-i FILE|-] [--proxy IP:PORT] [OPTIONS] NUMBER...
//   (every option in cli/CliDocs.cpp)
//
// Exit status: 0 every item saved, 1 some item failed (or no session), 2 input
// refused, 130 cancelled (Ctrl-C, SIGTERM or SIGHUP; a second one cancels at once).
#include <unistd.h>  // STDIN_FILENO: the C runtime has it on Windows too

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliDocs.h"
#include "cli/HelpText.h"
#include "cli/InputFile.h"
#include "cli/NumberList.h"
#include "cli/Output.h"
#include "cli/Refusals.h"
#include "cli/ScriptOptions.h"
#include "cli/SourceChoice.h"
#include "client/Messages.h"
#include "client/Settings.h"
#include "client/pdf/MergeStep.h"
#include "docs/options/Cli11Docs.h"
#include "docs/options/SourceDocs.h"
#include "run/DownloadJob.h"
#include "run/EventLoop.h"
#include "run/FrontEnd.h"
#include "run/InputCheck.h"
#include "run/RunController.h"
#include "util/Platform.h"
#include "util/UniqueFd.h"

namespace {

using namespace kestrane;

constexpr int kExitSaved = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitCancelled = 130;

using cli::PrintLine;

// The first interrupt or termination signal is a confirmed cancel; the second
// cancels at once (the item in work is recorded, its merge killed). Should
// the main thread not get there, the program ends a few seconds later anyway.
// Stopped and joined when it goes out of scope.
class InterruptWatcher {
  public:
    InterruptWatcher(std::function<void()> first, std::function<void()> second)
        : thread_([first = std::move(first), second = std::move(second)](std::stop_token stop) {
              int seen = 0;
              std::optional<std::chrono::steady_clock::time_point> giveUpAt;
              while (!stop.stop_requested()) {
                  if (giveUpAt && std::chrono::steady_clock::now() > *giveUpAt) {
                      std::fflush(stdout);
                      std::_Exit(kExitCancelled);
                  }
                  if (!platform::WaitForInterrupt(std::chrono::milliseconds(100)))
                      continue;
                  if (++seen == 1) {
                      first();
                  } else if (seen == 2) {
                      second();
                      giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                  }
              }
          }) {}

  private:
    std::jthread thread_;
};

// The front end: the run's events arrive on the main thread's event loop.
// One front end serves every run of a batch; the summary comes once, after the last.
class CliFrontEnd : public FrontEnd {
  public:
    CliFrontEnd(EventLoop& loop, cli::Reporter& reporter) : loop_(loop), reporter_(reporter) {}

    int ExitStatus() const {
        if (cancelled_)
            return kExitCancelled;
        if (failed_)
            return kExitFailed;
        return kExitSaved;
    }
    // No further run of a batch may start.
    bool StopsBatch() const { return cancelled_ || failedSession_; }
    // Ctrl-C came between two runs of a batch.
    void CancelBetweenRuns() {
        cancelled_ = true;
        finishMessage_ = msg::kCancelled;
    }

    void OnItemStarted(const ItemStarted& item) override { reporter_.ItemStarted(item.Number); }
    void OnItemProgress(const ItemProgress& progress) override { reporter_.ItemProgress(progress); }
    // Each outcome as it is decided.
    void OnItemFinished(const ItemFinished& item) override {
        if (item.Result == Outcome::Failed)
            failed_ = true;
        reporter_.ItemFinished(item);
    }
    // Nobody is there to press OK: the worker goes on at once and the text
    // goes to stderr.
    void AskToAcknowledge(std::shared_ptr<FailureNotice> box) override {
        box->Close();
        reporter_.Error(box->Text());
    }
    void OnRunFinished(const RunEnd& end) override {
        // A batch's runs add up; the allowance's counts are the latest seen.
        quota_.RunBytes += end.Quota.RunBytes;
        if (end.Quota.HourUsed)
            quota_.HourUsed = end.Quota.HourUsed;
        if (end.Quota.WeekUsed)
            quota_.WeekUsed = end.Quota.WeekUsed;
        cancelled_ = end.Cancelled;
        failedSession_ = end.SessionFailed;
        sessionFailure_ = end.SessionFailure;
        interfaceGone_ = end.InterfaceGone;
        if (failedSession_)
            failed_ = true;
    }
    // The run completion has begun; the loop ends once it has returned.
    void OnIdle() override { loop_.Quit(); }
    void OnSaveFolderReady(const std::string& saveFolder) override { saveFolder_ = saveFolder; }
    void OnRunMessage(const std::string& text) override { finishMessage_ = text; }

    // The end of the whole list: where it was saved and how it ended; a
    // cancel or a failed session is an error.
    void PrintSummary() const {
        const bool normalEnd = !cancelled_ && !failedSession_;
        if (normalEnd && !saveFolder_.empty())
            reporter_.Note("Saved in " + saveFolder_);
        // Said after every end, also one the quota brought about.
        if (quota_.Seen())
            reporter_.Note(QuotaText(quota_));
        if (finishMessage_.empty())
            return;
        if (failedSession_ && sessionFailure_ == FailureKind::Connect)
            reporter_.ConnectFailed();
        if (normalEnd)
            reporter_.Note(finishMessage_);
        else
            reporter_.Error(finishMessage_);
        if (failedSession_ && interfaceGone_)
            reporter_.Error(msg::kInterfaceGoneCli);
    }
    void OnLogIncomplete(const std::string& text) override {
        failed_ = true;
        PrintLine(stderr, "Warning: " + text);
    }
    // A cancel that did not wait for the worker: no run end arrives to say so.
    void MarkCancelled() { cancelled_ = true; }

  private:
    EventLoop& loop_;
    cli::Reporter& reporter_;
    // Main thread only.
    std::string saveFolder_;
    std::string finishMessage_;
    QuotaUse quota_;
    bool failed_ = false;
    bool failedSession_ = false;
    FailureKind sessionFailure_ = FailureKind::None;
    bool interfaceGone_ = false;
    bool cancelled_ = false;
};

// The -i input, read only as far as the input checks could still pass it
// (with --batch: up to kMaxListLines numbers, and one more to tell a longer list).
bool ReadInputInto(const std::string& inputFile, bool batch, std::vector<std::string>& lines) {
    int nonBlank = 0;
    for (const std::string& line : lines) {
        if (!TrimRight(line.substr(0, kMaxLineLength)).empty())
            ++nonBlank;
    }
    UniqueFd file;
    if (inputFile != "-") {
        file = UniqueFd(platform::OpenForReading(inputFile));
        if (!file.valid())
            return false;
    }
    const int limit = (batch ? cli::kMaxListLines : kMaxTasks) + 1 - nonBlank;
    cli::InputLines input = cli::ReadInputLines(file.valid() ? file.get() : STDIN_FILENO, limit);
    lines.insert(lines.end(), std::make_move_iterator(input.lines.begin()),
                 std::make_move_iterator(input.lines.end()));
    return !input.readFailed;
}

struct Arguments {
    std::string saveFolder;
    bool hasSaveFolder = false;
    bool createFolder = false;
    std::string inputFile;
    std::string proxy;
    bool hasProxy = false;
    double watchdogSeconds = 120.0;
    std::string mergeProgram;
    bool hasMergeProgram = false;
    std::vector<std::string> numbers;
    std::string source;  // "" when not given
    cli::ScriptOptions script;
};

// The command line; nullopt with the exit status in status when it ends here.
std::optional<Arguments> ParseArguments(std::vector<std::string> argv, int& status) {
    CLI::App app{"", "kestrane-cli"};
    kestrane::cli::DescribeProgram(app);
    const docs::ProgramDocs& table = cli::CliDocs();
    Arguments args;
    docs::AddOption(app, table, "--output", args.saveFolder);
    docs::AddOption(app, table, "--create-folder", args.createFolder);
    docs::AddOption(app, table, "--input", args.inputFile);
    docs::AddOption(app, table, "--proxy", args.proxy);
    // Bounded above as well: a huge period would overflow the timer and fire at once.
    docs::AddOption(app, table, "--watchdog", args.watchdogSeconds)
        ->check(CLI::Range(0.001, 7.0 * 24 * 3600));
    docs::AddOption(app, table, "--source", args.source)->check(CLI::IsMember(docs::SourceIds()));
    docs::AddOption(app, table, "--merge-program", args.mergeProgram);
    cli::AddScriptOptions(app, table, args.script);
    app.add_option("numbers", args.numbers, "Publication numbers, e.g. DE19758096C2");
    try {
        // CLI11 takes the arguments last first, without the program's name.
        std::reverse(argv.begin(), argv.end());
        argv.pop_back();
        app.parse(argv);
    } catch (const CLI::ParseError& e) {
        status = app.exit(e) == 0 ? kExitSaved : kExitRefused;
        return std::nullopt;
    }
    // NaN slips through a range check; it would make the timer fire at once.
    if (!std::isfinite(args.watchdogSeconds)) {
        PrintLine(stderr, "--watchdog: a number of seconds is needed.");
        status = kExitRefused;
        return std::nullopt;
    }
    args.hasSaveFolder = app.count("--output") > 0;
    args.hasProxy = app.count("--proxy") > 0;
    args.hasMergeProgram = app.count("--merge-program") > 0;
    return args;
}

// The Download command's request; false (and a message) when the list file cannot be read.
bool BuildRequest(const Arguments& args, DownloadRequest& request) {
    request.Lines = args.numbers;
    if (!args.inputFile.empty() &&
        !ReadInputInto(args.inputFile, args.script.batch, request.Lines)) {
        PrintLine(stderr, "Cannot read " + args.inputFile + ".");
        return false;
    }
    if (args.hasSaveFolder) {
        request.SaveFolder = args.saveFolder;
    } else {
        std::error_code ec;
        request.SaveFolder = platform::Utf8FromPath(std::filesystem::current_path(ec));
    }
    if (args.hasProxy) {
        request.UseProxy = true;
        const std::size_t colon = args.proxy.rfind(':');
        request.ProxyIp = args.proxy.substr(0, colon);
        if (colon != std::string::npos)
            request.ProxyPort = args.proxy.substr(colon + 1);
    }
    return true;
}

// The merge program of the run (see ChooseMergeProgram); nullopt (and a
// message) when the chosen outside program is nowhere: it would fail every
// document after its pages were downloaded.
std::optional<std::string> MergeProgramOfTheRun(const Arguments& args) {
    std::string program =
        args.hasMergeProgram ? args.mergeProgram : ChooseMergeProgram("", MergeProgramSetting());
    if (IsBuiltInMerge(program) || !MergeProgramPath(program).empty())
        return program;
    const std::string from = args.hasMergeProgram ? "--merge-program" : kMergeProgramVariable;
    PrintLine(stderr, from + ": merge program " + program +
                          " not found (neither beside kestrane-cli nor in PATH).");
    return std::nullopt;
}

std::chrono::milliseconds WatchdogPeriod(double watchdogSeconds) {
    return std::chrono::milliseconds(
        std::max<long long>(1, std::llround(watchdogSeconds * 1000.0)));
}

// Prints a refusal: the line that names what was refused, then the window's text.
void Refuse(const InputCheck& check, const DownloadRequest& request, const Arguments& args,
            const std::string& createFailure = "") {
    cli::RefusedInput given;
    given.numbers = cli::NonBlankLines(request.Lines);
    given.numbersCut = !args.inputFile.empty();
    given.proxy = args.proxy;
    given.createFailure = createFailure;
    if (const std::string named = cli::NamedRefusal(check, request, given); !named.empty())
        PrintLine(stderr, named);
    PrintLine(stderr, check.Message);
}

// The input checks of the first run; with --create-folder a missing save
// folder is made once everything before it has passed. Prints a refusal.
InputCheck CheckInput(const DownloadRequest& request, const Arguments& args) {
    InputCheck check = CheckDownloadInput(request);
    std::string createFailure;
    if (!check.Ok && check.Refused == Refusal::MissingFolder && args.createFolder) {
        createFailure = cli::MakeSaveFolder(request.SaveFolder);
        if (createFailure.empty())
            check = CheckDownloadInput(request);
    }
    if (!check.Ok)
        Refuse(check, request, args, createFailure);
    return check;
}

// The runs, each until its completion has returned; the exit status over all.
// The first run's input has been checked; each later one is checked as it starts.
int RunDownload(const std::vector<std::vector<std::string>>& runs, const DownloadRequest& request,
                JobInput firstJob, RunOptions options, cli::Reporter& reporter) {
    // Until here Ctrl-C simply ends the program (also while a list is typed
    // on stdin); from here on it cancels the run. No thread exists yet.
    platform::CatchInterrupts();
    EventLoop loop;
    CliFrontEnd front(loop, reporter);
    RunController controller(front, loop, std::move(options));
    std::atomic<bool> interrupted{false};
    // Declared last: stopped before the loop and the front end it posts to.
    InterruptWatcher interrupts(
        [&loop, &controller, &reporter, &interrupted] {
            // The first Ctrl-C: a confirmed cancel, and no further run of a batch.
            interrupted.store(true);
            loop.Post([&controller, &reporter] {
                if (!controller.IsDownloading())
                    return;
                reporter.Error("Cancelling... (Ctrl-C again quits at once)");
                controller.RequestCancel();
            });
        },
        [&loop, &controller, &front] {
            // The second: cancel without waiting for the worker.
            loop.Post([&controller, &front] {
                if (!controller.IsDownloading())
                    return;
                front.MarkCancelled();
                controller.CancelNow();
            });
        });
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (interrupted.load()) {
            front.CancelBetweenRuns();
            break;
        }
        JobInput job = std::move(firstJob);
        if (i > 0) {
            DownloadRequest next = request;
            next.Lines = runs[i];
            InputCheck check = CheckDownloadInput(next);
            if (!check.Ok) {
                if (const std::string named = cli::NamedRefusal(check, next, {}); !named.empty())
                    reporter.Error(named);
                reporter.Error(check.Message);
                return kExitRefused;
            }
            job = std::move(check.Job);
        }
        if (!controller.StartRun(std::move(job)))
            return kExitRefused;
        loop.Run();
        if (front.StopsBatch())
            break;
    }
    front.PrintSummary();
    return front.ExitStatus();
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output or error (kestrane-cli ... | head -1) must not
    // end the run: the writes fail quietly and the files and records are made.
    platform::PrepareConsole();
    int status = kExitSaved;
    const std::optional<Arguments> args = ParseArguments(platform::Arguments(argc, argv), status);
    if (!args)
        return status;
    RunOptions options = FrontEndRunOptions();
    options.WatchdogPeriod = WatchdogPeriod(args->watchdogSeconds);
    if (std::string message; !cli::ApplyScriptOptions(args->script, options, message)) {
        PrintLine(stderr, message);
        return kExitRefused;
    }
    DownloadRequest request;
    if (!BuildRequest(*args, request))
        return kExitRefused;
    // Before the input check, which creates the temp folder.
    cli::SourceChoice choice =
        cli::ChooseSource(args->source, WatchdogPeriod(args->watchdogSeconds));
    if (!choice.Ok) {
        PrintLine(stderr, choice.Message);
        return kExitRefused;
    }

    // Without --batch the list is refused beyond 20 numbers as the window
    // refuses it, repeats included (the checks refuse that before anything is made).
    if (!args->script.batch && cli::NonBlankLines(request.Lines) > kMaxTasks) {
        Refuse(CheckDownloadInput(request), request, *args);
        return kExitRefused;
    }
    // A batch longer than the limit is refused whole, before anything is
    // fetched: running only its first part would read as a list done.
    if (args->script.batch && cli::NonBlankLines(request.Lines) > cli::kMaxListLines) {
        PrintLine(stderr, cli::kListTooLong);
        return kExitRefused;
    }
    const cli::NumberList list =
        cli::PlanList(request.Lines, args->script.normalize, choice.OutputName);
    const std::vector<std::vector<std::string>> runs =
        args->script.batch ? cli::SplitRuns(list.Lines, kMaxTasks)
                           : std::vector<std::vector<std::string>>{list.Lines};
    // A later run of a batch that the checks would refuse refuses the batch
    // before anything is fetched (the checks refuse it before any folder is made).
    for (std::size_t i = 1; i < runs.size(); ++i) {
        if (std::any_of(runs[i].begin(), runs[i].end(), [](const std::string& line) {
                return HoldsControlCharacter(TrimRight(line.substr(0, kMaxLineLength)));
            })) {
            request.Lines = runs[i];
            Refuse(CheckDownloadInput(request), request, *args);
            return kExitRefused;
        }
    }
    request.Lines = runs.empty() ? std::vector<std::string>{} : runs.front();
    const InputCheck check = CheckInput(request, *args);
    if (!check.Ok)
        return kExitRefused;
    const std::optional<std::string> mergeProgram = MergeProgramOfTheRun(*args);
    if (!mergeProgram)
        return kExitRefused;
    options.MergeProgram = *mergeProgram;
    options.MakeSource = std::move(choice.MakeSource);
    options.Choices.SourceId = choice.Name;

    cli::Reporter reporter(args->script.Level(), platform::IsTerminal(stderr),
                           static_cast<int>(list.Lines.size()));
    for (const std::string& number : list.Duplicates)
        reporter.Note(number + ": listed twice, fetched once");
    options.OnRequest = reporter.RequestEcho();
    reporter.SetProxy(args->hasProxy ? args->proxy : "");
    return RunDownload(runs, request, check.Job, std::move(options), reporter);
}
