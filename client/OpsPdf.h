// SPDX-License-Identifier: GPL-3.0-or-later
// The page check of the EPO OPS source: a page counts only as a one-page PDF.
#pragma once

#include <string>

namespace kestrane {

// True when path starts with "%PDF-" and qpdf reads it as a PDF of exactly one page.
bool IsOnePagePdf(const std::string& path);

}  // namespace kestrane
