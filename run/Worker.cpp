// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/Worker.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "client/ClientContext.h"
#include "client/Messages.h"
#include "client/PublicationNumber.h"
#include "client/SaveDocument.h"
#include "client/pdf/DocInfo.h"
#include "client/sources/Registry.h"
#include "run/InputCheck.h"
#include "util/Platform.h"
#include "util/Printable.h"

namespace kestrane::detail {

void PostEvent(RunShared& run, const std::shared_ptr<WorkerToken>& token,
               std::function<void()> event) {
    run.Events.Post([token, event = std::move(event)] {
        if (!token->revoked.load())
            event();
    });
}

namespace {

bool FileStands(const std::filesystem::path& path) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    // When we cannot tell, assume it stands: the watchdog then leaves it alone.
    return exists || ec;
}

// Every side effect of a worker on shared state goes through here: under the
// run lock, and only while the worker's token has not been revoked. False
// tells the worker it has been stopped and must unwind without touching
// anything else.
template <class Effect>
bool Gate(RunShared& run, WorkerToken& token, Effect&& effect) {
    std::lock_guard<std::mutex> lock(run.Lock);
    if (token.revoked.load())
        return false;
    effect();
    return true;
}

// Inside the gate: the finish event of this worker.
void PostFinish(RunShared& run, const std::shared_ptr<WorkerToken>& token) {
    token->finishPosted = true;
    PostEvent(run, token, [&run, token] { run.WorkerFinished(token); });
}

// One worker's pass over the job: the session step unless a predecessor
// already had it, then every item from the job's current index on.
class WorkerPass {
  public:
    WorkerPass(RunShared& run, DownloadJob& job, std::shared_ptr<WorkerToken> token)
        : run_(run),
          job_(job),
          token_(std::move(token)),
          count_(static_cast<int>(job.PatentNumbers.size())) {}

    void Run() {
        SetUpContext();
        int index = 0;
        {
            std::lock_guard<std::mutex> lock(run_.Lock);
            index = job_.CurrentIndex;
        }
        if (run_.Options.MakeSource)
            source_ = run_.Options.MakeSource();
        if (!source_)
            source_ = sources::All().front().Make({})();
        if (!OpenSession())
            return;
        for (; index < count_; ++index) {
            if (!RunItem(index))
                return;
        }
        FinishList();
    }

  private:
    template <class Effect>
    bool Gate(Effect&& effect) {
        return detail::Gate(run_, *token_, std::forward<Effect>(effect));
    }
    // Inside the gate: an event for the front end, in the order it is emitted.
    template <class Event>
    void Emit(Event&& event) {
        PostEvent(run_, token_,
                  [&front = run_.Front, event = std::forward<Event>(event)] { event(front); });
    }
    void EmitStep(int percent) {
        const ItemStep step{itemIndex_, percent};
        Emit([step](FrontEnd& front) { front.OnItemStep(step); });
    }
    void EmitArmWatchdog() {
        PostEvent(run_, token_, [&run = run_] { run.ArmWatchdog(); });
    }

    void SetUpContext() {
        ctx_.ServerBase = NormalServerBase(run_.Options.ServerBase);
        ctx_.Share = run_.Http;
        ctx_.OnRequest = run_.Options.OnRequest;
        ctx_.SaveFolder = job_.SaveFolder;
        ctx_.TempFolder = job_.TempFolder;
        ctx_.Proxy = job_.Proxy;
        ctx_.AccessType = job_.AccessType;
        ctx_.MergeProgram = run_.Options.MergeProgram;
        ctx_.CancelRequested = &run_.CancelRequested;
        ctx_.Abort = &token_->abort;
        ctx_.Activity = &token_->activity;
        ctx_.SavedInRun = job_.SavedInRun.get();
        ctx_.SetProgress = [this](int percent) { Gate([&] { EmitStep(percent); }); };
        ctx_.Requests = run_.Options.Requests;
        ctx_.LastRequest = run_.LastRequest;
        ctx_.SkipExisting = run_.Options.SkipExisting;
        ctx_.Resume = run_.Choices.Resume;
        ctx_.WantBiblio = run_.Choices.Biblio;
        ctx_.Names = run_.Choices.Names;
        ctx_.Quota = run_.Quota;
        ctx_.OnTransfer = [this](const TransferProgress& transfer) { EmitTransfer(transfer); };
    }

