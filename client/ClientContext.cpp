// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/ClientContext.h"

#include <algorithm>
#include <thread>

#include "util/Platform.h"

namespace kestrane {

int ClientContext::FailDocument(FailureKind kind) {
    if (cancelRequested()) {
        failure = Failure{FailureKind::Cancelled, {}};
        return 0;
    }
    Fail(kind);
    failure.document = true;
    return 0;
}

namespace {

// Sleeps until due in poll slices; false (failure noted) on a cancel or a stop.
bool SleepUntil(ClientContext& ctx, RequestClock::Clock::time_point due) {
    while (RequestClock::Clock::now() < due) {
        if (ctx.aborted())
            return ctx.Fail(FailureKind::DownloadFailed) != 0;
        if (ctx.cancelRequested())
            return ctx.Fail(FailureKind::Cancelled) != 0;
        const auto left = due - RequestClock::Clock::now();
        std::this_thread::sleep_for(std::min<RequestClock::Clock::duration>(left, kPollSlice));
    }
    return true;
}

}  // namespace

bool AwaitRequestTurn(ClientContext& ctx) {
    if (ctx.Requests.Gap.count() <= 0 || !ctx.LastRequest)
        return true;
    return SleepUntil(ctx, ctx.LastRequest->NextStart(ctx.Requests.Gap));
}

void NoteRequestDone(const ClientContext& ctx) {
    if (ctx.LastRequest)
        ctx.LastRequest->Mark();
}

std::chrono::milliseconds RetryDelay(const RequestPolicy& policy, int attempt) {
    auto wait = policy.RetryWait;
    for (int i = 0; i < attempt && wait < kMaxRetryWait; ++i) wait *= 2;
    return std::min(wait, kMaxRetryWait);
}

bool AwaitRetry(ClientContext& ctx, int attempt) {
    return SleepUntil(ctx, RequestClock::Clock::now() + RetryDelay(ctx.Requests, attempt));
}

std::string NormalServerBase(std::string base) {
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base.empty() ? std::string(kDefaultServerBase) : base;
}

namespace paths {

namespace fs = std::filesystem;

// Paths are UTF-8 strings; on Windows they become wide ones here.
fs::path MergedFile(const std::string& saveFolder, const std::string& name) {
    return platform::PathFromUtf8(saveFolder) / platform::PathFromUtf8(name + ".pdf");
}

fs::path PageFile(const std::string& tempFolder, const std::string& name, long page) {
    return platform::PathFromUtf8(tempFolder) /
           platform::PathFromUtf8(name + "_" + std::to_string(page) + ".pdf");
}

fs::path PartialMerge(const std::string& tempFolder, const std::string& name) {
    return platform::PathFromUtf8(tempFolder) / platform::PathFromUtf8(name + ".merge.pdf");
}

fs::path RunLog(const std::string& saveFolder) {
    return platform::PathFromUtf8(saveFolder) / "dl.log";
}

}  // namespace paths

}  // namespace kestrane
