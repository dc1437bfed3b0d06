#include "client/Documents.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string_view>
#include <vector>

#include "client/HttpExchange.h"
#include "client/MergeStep.h"
#include "client/Scrape.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocIdParameter = "docIdNormed=";

// The hit count of a selection notice, read the way atoi reads it (leading
// blanks, a sign, digits up to the first non-digit; no digits give 0), but
// clamped instead of overflowing on an absurd count.
long HitCount(const std::string& text) {
    const long count = std::strtol(text.c_str(), nullptr, 10);
    return std::clamp(count, static_cast<long>(INT_MIN), static_cast<long>(INT_MAX));
}

void RemoveQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// The merge engine writes into the temporary folder and the result replaces the user's
// file only once the merge has succeeded: a failed or stopped merge never
// truncates a merged file that is already in the save folder.
bool MergePages(ClientContext& ctx, const std::vector<std::string>& pageFiles,
                const std::string& DocumentName) {
    const std::string partial = PartialMergePath(ctx, DocumentName);
    const fs::path merged = paths::MergedFile(ctx.SaveFolder, DocumentName);
    RemoveQuietly(partial);
    const MergeResult result = MergePageFiles(ctx.MergeProgram, pageFiles, partial, ctx.Abort);
    // A stopped worker must not touch the save folder any more.
    if (!result.ok() || ctx.aborted()) {
        RemoveQuietly(partial);
        return ctx.Fail(result.started ? FailureKind::MergeFailed
                                       : FailureKind::MergeProgramMissing) != 0;
    }
    std::error_code ec;
    fs::rename(partial, merged, ec);
    if (ec) {
        RemoveQuietly(partial);
        return ctx.Fail(FailureKind::SaveFailed) != 0;
    }
    ctx.SavedFiles.push_back(merged.filename().string());
    return true;
}

int Download(ClientContext& ctx, std::string viewerPage, const std::string& DocumentName) {
    if (!IsSafeDocumentName(DocumentName))
        return ctx.Fail(FailureKind::UnsafeName);

    std::string page = std::move(viewerPage);
    std::string scratch;
    std::vector<std::string> pageFiles;
    for (long number = 1;; ++number) {
        const auto pdfLink = FindGroup1(kPagePdfPattern, page);
        if (!pdfLink)
            return ctx.Fail(FailureKind::NotAPdf);
        const std::string pageFile = paths::PageFile(ctx.TempFolder, DocumentName, number);
        if (!SendHttpRequest(ctx, "GET", LinkToUrl(ctx.ServerBase, pdfLink->text), "", scratch,
                             pageFile.c_str(), 1))
            return 0;
        pageFiles.push_back(pageFile);
        // The bar's range ends at 100: from the fourth page on it stays full.
        ctx.progress(static_cast<int>(
            std::min<long>(progress::kLookedUp + progress::kPerPage * number, progress::kFull)));

        const auto navigationLink = FindGroup1(kNavigationPattern, page);
        if (!navigationLink)
            return ctx.Fail(FailureKind::DownloadFailed);
        long status = 0;
        if (!SendHttpRequest(ctx, "GET", LinkToUrl(ctx.ServerBase, navigationLink->text), "", page,
                             nullptr, 0, &status))
            return 0;
        // An error page has no next-page link either; taking it for the last
        // page would save a document with pages missing and call it a success.
        if (status >= 400)
            return ctx.Fail(FailureKind::DownloadFailed);
        const auto nextLink = FindGroup1(kNextPagePattern, page);
        if (!nextLink)
            break;
        const std::string nextUrl = LinkToUrl(ctx.ServerBase, nextLink->text);
        if (!SendHttpRequest(ctx, "GET", nextUrl, "", page, nullptr, 0))
            return 0;
    }

    if (!MergePages(ctx, pageFiles, DocumentName))
        return 0;
    ctx.progress(progress::kFull);
    return 1;
}

int Lookup(ClientContext& ctx, const std::string& firstLink) {
    std::string page;
    if (!SendHttpRequest(ctx, "GET", firstLink, "", page, nullptr, 0))
        return 0;
    const auto count = FindGroup1(kHitCountPattern, page);
    if (ctx.cancelRequested())
        return ctx.Fail(FailureKind::Cancelled);

    ctx.progress(progress::kLookedUp);
    if (!count) {
        if (!DownloadDocument(ctx, std::move(page), ctx.CurrentNumber))
            return ctx.FailDocument();
        return 1;
    }

    const long hits = HitCount(count->text);
    // The selection page stays as it is while page is reused for each hit's
    // viewer page; each search resumes just after the previous link.
    const std::string selection = std::move(page);
    std::size_t remaining = 0;
    for (long i = 1; i <= hits; ++i) {
        ctx.progress(progress::kLookedUp);
        const auto link =
            FindGroup1(kHitLinkPattern, std::string_view(selection).substr(remaining));
        if (!link)
            return ctx.FailDocument();
        remaining += link->end;
        const std::string hitUrl = LinkToUrl(ctx.ServerBase, link->text);
        if (!SendHttpRequest(ctx, "GET", hitUrl, "", page, nullptr, 0))
            return 0;
        const std::string name =
            DocumentNameFromUrl(hitUrl, ctx.CurrentNumber + "_" + std::to_string(i));
        if (!DownloadDocument(ctx, std::move(page), name))
            return ctx.FailDocument();
        page.clear();
    }
    return 1;
}

}  // namespace

bool IsSafeDocumentName(const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos)
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
    });
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

std::string PartialMergePath(const ClientContext& ctx, const std::string& DocumentName) {
    return paths::PartialMerge(ctx.TempFolder, DocumentName).string();
}

int DownloadDocument(ClientContext& ctx, std::string viewerPage, std::string DocumentName) {
    try {
        return Download(ctx, std::move(viewerPage), DocumentName);
    } catch (const std::exception&) {
        return ctx.Fail(FailureKind::DownloadFailed);
    }
}

int LookupDocuments(ClientContext& ctx, std::string firstLink) {
    try {
        return Lookup(ctx, firstLink);
    } catch (const std::exception&) {
        return ctx.FailDocument();
    }
}

}  // namespace kestrane
