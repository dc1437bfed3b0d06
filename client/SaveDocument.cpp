// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/SaveDocument.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "client/SafeFiles.h"
#include "client/pdf/DocInfo.h"
#include "client/pdf/MergeStep.h"
#include "client/pdf/PdfCheck.h"
#include "util/Platform.h"
#include "util/Printable.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

void NoteSaved(ClientContext& ctx, const std::string& fileName) {
    ctx.SavedFiles.push_back(fileName);
    if (ctx.SavedInRun != nullptr)
        ctx.SavedInRun->Add(fileName);
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

Failure CheckDocumentName(const RunHandles& run, const std::string& name) {
    if (!IsSafeDocumentName(name))
        return {FailureKind::UnsafeName, {}};
    // A run never replaces a file it saved itself: two documents of one
    // selection with one name, or a name another number of the run was saved under.
    const std::string fileName = name + ".pdf";
    if (run.SavedInRun != nullptr && run.SavedInRun->Contains(fileName)) {
        return {FailureKind::NameClash,
                Printable(fileName) +
                    " was saved earlier in this run; a second document of that name was not "
                    "saved."};
    }
    return {};
}

bool SkipSavedDocument(ClientContext& ctx, const std::string& name) {
    if (!ctx.SkipExisting || !IsSafeDocumentName(name) ||
        !IsUsablePdf(paths::MergedFile(ctx.SaveFolder, name), ctx.Abort, ctx.CancelRequested))
        return false;
    ctx.SavedFiles.push_back(name + ".pdf");
    ctx.AlreadySaved.push_back(name + ".pdf");
    return true;
}

std::string PageFilePath(const RunSettings& run, const std::string& name, long page) {
    return platform::Utf8FromPath(paths::PageFile(run.TempFolder, name, page));
}

std::string PartialMergePath(const RunSettings& run, const std::string& name) {
    return platform::Utf8FromPath(paths::PartialMerge(run.TempFolder, name));
}

PageFiles::~PageFiles() {
    if (keep_ || step_.aborted())
        return;
    for (const std::string& file : files_) RemoveQuietly(file);
}

Failure SaveMergedDocument(ClientContext& ctx, const std::vector<std::string>& pageFiles,
                           const std::string& name) {
    const std::string partial = PartialMergePath(ctx, name);
    // The user's name format, when one is set; it cannot make an unsafe name.
    const std::string savedName =
        ctx.Names.IsDefault() ? name : ctx.Names.Apply({name, ctx.biblio ? &*ctx.biblio : nullptr});
    if (savedName != name && ctx.SavedInRun != nullptr &&
        ctx.SavedInRun->Contains(savedName + ".pdf"))
        return {FailureKind::NameClash, Printable(savedName) +
                                            ".pdf was saved earlier in this run; a second "
                                            "document of that name was not saved."};
    const fs::path merged = paths::MergedFile(ctx.SaveFolder, savedName);
    // Made here, exclusively, so the merge writes a file of the run's own; it
    // must still be one (not a link) when it is moved into place.
    if (!CreateFreshFile(partial).valid())
        return {FailureKind::SaveFailed, {}};
    const MergeResult result =
        MergePageFiles(ctx.MergeProgram, pageFiles, partial, ctx.Abort, ctx.CancelRequested);
    // A stopped worker must not touch the save folder any more.
    if (!result.ok() || ctx.aborted() || !IsPlainFile(partial)) {
        RemoveQuietly(partial);
        if (result.stopped && ctx.cancelRequested())
            return {FailureKind::Cancelled, {}};
        // A page built to exhaust the run: the user learns which limit it passed.
        if (result.overLimit)
            return {FailureKind::TooLarge, Printable(result.output)};
        if (result.started)
            return {FailureKind::MergeFailed, Printable(result.output)};
        return {FailureKind::MergeProgramMissing, ctx.MergeProgram};
    }
    // The bibliographic data goes into the document before it is in place;
    // a file it cannot go into is saved as the merge made it.
    if (ctx.WantBiblio && ctx.biblio)
        (void)WriteDocumentInfo(partial, *ctx.biblio);
    // Replaces a file of an earlier run in one step (a plain rename on
    // Windows refuses to).
    if (!platform::MoveReplacing(partial, platform::Utf8FromPath(merged))) {
        RemoveQuietly(partial);
        return {FailureKind::SaveFailed, {}};
    }
    NoteSaved(ctx, platform::Utf8FromPath(merged.filename()));
    return {};
}

}  // namespace kestrane
