// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/PdfCheck.h"

#include <exception>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <system_error>

#include "util/Platform.h"

namespace kestrane {

bool IsUsablePdf(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(platform::Utf8FromPath(path).c_str());
        return !QPDFPageDocumentHelper(pdf).getAllPages().empty();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace kestrane
