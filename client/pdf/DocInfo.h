// SPDX-License-Identifier: GPL-3.0-or-later
// Facts about a saved PDF and the bibliographic data written into it.
#pragma once

#include <optional>
#include <string>

#include "client/Biblio.h"

namespace kestrane {

// The SHA-256 of a file's bytes as 64 lower-case hex digits; std::nullopt
// when it cannot be read. Reads in pieces: any size, little memory.
std::optional<std::string> Sha256OfFile(const std::string& path);

// Writes the document information of a saved PDF: Title (the title, German
// and English joined by " / " when both exist), Author (the applicants),
// Subject (the publication number), Keywords (the IPC classes). The file's
// bytes stay as they are: the new information is appended as an update
// (a new information dictionary and a cross-reference section pointing back
// to the old one), which every PDF reader applies. A file whose last
// cross-reference is not a plain table, or that does not open cleanly, is
// left alone. Afterwards the file must open cleanly and show the new title;
// otherwise it is cut back to its old length.
// "" on success (and when info has nothing to say), else the reason.
std::string WriteDocumentInfo(const std::string& path, const Biblio& info);

// The document information of a PDF as a reader sees it (for tests and the
// report's checks): Title, Author, Subject, Keywords; "" each when absent.
struct PdfInfo {
    std::string Title, Author, Subject, Keywords;
};
std::optional<PdfInfo> ReadDocumentInfo(const std::string& path);

}  // namespace kestrane
