// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/classic/ClassicSource.h"

#include "client/sources/classic/Documents.h"
#include "client/sources/classic/Search.h"

namespace kestrane {

Failure ClassicSource::Open(ClientContext& ctx) {
    return StartSession(ctx);
}

Failure ClassicSource::Find(ClientContext& ctx, FoundDocument& found) {
    return SearchPatent(ctx, found.link);
}

Failure ClassicSource::Fetch(ClientContext& ctx, const FoundDocument& found) {
    return LookupDocuments(ctx, found.link);
}

}  // namespace kestrane
