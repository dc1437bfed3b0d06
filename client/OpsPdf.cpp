// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/OpsPdf.h"

#include <fstream>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <string_view>

namespace kestrane {

namespace {

int PdfPageCount(const std::string& path) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(path.c_str());
        return static_cast<int>(QPDFPageDocumentHelper(pdf).getAllPages().size());
    } catch (...) {
        return -1;
    }
}

}  // namespace

bool IsOnePagePdf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    if (!in.read(head, sizeof head) || std::string_view(head, 5) != "%PDF-")
        return false;
    return PdfPageCount(path) == 1;
}

}  // namespace kestrane
