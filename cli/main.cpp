// kestrane-cli: the download run without a window.
//
//   kestrane-cli [-o DIR] [-i FILE|-] [--proxy IP:PORT] [--watchdog SECONDS] NUMBER...
//
// Exit status: 0 every item saved, 1 some item failed (or no session), 2 input
// refused, 130 cancelled (Ctrl-C; a second Ctrl-C quits at once).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/HelpText.h"
#include "run/EventLoop.h"
#include "run/FrontEnd.h"
#include "run/InputCheck.h"
#include "run/RunController.h"

namespace {

using namespace kestrane;

constexpr int kExitSaved = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitCancelled = 130;

// One whole line per write, so our lines stay whole among the request
// addresses that the client echoes to stdout from the worker thread.
void PrintLine(std::FILE* stream, const std::string& text) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

// Ctrl-C is taken by sigtimedwait on a thread of its own instead of a signal
// handler, so nothing has to be async-signal-safe. SIGINT must be blocked
// before any other thread exists, so that every later thread inherits the mask.
sigset_t InterruptSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

void BlockInterrupts() {
    const sigset_t set = InterruptSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Calls first at the first Ctrl-C (on its own thread); the second one quits at
// once. Stopped and joined when it goes out of scope.
class InterruptWatcher {
  public:
    explicit InterruptWatcher(std::function<void()> first)
        : thread_([first = std::move(first)](std::stop_token stop) {
              const sigset_t set = InterruptSet();
              int seen = 0;
              while (!stop.stop_requested()) {
                  timespec wait{0, 100'000'000};
                  if (sigtimedwait(&set, nullptr, &wait) != SIGINT)
                      continue;
                  if (++seen == 1) {
                      first();
                  } else {
                      std::fflush(stdout);
                      std::_Exit(kExitCancelled);
                  }
              }
          }) {}

  private:
    std::jthread thread_;
};

// The front end: everything runs on the main thread's event loop.
class CliFrontEnd : public FrontEnd {
  public:
    CliFrontEnd(EventLoop& loop, std::chrono::milliseconds watchdogPeriod, bool terminal)
        : loop_(loop), period_(watchdogPeriod), terminal_(terminal) {}

    void Attach(RunController& controller) { controller_ = &controller; }

    // Main thread, after the loop has ended.
    int ExitStatus() const {
        if (cancelled_)
            return kExitCancelled;
        if (failed_)
            return kExitFailed;
        return kExitSaved;
    }

    void JobProgress(const ProgressNote& note) override {
        loop_.Post([this, note] {
            PrintNewRecords();
            if (!terminal_ || note.ProgressIndex >= note.Count)
                return;
            const RunSnapshot snapshot = controller_->Snapshot();
            const auto& numbers = snapshot.Job.PatentNumbers;
            if (note.ProgressIndex < 0 || note.ProgressIndex >= static_cast<int>(numbers.size()))
                return;
            PrintLine(stdout, "[" + std::to_string(note.ProgressIndex + 1) + "/" +
                                  std::to_string(note.Count) + "] " +
                                  numbers[static_cast<std::size_t>(note.ProgressIndex)] + " ...");
        });
    }

    void JobFinished() override {
        loop_.Post([this] {
            PrintNewRecords();
            const RunSnapshot snapshot = controller_->Snapshot();
            // Read before the run completion resets the flags; its finish
            // message goes to stderr unless the list was done.
            cancelled_ = snapshot.CancelRequested;
            failedSession_ = snapshot.SessionFailed;
            if (failedSession_)
                failed_ = true;
            controller_->OnJobFinished();
            if (!controller_->IsDownloading())
                loop_.Quit();
        });
    }

    void SetStatusText(const std::string&) override {}
    void SetProgressPos(int) override {}

    void ArmWatchdog() override {
        loop_.Post([this] {
            loop_.StartTimer(period_, [this] {
                controller_->OnWatchdogTick();
                PrintNewRecords();
            });
        });
    }

    // Nobody is there to press OK: the worker goes on at once and the text
    // goes to stderr.
    void ShowFailureBox(std::shared_ptr<FailureBox> box) override {
        box->Close();
        loop_.Post([this, box] {
            PrintNewRecords();
            PrintLine(stderr, box->Text());
        });
    }

    void StopWatchdog() override { loop_.StopTimer(); }
    void DismissFailureBox(const std::shared_ptr<FailureBox>&) override {}
    void ResetIdle() override {}
    void OpenSaveFolder(const std::string& saveFolder) override {
        PrintLine(stdout, "Saved in " + saveFolder);
    }
    void ShowFinishMessage(const std::string& text) override {
        const bool normalEnd = !cancelled_ && !failedSession_;
        PrintLine(normalEnd ? stdout : stderr, text);
    }

    // The first Ctrl-C: a confirmed cancel.
    void Interrupt() {
        loop_.Post([this] {
            if (!controller_->IsDownloading())
                return;
            PrintLine(stderr, "Cancelling... (Ctrl-C again quits at once)");
            controller_->RequestCancel();
        });
    }

  private:
    // Each outcome line as it is decided: the records of the run log.
    void PrintNewRecords() {
        const std::string log = controller_->Snapshot().RunLogText;
        if (log.size() < printed_)
            printed_ = 0;
        std::size_t start = printed_;
        for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            const std::string record = log.substr(start, end - start);
            if (record.ends_with(" Failed"))
                failed_ = true;
            PrintLine(stdout, record);
        }
        printed_ = start;
    }

    EventLoop& loop_;
    const std::chrono::milliseconds period_;
    const bool terminal_;
    RunController* controller_ = nullptr;
    // Main thread only.
    std::size_t printed_ = 0;  // how much of RunLogText has been printed
    bool failed_ = false;
    bool failedSession_ = false;
    bool cancelled_ = false;
};

std::vector<std::string> ReadLines(std::istream& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Downloads German patent documents as PDF files.", "kestrane-cli"};
    kestrane::cli::DescribeProgram(app);
    std::string saveFolder;
    std::string inputFile;
    std::string proxy;
    double watchdogSeconds = 120.0;
    std::vector<std::string> numbers;
    app.add_option("-o,--output", saveFolder, "Folder to save into (default: current folder)");
    app.add_option("-i,--input", inputFile, "File with one number per line; - reads stdin");
    app.add_option("--proxy", proxy, "HTTP proxy as IP:PORT");
    // Bounded above as well: a huge period would overflow the timer and fire at once.
    app.add_option("--watchdog", watchdogSeconds, "Seconds before a stalled item is checked")
        ->check(CLI::Range(0.001, 7.0 * 24 * 3600));
    app.add_option("numbers", numbers, "Publication numbers, e.g. DE19758096C2");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitSaved : kExitRefused;
    }
    // NaN slips through a range check; it would make the timer fire at once.
    if (!std::isfinite(watchdogSeconds)) {
        PrintLine(stderr, "--watchdog: a number of seconds is needed.");
        return kExitRefused;
    }

