// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/PdfCheck.h"

#include <fstream>
#include <string_view>
#include <system_error>

#include "client/pdf/PdfLimits.h"
#include "util/Platform.h"

namespace kestrane {

int PdfPageCount(const std::filesystem::path& path) {
    const PdfReading reading = ReadPdfWithinLimits(platform::Utf8FromPath(path), true);
    return reading.refused.empty() ? reading.pages : -1;
}

bool IsUsablePdf(const std::filesystem::path& path, const std::atomic<bool>* abort,
                 const std::atomic<bool>* cancel) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    // As strict as the merge: a damaged file is fetched again rather than
    // taken for a saved document, and nothing in it can make the check
    // scan, inflate or recurse without bound.
    return ReadPdfWithinLimits(platform::Utf8FromPath(path), false, abort, cancel).pages > 0;
}

bool StartsAsPdf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    return in.read(head, sizeof head) && std::string_view(head, 5) == "%PDF-";
}

bool IsOnePagePdf(const std::filesystem::path& path, std::string* limit) {
    if (!StartsAsPdf(path))
        return false;
    const PdfReading reading = ReadPdfWithinLimits(platform::Utf8FromPath(path), true);
    if (reading.overLimit && limit != nullptr)
        *limit = reading.refused;
    return reading.pages == 1;
}

}  // namespace kestrane
