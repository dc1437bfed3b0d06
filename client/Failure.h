// SPDX-License-Identifier: GPL-3.0-or-later
// Why a step failed, as a value. Every failure kind maps to the text the user
// sees in exactly one place (FailureText); front ends that want more than the
// one text (the CLI's detail line) use FailureCause and the detail.
#pragma once

#include <string>
#include <string_view>

namespace kestrane {

enum class FailureKind {
    None,
    Cancelled,            // the user confirmed a cancel
    Connect,              // no connection, no answer, resolve failure
    DownloadFailed,       // an exchange or a page went wrong (error page, cut-off body)
    SaveFailed,           // a file in the save or temp folder could not be written
    NoSuchPatent,         // the server's no-match notice
    NoPdf,                // a hit without a document link, or a source without the document
    UnsafeName,           // a server-chosen name that is not a publication number
    NameClash,            // a name that would replace a file saved earlier in this run
    TooLarge,             // a page beyond the size cap, or a document beyond the page cap
    NotAPdf,              // a page that is not a one-page PDF
    MergeFailed,          // the merge ran and failed
    MergeProgramMissing,  // the outside merge program could not be started
    BadNumber,            // a number a source cannot ask for (shape, missing kind code)
    AuthFailed,           // the source refused the credentials
    QuotaExceeded,        // the source's fair-use quota is used up; the run ends
    Throttled,            // the source asked for a wait longer than the watchdog allows
    RobotDetected,        // the source took us for a robot and kept doing so
    Stalled,              // no progress for two watchdog periods; the item was abandoned
};

struct Failure {
    FailureKind kind = FailureKind::None;
    // Optional: what the user should know beyond the usual text (a path, a
    // server's reason, a wait). Never a credential.
    std::string detail;
    // It ended a whole document (classic: the page walk or the merge of one
    // document): the user reads that document's failure, whatever the kind.
    bool document = false;

    explicit operator bool() const { return kind != FailureKind::None; }
};

// The user's text of a kind where it arises (the failure box, the finish
// message); number is the number in work, exactly as typed. Exchange-level
// kinds read without the number; kinds only a document can have read as the
// document's failure.
[[nodiscard]] std::string FailureText(FailureKind kind, std::string_view number);
// The same, for a failure that may have ended a whole document.
[[nodiscard]] std::string FailureText(const Failure& failure, std::string_view number);

// A short lower-case cause for one-line reports ("no match on the server").
[[nodiscard]] std::string_view FailureCause(FailureKind kind);

}  // namespace kestrane
