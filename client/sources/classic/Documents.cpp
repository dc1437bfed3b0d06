// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/classic/Documents.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string_view>
#include <vector>

#include "client/SaveDocument.h"
#include "client/net/HttpExchange.h"
#include "client/sources/classic/Scrape.h"
#include "util/Printable.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocIdParameter = "docIdNormed=";
// A document that never ends must not fill the disk page by page.
constexpr long kMaxDocumentPages = 5000;

// The hit count of a selection notice, read the way atoi reads it (leading
// blanks, a sign, digits up to the first non-digit; no digits give 0), but
// clamped instead of overflowing on an absurd count.
long HitCount(const std::string& text) {
    const long count = std::strtol(text.c_str(), nullptr, 10);
    return std::clamp(count, static_cast<long>(INT_MIN), static_cast<long>(INT_MAX));
}

bool HasDocIdNormed(const std::string& hitUrl) {
    return hitUrl.find(kDocIdParameter) != std::string::npos;
}

// A step that ended a whole document: whatever went wrong inside it, the user
// reads the document's failure, and a confirmed cancel reads as the cancel.
Failure DocumentFailure(const ClientContext& ctx, Failure inner = {}) {
    if (ctx.cancelRequested())
        return {FailureKind::Cancelled, {}};
    if (!inner)
        inner = {FailureKind::DownloadFailed, {}};
    inner.document = true;
    return inner;
}

Failure Download(ClientContext& ctx, std::string viewerPage, const std::string& DocumentName) {
    if (Failure refused = CheckDocumentName(ctx, DocumentName))
        return refused;

    std::string page = std::move(viewerPage);
    std::string scratch;
    PageFiles pageFiles(ctx);
    for (long number = 1;; ++number) {
        if (number > kMaxDocumentPages) {
            return {FailureKind::TooLarge, Printable(DocumentName) + " has more than " +
                                               std::to_string(kMaxDocumentPages) +
                                               " pages; it was not saved."};
        }
        const auto pdfLink = FindGroup1(kPagePdfPattern, page);
        if (!pdfLink)
            return {FailureKind::NotAPdf, {}};
        // Without a temporary folder of the run's own there is nowhere safe to put a page.
        if (ctx.TempFolder.empty())
            return {FailureKind::SaveFailed, {}};
        const std::string pageFile = PageFilePath(ctx, DocumentName, number);
        ctx.transfer.Document = DocumentName;
        ctx.transfer.Page = number;
        ctx.transfer.PagesSeen += 1;
        ctx.noteTransfer();
        pageFiles.Add(pageFile);
        if (Failure f = SendHttpRequest(ctx, "GET", LinkToUrl(ctx.ServerBase, pdfLink->text), "",
                                        scratch, pageFile.c_str(), 1)) {
            if (f.kind == FailureKind::TooLarge) {
                f.detail = "Page " + std::to_string(number) + " of " + Printable(DocumentName) +
                           " is larger than 64 MiB; the document was not saved.";
            }
            return f;
        }
        // Steps end at 100: from the fourth page on the item counts as full.
        ctx.progress(static_cast<int>(
            std::min<long>(progress::kLookedUp + progress::kPerPage * number, progress::kFull)));

        const auto navigationLink = FindGroup1(kNavigationPattern, page);
        if (!navigationLink)
            return {FailureKind::DownloadFailed, {}};
        long status = 0;
        if (Failure f = FetchPage(ctx, "GET", LinkToUrl(ctx.ServerBase, navigationLink->text), page,
                                  &status))
            return f;
        // An error page has no next-page link either; taking it for the last
        // page would save a document with pages missing and call it a success.
        if (status >= 400)
            return {FailureKind::DownloadFailed, {}};
        const auto nextLink = FindGroup1(kNextPagePattern, page);
        if (!nextLink)
            break;
        const std::string nextUrl = LinkToUrl(ctx.ServerBase, nextLink->text);
        if (Failure f = FetchPage(ctx, "GET", nextUrl, page))
            return f;
    }

    if (Failure failed = SaveMergedDocument(ctx, pageFiles.Files(), DocumentName))
        return failed;
    pageFiles.Keep();
    ctx.progress(progress::kFull);
    return {};
}

