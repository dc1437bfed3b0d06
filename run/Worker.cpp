#include "run/Worker.h"

#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "client/ClientContext.h"
#include "client/Documents.h"
#include "client/Messages.h"
#include "client/Search.h"
#include "client/Source.h"

namespace kestrane::detail {

namespace {

// Every side effect of a worker on shared state goes through here: under the
// run lock, and only while the worker's token has not been revoked. False
// tells the worker it has been stopped and must unwind without touching
// anything else.
class Gate {
  public:
    Gate(RunShared& run, WorkerToken& token) : run_(run), token_(token) {}

    template <class Effect>
    bool operator()(Effect&& effect) const {
        std::lock_guard<std::mutex> lock(run_.Lock);
        if (token_.revoked)
            return false;
        effect();
        return true;
    }

  private:
    RunShared& run_;
    WorkerToken& token_;
};

bool FileStands(const std::string& path) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    // When we cannot tell, assume it stands: the watchdog then leaves it alone.
    return exists || ec;
}

void RunItems(RunShared& run, DownloadJob& job, WorkerToken& token, const Gate& gate) {
    FrontEnd& front = run.Front;

    ClientContext ctx;
    ctx.ServerBase = run.Options.ServerBase.empty() ? DefaultServerBase() : run.Options.ServerBase;
    ctx.SaveFolder = job.SaveFolder;
    ctx.TempFolder = job.TempFolder;
    ctx.Proxy = job.Proxy;
    ctx.AccessType = job.AccessType;
    ctx.Pdftk = run.Options.Pdftk;
    ctx.CancelRequested = &run.CancelRequested;
    ctx.Abort = &token.abort;
    ctx.SetProgress = [&front, &gate](int position) {
        gate([&] { front.SetProgressPos(position); });
    };
    ctx.StillWaiting = [&job, &gate] { gate([&] { ++job.WaitBeats; }); };
    // Null: the publication server's chain.
    const std::unique_ptr<Source> source =
        run.Options.MakeSource ? run.Options.MakeSource() : nullptr;

    int index = 0;
    {
        std::lock_guard<std::mutex> lock(run.Lock);
        index = job.CurrentIndex;
        // One message text per run: a restarted worker carries on from it.
        ctx.MessageText = job.MessageText;
    }
    const int count = static_cast<int>(job.PatentNumbers.size());

    // Inside the gate only.
    const auto postFinish = [&] {
        token.finishPosted = true;
        front.JobFinished();
    };

    if (!run.SkipSessionStart.load()) {
        // A server that accepts the connection and then says nothing would
        // otherwise hold the session step, and the whole run, forever.
        if (!gate([&] { front.ArmWatchdog(); }))
            return;
        if (source ? static_cast<bool>(source->Open(ctx)) : !StartSession(ctx)) {
            gate([&] {
                job.MessageText = ctx.MessageText;
                run.SessionFailed.store(true);
                postFinish();
            });
            return;
        }
    }
    if (!gate([&] {
            token.sessionPassed = true;
            front.SetProgressPos(100);
            front.ArmWatchdog();
        })) {
        return;
    }

    for (; index < count; ++index) {
        const std::string number = job.PatentNumbers[static_cast<std::size_t>(index)];
        const bool outputExisted = FileStands(job.SaveFolder + number + ".pdf");
        std::string stamp;
        if (!gate([&] {
                front.SetProgressPos(0);
                job.PreviousNumber = job.CurrentNumber;
                job.CurrentNumber = number;
                job.ProgressIndex = index;
                job.CurrentIndex = index;
                token.outputExisted = outputExisted;
                // The record carries the time the item started, not the time
                // its outcome was known.
                stamp = FormatTimeStamp(std::time(nullptr));
                front.JobProgress(
                    ProgressNote{index, job.ItemSucceeded, job.PreviousNumber, count});
                const std::string suffix = source ? source->StatusSuffix() : std::string();
                front.SetStatusText("Downloading " + number + " PDF document ......" +
                                    (suffix.empty() ? "" : " " + suffix));
            })) {
            return;
        }

        ctx.CurrentNumber = number;
        ctx.SavedFiles.clear();
        FoundDocument found;
        Failure failure;
        if (source)
            failure = source->Find(ctx, found);
        else if ((found.link = SearchPatent(ctx)).empty())
            failure.kind = FailureKind::NoSuchPatent;
        if (!gate([&] {
                job.ItemSucceeded = 0;
                front.SetProgressPos(30);
                if (failure)
                    job.MessageText = ctx.MessageText;
            })) {
            return;
        }

        bool saved = false;
        if (!failure) {
            if (source)
                failure = source->Fetch(ctx, found);
            else if (LookupDocuments(ctx, found.link) == 0)
                failure.kind = FailureKind::DownloadFailed;
            saved = !failure;
            if (!saved && !gate([&] { job.MessageText = ctx.MessageText; }))
                return;
        }

        if (saved) {
            if (!gate([&] {
                    run.RunLogText += MakeLogLine(stamp, number, Outcome::Success);
                    job.ItemSucceeded = 1;
                    job.PreviousNumber = job.CurrentNumber;
                })) {
                return;
            }
            continue;
        }

        if (run.CancelRequested.load()) {
            gate([&] {
                run.RunLogText += MakeLogLine(stamp, number, Outcome::Cancelled);
                postFinish();
            });
            return;
        }
        // Refused credentials or a used-up quota: the remaining items would
        // only be refused too, so the run ends with the reason as its message.
        if (failure.kind == FailureKind::QuotaExceeded || failure.kind == FailureKind::AuthFailed) {
            gate([&] {
                run.RunLogText += MakeLogLine(stamp, number, Outcome::Failed);
                job.MessageText = ctx.MessageText;
                postFinish();
            });
            return;
        }

        auto box = std::make_shared<FailureBox>(ctx.MessageText);
        if (!gate([&] {
                run.RunLogText += MakeLogLine(stamp, number, Outcome::Failed);
                token.box = box;
                front.ShowFailureBox(box);
            })) {
            return;
        }
        // Outside the lock: the user may take as long as they like, and a
        // stop closes the box for us.
        box->Wait();
        if (!gate([&] { token.box.reset(); }))
            return;
    }

    gate([&] {
        job.MessageText = msg::kFinished;
        job.CurrentNumber.clear();
        job.ProgressIndex = count;
        front.JobProgress(ProgressNote{count, job.ItemSucceeded, job.PreviousNumber, count});
        postFinish();
    });
}

}  // namespace

void DownloadWorker(RunShared& run, std::shared_ptr<DownloadJob> job,
                    std::shared_ptr<WorkerToken> token) {
    const Gate gate(run, *token);
    try {
        RunItems(run, *job, *token, gate);
    } catch (...) {
        // Nothing in the client throws by design; should memory run out, end
        // the run rather than leave it waiting for a finish that never comes.
        try {
            gate([&] {
                if (!token->finishPosted) {
                    token->finishPosted = true;
                    run.Front.JobFinished();
                }
            });
        } catch (...) {
        }
    }
}

}  // namespace kestrane::detail
