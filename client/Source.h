// SPDX-License-Identifier: GPL-3.0-or-later
// Where a run's documents come from. The worker runs every item of a run
// through one source; everything around it (records, progress, status, the
// failure box, the watchdog, clean-up) stays the run's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/ClientContext.h"
#include "client/Failure.h"

namespace kestrane {

// What Find learnt about a number, handed back to Fetch.
struct FoundDocument {
    std::string link;   // classic: the first hit's URL; ops: the FullDocument link
    int pageCount = 0;  // 0 when the source learns it while fetching
};

class Source {
  public:
    virtual ~Source() = default;
    // Once per run before the first item, and again by a successor worker
    // unless the session step is skipped: the session start or the token.
    [[nodiscard]] virtual Failure Open(ClientContext& ctx) = 0;
    // The search step for ctx.CurrentNumber; the run counts the item at
    // progress::kSearched after it whatever the outcome.
    [[nodiscard]] virtual Failure Find(ClientContext& ctx, FoundDocument& found) = 0;
    // Saves every document of the number page by page into the temp folder and
    // merges each into the save folder (the merged names go to ctx.SavedFiles).
    [[nodiscard]] virtual Failure Fetch(ClientContext& ctx, const FoundDocument& found) = 0;
    // The name (without ".pdf") a number's document is saved under; number
    // as searched. The run's skip-existing check and the watchdog's clean-up
    // use it as well.
    [[nodiscard]] virtual std::string OutputName(const std::string& number) const { return number; }
    // The number as the run's record carries it; typed: the list line.
    [[nodiscard]] virtual std::string RecordNumber(const std::string& typed) const { return typed; }
    // Shown after the status text "Downloading ... PDF document ......" ("(EPO OPS)"), or "".
    [[nodiscard]] virtual std::string StatusSuffix() const { return {}; }
    // Where ctx points, this source's interface is known to be served no
    // more, so a failed Open is no passing fault.
    [[nodiscard]] virtual bool InterfaceGone(const ClientContext&) const { return false; }
};

}  // namespace kestrane
