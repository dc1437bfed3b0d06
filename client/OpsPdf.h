// SPDX-License-Identifier: GPL-3.0-or-later
// The page check of the EPO OPS source: a page counts only as a one-page PDF.
#pragma once

#include <string>

namespace kestrane {

// True when path starts with "%PDF-" and qpdf reads it strictly as a PDF of
// exactly one page within the limits of client/PdfLimits.h. When it passes
// one of those limits, limit receives the reason (naming the limit).
bool IsOnePagePdf(const std::string& path, std::string* limit = nullptr);

}  // namespace kestrane
