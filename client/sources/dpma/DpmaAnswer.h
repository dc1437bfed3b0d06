// SPDX-License-Identifier: GPL-3.0-or-later
// What one DPMAconnectPlus answer means. DPMA reports many errors as XML on
// HTTP 200, so the status alone decides nothing: a document is a body that
// starts with "%PDF-", and anything else is read for DPMA's message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrane::dpma {

// How much of a body that is not a PDF is read for its message.
inline constexpr std::size_t kMaxErrorBody = 64 * 1024;
// How much of DPMA's message (or of an unknown body) a failure carries.
inline constexpr std::size_t kMaxMessage = 200;

enum class Verdict {
    Pdf,                 // the document
    NotFound,            // no document under this id: try the next id, then "No PDF"
    CredentialsRefused,  // 401, 403, or DPMA's authentication or permission error: the run ends
    Transient,           // 5xx or 429: worth another try later
    Failed,              // anything else: this item fails
};

struct Answer {
    Verdict verdict = Verdict::Failed;
    // DPMA's own words (Message_EN, else Message_DE, or TransactionErrorText),
    // else the start of an unknown body or the status; at most kMaxMessage
    // bytes, raw: escape before showing.
    std::string message;
};

// status: the HTTP status; head: the body's first bytes (at most kMaxErrorBody
// are looked at; a longer XML body reads as unknown text).
Answer Classify(long status, std::string_view head);

}  // namespace kestrane::dpma
