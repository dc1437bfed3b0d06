// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Documents.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string_view>
#include <vector>

#include "client/DocInfo.h"
#include "client/HttpExchange.h"
#include "client/MergeStep.h"
#include "client/PdfCheck.h"
#include "client/Printable.h"
#include "client/SafeFiles.h"
#include "client/Scrape.h"
#include "util/Platform.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocIdParameter = "docIdNormed=";
// A document that never ends must not fill the disk page by page.
constexpr long kMaxDocumentPages = 5000;

// The page files of one document. Those of a document that failed go at
// once, so that they cannot fill a small disk for the numbers after it; a
// stopped worker leaves them to the run's clean-up, since its successor may
// already write pages of the same name.
class PageFiles {
  public:
    explicit PageFiles(const ClientContext& ctx) : ctx_(ctx) {}
    ~PageFiles() {
        if (keep_ || ctx_.aborted())
            return;
        for (const std::string& file : files_) RemoveQuietly(file);
    }
    PageFiles(const PageFiles&) = delete;
    PageFiles& operator=(const PageFiles&) = delete;

    void Add(const std::string& file) { files_.push_back(file); }
    const std::vector<std::string>& Files() const { return files_; }
    // The document was merged: its pages stay until the run removes its folder.
    void Keep() { keep_ = true; }

  private:
    const ClientContext& ctx_;
    std::vector<std::string> files_;
    bool keep_ = false;
};

// The hit count of a selection notice, read the way atoi reads it (leading
// blanks, a sign, digits up to the first non-digit; no digits give 0), but
// clamped instead of overflowing on an absurd count.
long HitCount(const std::string& text) {
    const long count = std::strtol(text.c_str(), nullptr, 10);
    return std::clamp(count, static_cast<long>(INT_MIN), static_cast<long>(INT_MAX));
}

// A run never replaces a file it saved itself: two documents of one selection
// with one name, or a name another number of the run was saved under.
bool ClashesWithThisRun(const ClientContext& ctx, const std::string& fileName) {
    return ctx.SavedInRun != nullptr && ctx.SavedInRun->Contains(fileName);
}

void NoteSaved(ClientContext& ctx, const std::string& fileName) {
    ctx.SavedFiles.push_back(fileName);
    if (ctx.SavedInRun != nullptr)
        ctx.SavedInRun->Add(fileName);
}

bool HasDocIdNormed(const std::string& hitUrl) {
    return hitUrl.find(kDocIdParameter) != std::string::npos;
}

// The merge engine writes into the temporary folder and the result replaces the user's
// file only once the merge has succeeded: a failed or stopped merge never
// truncates a merged file that is already in the save folder.
bool MergePages(ClientContext& ctx, const std::vector<std::string>& pageFiles,
                const std::string& DocumentName) {
    const std::string partial = PartialMergePath(ctx, DocumentName);
    // The user's name format, when one is set; it cannot make an unsafe name.
    const std::string savedName =
        ctx.Names.IsDefault()
            ? DocumentName
            : ctx.Names.Apply({DocumentName, ctx.biblio ? &*ctx.biblio : nullptr});
    if (savedName != DocumentName && ClashesWithThisRun(ctx, savedName + ".pdf")) {
        return ctx.Fail(FailureKind::NameClash,
                        Printable(savedName) +
                            ".pdf was saved earlier in this run; a second document of that name "
                            "was not saved.") != 0;
    }
    const fs::path merged = paths::MergedFile(ctx.SaveFolder, savedName);
    // Made here, exclusively, so the merge writes a file of the run's own; it
    // must still be one (not a link) when it is moved into place.
    if (!CreateFreshFile(partial).valid())
        return ctx.Fail(FailureKind::SaveFailed) != 0;
    const MergeResult result =
        MergePageFiles(ctx.MergeProgram, pageFiles, partial, ctx.Abort, ctx.CancelRequested);
    // A stopped worker must not touch the save folder any more.
    if (!result.ok() || ctx.aborted() || !IsPlainFile(partial)) {
        RemoveQuietly(partial);
        if (result.started)
            return ctx.Fail(FailureKind::MergeFailed) != 0;
        return ctx.Fail(FailureKind::MergeProgramMissing, ctx.MergeProgram) != 0;
    }
    // The bibliographic data goes into the document before it is in place;
    // a file it cannot go into is saved as the merge made it.
    if (ctx.WantBiblio && ctx.biblio)
        (void)WriteDocumentInfo(partial, *ctx.biblio);
    // Replaces a file of an earlier run in one step (a plain rename on
    // Windows refuses to).
    if (!platform::ReplaceFile(partial, platform::Utf8FromPath(merged))) {
        RemoveQuietly(partial);
        return ctx.Fail(FailureKind::SaveFailed) != 0;
    }
    NoteSaved(ctx, platform::Utf8FromPath(merged.filename()));
    return true;
}

