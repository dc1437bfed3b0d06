// SPDX-License-Identifier: GPL-3.0-or-later
// Pages of a document that did not finish, kept in the save folder for a
// later run with resume on (--continue): <save>/.kestrane/partial/<source>/<name>/
// holds one file per page ("7.pdf") and a manifest naming the source, the
// document's id, its page count and each kept page's size and SHA-256.
//
// Nothing kept is trusted on its word: a page counts only when the manifest
// is for the same source, id and page count, and the page's file is a plain
// file of the noted size and digest that opens as a one-page PDF without
// warnings. Whatever fails the checks is removed and fetched again.
#pragma once

#include <string>
#include <vector>

namespace kestrane {

class PartialStore {
  public:
    // saveFolder: the save folder (a trailing "/" or none). source: the
    // source's id ("ops"). name: the document's compact number. id: what the
    // source knows the document by (OPS: the FullDocument link). pages: its page count.
    PartialStore(std::string saveFolder, std::string source, std::string name, std::string id,
                 int pages);

    // Makes the folder (never through a link) and takes over what is kept
    // there. False when the folder cannot be used safely; the caller then
    // fetches as without resume.
    [[nodiscard]] bool Open();

    // Page n (1-based) is kept and passed the checks.
    bool Has(int page) const;
    int KeptCount() const;
    // Where page n is (or is to be) saved.
    std::string PagePath(int page) const;
    // Page n has just been saved at PagePath(n) and checked by the caller:
    // its size and digest go into the manifest. False when it cannot be noted
    // (the page is then removed, so an unnoted page never stays).
    bool Keep(int page);
    // Every page's path, in order (the merge's input once all are kept).
    std::vector<std::string> PagePaths() const;
    // The document is saved: the kept pages, the manifest and the folders
    // left empty go.
    void Finish();

    const std::string& Folder() const { return folder_; }

  private:
    bool MakeFolders();
    void ReadManifest();
    void RemoveUntrusted();
    bool WriteManifest();

    std::string save_;
    std::string source_;
    std::string name_;
    std::string id_;
    int pages_;
    std::string folder_;  // with a trailing "/"
    struct Entry {
        long long size = -1;  // -1: not kept
        std::string sha256;
    };
    std::vector<Entry> entries_;  // index page - 1
};

// A whole document that did not finish downloading, kept for a later run
// with resume on: <save>/.kestrane/partial/<source>/<name>/document and a
// manifest naming the source, the id asked for and the bytes received. The
// kept bytes count only for the same source and id, when the file is a plain
// file of the noted size that begins "%PDF-"; else they go and the download
// starts over. The finished file is judged by its caller as any download.
class PartialFile {
  public:
    PartialFile(std::string saveFolder, std::string source, std::string name, std::string id);

    // The id a kept download of source's document name was asked by, or ""
    // (nothing kept): a source with several ids for a document asks it first.
    static std::string KeptId(const std::string& saveFolder, const std::string& source,
                              const std::string& name);

    // Makes the folder (never through a link) and takes over what is kept
    // there. False when the folder cannot be used safely; the caller then
    // fetches as without resume.
    [[nodiscard]] bool Open();
    // Where the document is (or is to be) saved.
    std::string Path() const;
    // Bytes kept from an earlier run (0: a fresh download).
    long long KeptBytes() const { return kept_; }
    // The download stopped short: what is in Path() is noted for the next
    // run. Whatever cannot be noted, or is not the start of a PDF, goes.
    void Keep();
    // The document is saved, or what was kept is of no use: the file, the
    // manifest and the folders left empty go.
    void Finish();

  private:
    std::string save_;
    std::string source_;
    std::string name_;
    std::string id_;
    std::string folder_;  // with a trailing "/"
    long long kept_ = 0;
};

}  // namespace kestrane
