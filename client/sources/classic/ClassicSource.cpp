// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/classic/ClassicSource.h"

#include "client/sources/classic/Documents.h"
#include "client/sources/classic/Search.h"

namespace kestrane {

namespace {

// A step's failure as a value; a 0 without a kind noted still fails.
Failure Outcome(ClientContext& ctx, bool ok) {
    if (ok)
        return {};
    ctx.Fail(FailureKind::DownloadFailed);
    return ctx.failure;
}

}  // namespace

Failure ClassicSource::Open(ClientContext& ctx) {
    return Outcome(ctx, StartSession(ctx));
}

Failure ClassicSource::Find(ClientContext& ctx, FoundDocument& found) {
    found.link = SearchPatent(ctx);
    return Outcome(ctx, !found.link.empty());
}

Failure ClassicSource::Fetch(ClientContext& ctx, const FoundDocument& found) {
    return Outcome(ctx, LookupDocuments(ctx, found.link) != 0);
}

}  // namespace kestrane