Failure Lookup(ClientContext& ctx, const std::string& firstLink) {
    std::string page;
    if (Failure f = FetchPage(ctx, "GET", firstLink, page))
        return f;
    const auto count = FindGroup1(kHitCountPattern, page);
    if (ctx.cancelRequested())
        return {FailureKind::Cancelled, {}};

    ctx.progress(progress::kLookedUp);
    if (!count) {
        if (Failure f = DownloadDocument(ctx, std::move(page), ctx.CurrentNumber))
            return DocumentFailure(ctx, std::move(f));
        return {};
    }

    const long hits = HitCount(count->text);
    // A selection of no documents (0, -5, "abc") has saved nothing: not a success.
    if (hits < 1)
        return DocumentFailure(ctx);
    // The selection page stays as it is while page is reused for each hit's
    // viewer page; each search resumes just after the previous link.
    const std::string selection = std::move(page);
    std::size_t remaining = 0;
    for (long i = 1; i <= hits; ++i) {
        ctx.progress(progress::kLookedUp);
        const auto link =
            FindGroup1(kHitLinkPattern, std::string_view(selection).substr(remaining));
        if (!link)
            return DocumentFailure(ctx);
        remaining += link->end;
        const std::string hitUrl = LinkToUrl(ctx.ServerBase, link->text);
        const std::string name =
            DocumentNameFromUrl(hitUrl, ctx.CurrentNumber + "_" + std::to_string(i));
        // A name the server chose could be anything, "keep" or another
        // number's; only the shape of a publication number is taken. (One
        // that would leave the folder fails below with the usual text alone.)
        if (HasDocIdNormed(hitUrl) && IsSafeDocumentName(name) && !IsPublicationNumberShape(name)) {
            return DocumentFailure(
                ctx, {FailureKind::UnsafeName,
                      "The server named a document \"" + Printable(name) +
                          "\", which is not a publication number; it was not saved."});
        }
        if (SkipSavedDocument(ctx, name))
            continue;
        if (Failure f = FetchPage(ctx, "GET", hitUrl, page))
            return f;
        if (Failure f = DownloadDocument(ctx, std::move(page), name))
            return DocumentFailure(ctx, std::move(f));
        page.clear();
    }
    return {};
}

}  // namespace

bool IsPublicationNumberShape(const std::string& name) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (name.size() < 3 || name.size() > 32 || !letter(name[0]) || !letter(name[1]) ||
        !digit(name[2]))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || digit(c); });
}

// The selection page's links carry docIdNormed followed by a further
// parameter, and the name is the value up to that "&", taken as it stands.
// For other links: when docIdNormed is the last parameter its value runs to
// the end of the URL (a "#" fragment is not part of it); a link without the
// parameter has no name of its own, so it is stored under the typed number
// and its position in the selection (fallback), which keeps the documents of
// one selection apart and tells the user where they came from. Whatever comes
// out is still checked by IsSafeDocumentName before a file is written.
std::string DocumentNameFromUrl(const std::string& hitUrl, const std::string& fallback) {
    const std::size_t at = hitUrl.find(kDocIdParameter);
    if (at == std::string::npos)
        return fallback;
    const std::string value = hitUrl.substr(at + std::string_view(kDocIdParameter).size());
    const std::size_t amp = value.find('&');
    if (amp != std::string::npos)
        return value.substr(0, amp);
    return value.substr(0, value.find('#'));
}

Failure DownloadDocument(ClientContext& ctx, std::string viewerPage, std::string DocumentName) {
    try {
        return Download(ctx, std::move(viewerPage), DocumentName);
    } catch (const std::exception&) {
        return {FailureKind::DownloadFailed, {}};
    }
}

Failure LookupDocuments(ClientContext& ctx, std::string firstLink) {
    try {
        return Lookup(ctx, firstLink);
    } catch (const std::exception&) {
        return DocumentFailure(ctx);
    }
}

}  // namespace kestrane
