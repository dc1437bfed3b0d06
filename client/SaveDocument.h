// SPDX-License-Identifier: GPL-3.0-or-later
// What every source's documents go through on their way into the save folder:
// a safe name, no replacing a file saved earlier in the run, the skip of a
// document already saved, page files in the temporary folder, the merge
// written under a temporary name and renamed into place, the saved name
// recorded, and removal of only what this item wrote.
#pragma once

#include <string>
#include <vector>

#include "client/ClientContext.h"
#include "client/Failure.h"

namespace kestrane {

// False for a name that could place a file outside its folder: empty, ".",
// "..", or holding "/", "\\", ".." or control bytes.
[[nodiscard]] bool IsSafeDocumentName(const std::string& name);

// Before a document is fetched: its name is safe and no file of that name
// was saved earlier in this run. The failure (UnsafeName, NameClash) when not.
[[nodiscard]] Failure CheckDocumentName(const RunHandles& run, const std::string& name);

// With skip-existing: the document's merged file already stands in the save
// folder as a usable PDF, so it is not fetched again. Its file name then goes
// to ctx.SavedFiles and ctx.AlreadySaved.
[[nodiscard]] bool SkipSavedDocument(ClientContext& ctx, const std::string& name);

// Where page (1-based) of a document is saved in the temporary folder.
[[nodiscard]] std::string PageFilePath(const RunSettings& run, const std::string& name, long page);

// Where the merge of a document is written before it replaces
// SaveFolder + name + ".pdf", so the save folder never holds a partial file.
[[nodiscard]] std::string PartialMergePath(const RunSettings& run, const std::string& name);

// The page files one document wrote. They go when the document fails (so
// they cannot fill a small disk for the numbers after it), unless the worker
// was stopped: its successor may already write pages of the same name, and
// the run's clean-up removes the folder.
class PageFiles {
  public:
    explicit PageFiles(const StepControl& step) : step_(step) {}
    ~PageFiles();
    PageFiles(const PageFiles&) = delete;
    PageFiles& operator=(const PageFiles&) = delete;

    void Add(const std::string& file) { files_.push_back(file); }
    const std::vector<std::string>& Files() const { return files_; }
    // The document was merged: its pages stay until the run removes its folder.
    void Keep() { keep_ = true; }

  private:
    const StepControl& step_;
    std::vector<std::string> files_;
    bool keep_ = false;
};

// Merges pageFiles in order into SaveFolder + name + ".pdf" through the
// temporary folder and records the saved file name (ctx.SavedFiles and the
// run's names). The failure (SaveFailed, MergeFailed, MergeProgramMissing)
// when it could not; a stopped worker never touches the save folder.
[[nodiscard]] Failure SaveMergedDocument(ClientContext& ctx,
                                         const std::vector<std::string>& pageFiles,
                                         const std::string& name);

}  // namespace kestrane
