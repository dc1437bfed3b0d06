// SPDX-License-Identifier: GPL-3.0-or-later
// The publication server's registry entry: the default source.
#include "client/ClientContext.h"
#include "client/sources/Registry.h"
#include "client/sources/classic/ClassicSource.h"

namespace kestrane::sources {

namespace {

// The server's address reaches the source through the run (RunOptions::ServerBase).
SourceMaker MakeClassic(const SourceConfig&) {
    return [] { return std::make_unique<ClassicSource>(); };
}

}  // namespace

SourceEntry ClassicEntry() {
    SourceEntry e;
    e.Id = "classic";
    e.Label = "Publication server";
    e.Name = "publication server";
    e.Summary = "the publication server";
    e.Needs =
        "Nothing to register: the publication server's old interface, which it no longer "
        "serves; for mirrors of it and the stand-in.";
    e.Help =
        "The publication server: session, search form, hit or selection page, and the "
        "documents page by page. KESTRANE_SERVER_BASE names a mirror or the stand-in.";
    e.BaseEnv = "KESTRANE_SERVER_BASE";
    e.DefaultBase = kDefaultServerBase;
    e.Make = &MakeClassic;
    return e;
}

}  // namespace kestrane::sources
