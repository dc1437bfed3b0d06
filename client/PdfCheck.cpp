// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/PdfCheck.h"

#include <system_error>

#include "client/PdfLimits.h"
#include "util/Platform.h"

namespace kestrane {

bool IsUsablePdf(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    // As strict as the merge: a damaged file is fetched again rather than
    // taken for a saved document, and nothing in it can make the check
    // scan, inflate or recurse without bound.
    return ReadPdfWithinLimits(platform::Utf8FromPath(path), false).pages > 0;
}

}  // namespace kestrane
