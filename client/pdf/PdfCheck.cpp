// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/PdfCheck.h"

#include <exception>
#include <fstream>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <string_view>
#include <system_error>

#include "util/Platform.h"

namespace kestrane {

int PdfPageCount(const std::filesystem::path& path) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(platform::Utf8FromPath(path).c_str());
        return static_cast<int>(QPDFPageDocumentHelper(pdf).getAllPages().size());
    } catch (...) {
        return -1;
    }
}

bool IsUsablePdf(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    return PdfPageCount(path) > 0;
}

bool IsOnePagePdf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    if (!in.read(head, sizeof head) || std::string_view(head, 5) != "%PDF-")
        return false;
    return PdfPageCount(path) == 1;
}

}  // namespace kestrane
