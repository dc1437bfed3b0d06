// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the server session and searching one number.
#pragma once

#include <string>

#include "client/ClientContext.h"

namespace kestrane {

// Fetches the start page so that the server opens a session (its cookie).
[[nodiscard]] Failure StartSession(ClientContext& ctx);

// Posts the search form for ctx.CurrentNumber; link receives the absolute URL
// of the first hit's document link (left empty when the search failed).
[[nodiscard]] Failure SearchPatent(ClientContext& ctx, std::string& link);

// The search URL for a number; the number is percent-encoded so that the
// server receives it exactly as typed.
[[nodiscard]] std::string BuildSearchUrl(const std::string& serverBase, const std::string& number);

}  // namespace kestrane