    DownloadRequest request;
    request.Lines = numbers;
    if (!inputFile.empty()) {
        std::vector<std::string> lines;
        if (inputFile == "-") {
            lines = ReadLines(std::cin);
        } else {
            std::ifstream in(inputFile);
            if (!in) {
                PrintLine(stderr, "Cannot read " + inputFile + ".");
                return kExitRefused;
            }
            lines = ReadLines(in);
        }
        request.Lines.insert(request.Lines.end(), lines.begin(), lines.end());
    }
    if (app.count("--output") > 0) {
        request.SaveFolder = saveFolder;
    } else {
        std::error_code ec;
        request.SaveFolder = std::filesystem::current_path(ec).string();
    }
    if (app.count("--proxy") > 0) {
        request.UseProxy = true;
        const std::size_t colon = proxy.rfind(':');
        request.ProxyIp = proxy.substr(0, colon);
        if (colon != std::string::npos)
            request.ProxyPort = proxy.substr(colon + 1);
    }

    const InputCheck check = CheckDownloadInput(request);
    if (!check.Ok) {
        PrintLine(stderr, check.Message);
        return kExitRefused;
    }

    const auto period =
        std::chrono::milliseconds(std::max<long long>(1, std::llround(watchdogSeconds * 1000.0)));
    // Until here Ctrl-C simply ends the program (also while a list is typed
    // on stdin); from here on it cancels the run. No thread exists yet.
    BlockInterrupts();
    EventLoop loop;
    CliFrontEnd front(loop, period, isatty(STDOUT_FILENO) != 0);
    int status = kExitSaved;
    {
        RunController controller(front);
        front.Attach(controller);
        // Declared last: stopped before the loop and the front end it posts to.
        InterruptWatcher interrupts([&front] { front.Interrupt(); });
        if (!controller.StartRun(check.Job))
            return kExitRefused;
        loop.Run();
        status = front.ExitStatus();
    }
    return status;
}