    // Every body chunk reports here; the front end hears of it ten times a
    // second at most, and at once when a new page begins.
    void EmitTransfer(const TransferProgress& transfer) {
        const auto now = std::chrono::steady_clock::now();
        const bool newPage = transfer.PagesSeen != lastTransfer_.PagesSeen;
        if (!newPage && now - lastTransferSent_ < std::chrono::milliseconds(100))
            return;
        lastTransfer_ = transfer;
        lastTransferSent_ = now;
        ItemProgress note{itemIndex_, itemNumber_, transfer};
        Gate([&] { Emit([note](FrontEnd& front) { front.OnItemProgress(note); }); });
    }

    // The name the number is searched for and its file saved under.
    std::string SearchName(const std::string& number) const {
        return run_.Options.NormalizeNumbers ? CompactNumber(number) : number;
    }

    bool OpenSession() {
        if (!run_.SkipSessionStart.load()) {
            // A server that accepts the connection and then says nothing would
            // otherwise hold the session step, and the whole run, forever.
            if (!Gate([&] {
                    run_.InterfaceGone.store(source_->InterfaceGone(ctx_));
                    EmitArmWatchdog();
                }))
                return false;
            if (const Failure failure = source_->Open(ctx_)) {
                Gate([&] {
                    job_.MessageText = FailureText(failure, ctx_.CurrentNumber);
                    job_.SessionFailure = failure.kind;
                    run_.SessionFailed.store(true);
                    PostFinish(run_, token_);
                });
                return false;
            }
        }
        return Gate([&] {
            token_->sessionPassed = true;
            Emit([](FrontEnd& front) { front.OnSessionOpened(); });
            EmitArmWatchdog();
        });
    }

    // False: the worker has been stopped, or the run ends here (cancel).
    bool RunItem(int index) {
        const std::string number = job_.PatentNumbers[static_cast<std::size_t>(index)];
        std::string stamp;
        if (!BeginItem(index, number, stamp))
            return false;
        Failure failure;
        if (!FindAndFetch(number, failure))
            return false;
        // Digests are taken here, outside the run lock.
        const Outcome outcome = !failure                      ? Outcome::Success
                                : run_.CancelRequested.load() ? Outcome::Cancelled
                                                              : Outcome::Failed;
        row_ = MakeRow(number, stamp, outcome, failure);
        if (!failure)
            return Gate([&] {
                Record(index, number, stamp, Outcome::Success, failure);
                job_.ItemSucceeded = 1;
                job_.PreviousNumber = job_.CurrentNumber;
            });
        if (run_.CancelRequested.load()) {
            Gate([&] {
                Record(index, number, stamp, Outcome::Cancelled, failure);
                PostFinish(run_, token_);
            });
            return false;
        }
        // Refused credentials, a used-up quota or a block: the remaining items
        // would only be refused too, so the run ends with the reason as its message.
        // A fresh OPS token refused on one page is not among them: it fails that item only.
        if (failure.endsRun || failure.kind == FailureKind::QuotaExceeded ||
            failure.kind == FailureKind::Blocked) {
            Gate([&] {
                Record(index, number, stamp, Outcome::Failed, failure);
                job_.MessageText = FailureText(failure, number);
                PostFinish(run_, token_);
            });
            return false;
        }
        return ShowFailure(index, number, stamp, failure);
    }

    // The item's report row, its saved files' digests read now (only when
    // a report is written).
    ReportRow MakeRow(const std::string& number, const std::string& stamp, Outcome outcome,
                      const Failure& failure) const {
        if (!run_.Reporting())
            return {};
        ReportRow row = BasicReportRow(stamp, number, run_.SourceId(), outcome, failure.kind);
        if (failure && !failure.detail.empty())
            row.Cause += ": " + Printable(failure.detail);
        for (const std::string& name : ctx_.SavedFiles) {
            const std::string path =
                platform::Utf8FromPath(platform::PathFromUtf8(job_.SaveFolder) / name);
            row.Files.push_back({name, Sha256OfFile(path).value_or("")});
        }
        row.Pages = ctx_.transfer.PagesSeen;
        row.Bytes = ctx_.transfer.Bytes;
        row.Requests = ctx_.transfer.Requests;
        row.Seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart_).count();
        row.Info = ctx_.biblio;
        return row;
    }

