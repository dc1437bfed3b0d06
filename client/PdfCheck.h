// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a file in the save folder is a usable merged document.
#pragma once

#include <filesystem>

namespace kestrane {

// True when path is a regular file that opens strictly (no recovery, no
// warning, within the limits of client/PdfLimits.h) as a PDF with at least one
// page. Never throws; any doubt reads as false (the document is fetched again).
[[nodiscard]] bool IsUsablePdf(const std::filesystem::path& path);

}  // namespace kestrane
