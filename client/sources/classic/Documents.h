// SPDX-License-Identifier: GPL-3.0-or-later
// From a search result to merged PDFs in the save folder.
#pragma once

#include <string>
#include <vector>

#include "client/ClientContext.h"
#include "client/SaveDocument.h"

namespace kestrane {

// Fetches the first hit and downloads its one document, or every document of a
// selection page, in link order. No failure when all were merged (their names
// appended to ctx.SavedFiles).
[[nodiscard]] Failure LookupDocuments(ClientContext& ctx, std::string firstLink);

// Walks viewer page -> page PDF -> navigation page -> next viewer page, saving
// each page into TempFolder, then merges them into SaveFolder + DocumentName +
// ".pdf". No failure when the merged file was produced; the caller decides
// whether a failure ended a whole document.
[[nodiscard]] Failure DownloadDocument(ClientContext& ctx, std::string viewerPage,
                                       std::string DocumentName);

// True for a name with the shape of a publication number: two letters, a
// digit, then letters and digits, 3 to 32 in all ("DE000060218500T2"). Names
// a server chose must have it.
bool IsPublicationNumberShape(const std::string& name);

// The document name of a selection hit: the docIdNormed value up to the next
// "&"; links without the parameter fall back to fallback (see the definition).
[[nodiscard]] std::string DocumentNameFromUrl(const std::string& hitUrl,
                                              const std::string& fallback);

}  // namespace kestrane