int Download(ClientContext& ctx, std::string viewerPage, const std::string& DocumentName) {
    if (!IsSafeDocumentName(DocumentName))
        return ctx.Fail(FailureKind::UnsafeName);
    const std::string fileName = DocumentName + ".pdf";
    if (ClashesWithThisRun(ctx, fileName)) {
        return ctx.Fail(FailureKind::NameClash,
                        Printable(fileName) +
                            " was saved earlier in this run; a second document of that name was "
                            "not saved.");
    }

    std::string page = std::move(viewerPage);
    std::string scratch;
    PageFiles pageFiles(ctx);
    for (long number = 1;; ++number) {
        if (number > kMaxDocumentPages) {
            return ctx.Fail(FailureKind::TooLarge, Printable(DocumentName) + " has more than " +
                                                       std::to_string(kMaxDocumentPages) +
                                                       " pages; it was not saved.");
        }
        const auto pdfLink = FindGroup1(kPagePdfPattern, page);
        if (!pdfLink)
            return ctx.Fail(FailureKind::NotAPdf);
        // Without a temporary folder of the run's own there is nowhere safe to put a page.
        if (ctx.TempFolder.empty())
            return ctx.Fail(FailureKind::SaveFailed);
        const std::string pageFile =
            platform::Utf8FromPath(paths::PageFile(ctx.TempFolder, DocumentName, number));
        ctx.transfer.Document = DocumentName;
        ctx.transfer.Page = number;
        ctx.transfer.PagesSeen += 1;
        ctx.noteTransfer();
        pageFiles.Add(pageFile);
        if (!SendHttpRequest(ctx, "GET", LinkToUrl(ctx.ServerBase, pdfLink->text), "", scratch,
                             pageFile.c_str(), 1)) {
            if (ctx.failure.kind == FailureKind::TooLarge) {
                ctx.failure.detail = "Page " + std::to_string(number) + " of " +
                                     Printable(DocumentName) +
                                     " is larger than 64 MiB; the document was not saved.";
            }
            return 0;
        }
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

    if (!MergePages(ctx, pageFiles.Files(), DocumentName))
        return 0;
    pageFiles.Keep();
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
    // A selection of no documents (0, -5, "abc") has saved nothing: not a success.
    if (hits < 1)
        return ctx.FailDocument();
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
        const std::string name =
            DocumentNameFromUrl(hitUrl, ctx.CurrentNumber + "_" + std::to_string(i));
        // A name the server chose could be anything, "keep" or another
        // number's; only the shape of a publication number is taken. (One
        // that would leave the folder fails below with the usual text alone.)
        if (HasDocIdNormed(hitUrl) && IsSafeDocumentName(name) && !IsPublicationNumberShape(name)) {
            ctx.Fail(FailureKind::UnsafeName,
                     "The server named a document \"" + Printable(name) +
                         "\", which is not a publication number; it was not saved.");
            return ctx.FailDocument();
        }
        if (ctx.SkipExisting && IsSafeDocumentName(name) &&
            IsUsablePdf(paths::MergedFile(ctx.SaveFolder, name))) {
            ctx.SavedFiles.push_back(name + ".pdf");
            ctx.AlreadySaved.push_back(name + ".pdf");
            continue;
        }
        if (!SendHttpRequest(ctx, "GET", hitUrl, "", page, nullptr, 0))
            return 0;
        if (!DownloadDocument(ctx, std::move(page), name))
            return ctx.FailDocument();
        page.clear();
    }
    return 1;
}

}  // namespace

bool MergeSourcePages(ClientContext& ctx, const std::vector<std::string>& pageFiles,
                      const std::string& DocumentName) {
    return MergePages(ctx, pageFiles, DocumentName);
}

bool IsPublicationNumberShape(const std::string& name) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (name.size() < 3 || name.size() > 32 || !letter(name[0]) || !letter(name[1]) ||
        !digit(name[2]))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || digit(c); });
}

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
    return platform::Utf8FromPath(paths::PartialMerge(ctx.TempFolder, DocumentName));
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
