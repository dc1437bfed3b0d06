// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Failure.h"

#include "client/Messages.h"
#include "util/Printable.h"

namespace kestrane {

std::string FailureText(FailureKind kind, std::string_view number) {
    const std::string typed(number);
    switch (kind) {
        case FailureKind::None:
            return {};
        case FailureKind::Cancelled:
            return msg::kCancelled;
        case FailureKind::Connect:
            return msg::kConnectFailed;
        case FailureKind::SaveFailed:
            return msg::kSaveFailed;
        case FailureKind::NoSuchPatent:
            return msg::kNoSuchPatent;
        case FailureKind::NoPdf:
            return msg::kNoPdfFor + typed;
        case FailureKind::BadNumber:
            return typed +
                   ": not a number EPO OPS can ask for; it needs country, number and kind code "
                   "(e.g. DE19758096C2).";
        case FailureKind::AuthFailed:
            return "EPO OPS refused the consumer key and secret; check them in the settings.";
        case FailureKind::QuotaExceeded:
            return "The EPO OPS fair-use quota is used up; the run ends here.";
        case FailureKind::Throttled:
            return typed + ": EPO OPS asked for a longer wait than the watchdog allows.";
        case FailureKind::RobotDetected:
            return typed + ": EPO OPS took the requests for a robot; wait a while, then try again.";
        case FailureKind::Blocked:
            return "The source is limiting requests from this address; the run ends here.";
        case FailureKind::DownloadFailed:
        case FailureKind::TooLarge:
            // An exchange that went wrong: the text has no number.
            return msg::kDownloadFailed;
        default:
            // Every failure only a document can have reads as the document's failure.
            return typed + msg::kDownloadFailed;
    }
}

std::string FailureText(const Failure& failure, std::string_view number) {
    if (!failure.text.empty())
        return failure.text;
    std::string text = (failure.document && failure.kind != FailureKind::Cancelled)
                           ? std::string(number) + msg::kDownloadFailed
                           : FailureText(failure.kind, number);
    // What only a document can run into is said on a line of its own after
    // the usual text: which name clashed or was unsafe, which limit passed.
    const bool explained = failure.kind == FailureKind::UnsafeName ||
                           failure.kind == FailureKind::NameClash ||
                           failure.kind == FailureKind::TooLarge;
    // A detail may carry a server's words: never a byte that could steer a terminal.
    // (Appended piece by piece: GCC 12 at -O3 takes "literal" + temporary for an overlap.)
    if (explained && !failure.detail.empty()) {
        text += '\n';
        text += Printable(failure.detail);
    }
    switch (failure.kind) {
        // What the source said matters here: its wait, its quota, its words.
        case FailureKind::AuthFailed:
        case FailureKind::QuotaExceeded:
        case FailureKind::Throttled:
        case FailureKind::RobotDetected:
            if (!failure.detail.empty()) {
                text += " (";
                text += Printable(failure.detail);
                text += ')';
            }
            break;
        default:
            break;
    }
    return text;
}

std::string_view FailureCause(FailureKind kind) {
    switch (kind) {
        case FailureKind::None:
            return "no failure";
        case FailureKind::Cancelled:
            return "cancelled";
        case FailureKind::Connect:
            return "could not connect to the server";
        case FailureKind::DownloadFailed:
            return "download failed";
        case FailureKind::SaveFailed:
            return "could not save a file";
        case FailureKind::NoSuchPatent:
            return "no match on the server";
        case FailureKind::NoPdf:
            return "no PDF on the server";
        case FailureKind::UnsafeName:
            return "unsafe document name from the server";
        case FailureKind::NameClash:
            return "document name clashes with a file saved in this run";
        case FailureKind::TooLarge:
            return "document too large";
        case FailureKind::NotAPdf:
            return "a page is not a PDF";
        case FailureKind::MergeFailed:
            return "merge failed";
        case FailureKind::MergeProgramMissing:
            return "merge program not found";
        case FailureKind::BadNumber:
            return "not a publication number the source can ask for";
        case FailureKind::AuthFailed:
            return "credentials refused";
        case FailureKind::QuotaExceeded:
            return "fair-use quota used up";
        case FailureKind::Throttled:
            return "the server asked for a longer wait than the watchdog allows";
        case FailureKind::RobotDetected:
            return "the server took the requests for a robot";
        case FailureKind::Stalled:
            return "no progress within two watchdog periods";
        case FailureKind::Blocked:
            return "the source is limiting requests from this address";
    }
    return "unknown failure";
}

}  // namespace kestrane
