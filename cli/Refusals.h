// SPDX-License-Identifier: GPL-3.0-or-later
// The line kestrane-cli puts before a refusal's window text, naming what was
// refused ("Save folder /x/y does not exist"), since those texts were
// written for a window whose fields show what they are about.
#pragma once

#include <string>

#include "run/InputCheck.h"

namespace kestrane::cli {

struct RefusedInput {
    int numbers = 0;            // non-blank lines given
    bool numbersCut = false;    // -i was read only up to the limit: there may be more
    std::string proxy;          // --proxy as given, "" without
    std::string createFailure;  // why --create-folder could not make the folder, or ""
};

// The naming line for check's refusal of request; "" when the window text
// already says it.
[[nodiscard]] std::string NamedRefusal(const InputCheck& check, const DownloadRequest& request,
                                       const RefusedInput& given);

// Makes folder and the folders above it (--create-folder); "" when done, else why not.
[[nodiscard]] std::string MakeSaveFolder(const std::string& folder);

}  // namespace kestrane::cli