    bool BeginItem(int index, const std::string& number, std::string& stamp) {
        itemIndex_ = index;
        itemStart_ = std::chrono::steady_clock::now();
        itemNumber_ = number;
        const std::string outputName = source_->OutputName(SearchName(number));
        const std::string recordNumber = source_->RecordNumber(number);
        const bool outputExisted = FileStands(paths::MergedFile(job_.SaveFolder, outputName));
        std::string activity = "Downloading " + number + " PDF document ......";
        if (const std::string suffix = source_->StatusSuffix(); !suffix.empty())
            activity += " " + suffix;
        return Gate([&] {
            job_.PreviousNumber = job_.CurrentNumber;
            job_.CurrentNumber = number;
            job_.ProgressIndex = index;
            job_.CurrentIndex = index;
            token_->outputExisted = outputExisted;
            token_->outputName = outputName;
            // The record carries the time the item started, not the time
            // its outcome was known.
            stamp = FormatTimeStamp(std::time(nullptr));
            job_.ItemStamp = stamp;
            job_.ItemRecordNumber = recordNumber;
            ItemStarted item{{index, job_.ItemSucceeded, job_.PreviousNumber, count_},
                             number,
                             std::move(activity)};
            Emit([item = std::move(item)](FrontEnd& front) { front.OnItemStarted(item); });
        });
    }

    // A single-document number whose merged file is already saved: known
    // before the search, so nothing is asked of the server.
    bool AlreadySaved(const std::string& name) { return SkipSavedDocument(ctx_, name); }

    // The search, then (when it found something) the documents. False: stopped.
    bool FindAndFetch(const std::string& number, Failure& failure) {
        static_cast<ItemState&>(ctx_) = ItemState{};
        ctx_.CurrentNumber = SearchName(number);
        lastTransfer_ = {};
        if (AlreadySaved(source_->OutputName(ctx_.CurrentNumber)))
            return Gate([&] { EmitStep(progress::kFull); });
        FoundDocument found;
        failure = source_->Find(ctx_, found);
        if (!Gate([&] {
                job_.ItemSucceeded = 0;
                EmitStep(progress::kSearched);
                if (failure)
                    job_.MessageText = FailureText(failure, number);
            })) {
            return false;
        }
        if (failure)
            return true;
        failure = source_->Fetch(ctx_, found);
        return !failure || Gate([&] { job_.MessageText = FailureText(failure, number); });
    }

    // Records a failed item and waits until the user has acknowledged its question.
    bool ShowFailure(int index, const std::string& number, const std::string& stamp,
                     const Failure& failure) {
        auto question = std::make_shared<FailureNotice>(FailureText(failure, number));
        if (!Gate([&] {
                Record(index, number, stamp, Outcome::Failed, failure);
                token_->question = question;
                Emit([question](FrontEnd& front) { front.AskToAcknowledge(question); });
            })) {
            return false;
        }
        // Outside the lock: the user may take as long as they like, and a
        // stop closes the question for us.
        question->Wait();
        return Gate([&] { token_->question.reset(); });
    }

    // Inside the gate: the item's record, and the event that reports it.
    void Record(int index, const std::string& number, const std::string& stamp, Outcome outcome,
                const Failure& failure) {
        job_.ItemStamp.clear();
        row_.Result = outcome;
        run_.AddRecord(MakeLogLine(stamp, job_.ItemRecordNumber, outcome), row_);
        ItemFinished item{index,           number, outcome,        failure.kind,
                          ctx_.SavedFiles, stamp,  failure.detail, ctx_.AlreadySaved};
        Emit([item = std::move(item)](FrontEnd& front) { front.OnItemFinished(item); });
    }

    void FinishList() {
        Gate([&] {
            job_.MessageText = msg::kFinished;
            job_.CurrentNumber.clear();
            job_.ProgressIndex = count_;
            const ProgressNote note{count_, job_.ItemSucceeded, job_.PreviousNumber, count_};
            Emit([note](FrontEnd& front) { front.OnListDone(note); });
            PostFinish(run_, token_);
        });
    }

    RunShared& run_;
    DownloadJob& job_;
    const std::shared_ptr<WorkerToken> token_;
    const int count_;
    ClientContext ctx_;  // this worker's thread only
    std::unique_ptr<Source> source_;
    // This worker's thread only: the item in work and its last transfer report.
    int itemIndex_ = 0;
    std::string itemNumber_;
    TransferProgress lastTransfer_;
    std::chrono::steady_clock::time_point itemStart_{};
    ReportRow row_;  // the item's report row, made before its record
    std::chrono::steady_clock::time_point lastTransferSent_{};
};

}  // namespace

void DownloadWorker(RunShared& run, std::shared_ptr<DownloadJob> job,
                    std::shared_ptr<WorkerToken> token) {
    try {
        WorkerPass(run, *job, token).Run();
    } catch (...) {
        // Nothing in the client throws on purpose; should memory run out, end
        // the run rather than leave it waiting for a finish that never comes.
        try {
            Gate(run, *token, [&] {
                if (!token->finishPosted)
                    PostFinish(run, token);
            });
        } catch (...) {
        }
    }
}

}  // namespace kestrane::detail
