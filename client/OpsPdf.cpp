// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/OpsPdf.h"

#include <fstream>
#include <string_view>

#include "client/PdfLimits.h"

namespace kestrane {

bool IsOnePagePdf(const std::string& path, std::string* limit) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    if (!in.read(head, sizeof head) || std::string_view(head, 5) != "%PDF-")
        return false;
    const PdfReading reading = ReadPdfWithinLimits(path, true);
    if (reading.overLimit && limit != nullptr)
        *limit = reading.refused;
    return reading.pages == 1;
}

}  // namespace kestrane
