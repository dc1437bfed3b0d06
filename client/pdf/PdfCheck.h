// SPDX-License-Identifier: GPL-3.0-or-later
// What a PDF file holds, as qpdf reads it: the page checks of the sources and
// the skip-existing check of a merged document.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace kestrane {

// Every check reads strictly (no recovery of a damaged file, no warning)
// within the limits of client/pdf/PdfLimits.h.

// The pages of the PDF at path, or -1 when qpdf cannot read it. Never throws.
[[nodiscard]] int PdfPageCount(const std::filesystem::path& path);

// True when path is a regular file that opens as a PDF with at least one
// page. Never throws; any doubt reads as false (the document is fetched again).
// Once *abort or *cancel (either may be null) is set the check ends, false.
[[nodiscard]] bool IsUsablePdf(const std::filesystem::path& path,
                               const std::atomic<bool>* abort = nullptr,
                               const std::atomic<bool>* cancel = nullptr);

// True when the file at path begins with "%PDF-" (nothing more is read).
[[nodiscard]] bool StartsAsPdf(const std::filesystem::path& path);

// True when path starts with "%PDF-" and qpdf reads it as a PDF of exactly one
// page. When it passes one of the limits, limit receives the reason (naming it).
[[nodiscard]] bool IsOnePagePdf(const std::filesystem::path& path, std::string* limit = nullptr);

}  // namespace kestrane
