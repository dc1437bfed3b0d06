// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/PartialStore.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "client/SafeFiles.h"
#include "client/pdf/DocInfo.h"
#include "client/pdf/PdfCheck.h"
#include "util/Platform.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifest = "manifest";
constexpr const char* kMagic = "kestrane-partial 1";
// A manifest of the largest document is well below this.
constexpr std::uintmax_t kMaxManifest = 1024 * 1024;
// A folder of ours never holds more; past this the rest is left alone.
constexpr int kMaxEntries = 20000;

bool IsPlainName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

// A folder that is ours to use: made here, or a real folder (not a link).
bool UsableFolder(const fs::path& folder) {
    // A folder's entry itself is looked at, so a link planted in its place is refused.
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(folder, ec);
    if (st.type() == fs::file_type::not_found) {
        fs::create_directory(folder, ec);
        return !ec && fs::symlink_status(folder, ec).type() == fs::file_type::directory;
    }
    return !ec && st.type() == fs::file_type::directory;
}

// The page number of a kept page's file name ("7.pdf"), or 0.
int PageOfName(const std::string& name) {
    // Compiled as C++17 beside qpdf's headers under clang: no ends_with.
    if (name.size() < 5 || name.size() > 10 || name.compare(name.size() - 4, 4, ".pdf") != 0)
        return 0;
    int n = 0;
    for (std::size_t i = 0; i + 4 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return name[0] == '0' ? 0 : n;
}

std::string Header(const std::string& source, const std::string& id, int pages) {
    return std::string(kMagic) + "\nsource " + source + "\nid " + id + "\npages " +
           std::to_string(pages) + "\n";
}

std::string PageLine(int page, long long size, const std::string& sha) {
    return "page " + std::to_string(page) + " " + std::to_string(size) + " " + sha + "\n";
}

bool IsHexDigest(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Makes <save>/.kestrane/partial/<source>/<name>/, each step a real folder;
// the folder with a trailing "/", or "" when it cannot be used.
std::string MakePartialFolder(const std::string& save, const std::string& source,
                              const std::string& name) {
    fs::path folder = platform::PathFromUtf8(save) / ".kestrane";
    for (const std::string& part : {std::string(), std::string("partial"), source, name}) {
        if (!part.empty())
            folder /= platform::PathFromUtf8(part);
        if (!UsableFolder(folder))
            return {};
    }
    return platform::Utf8FromPath(folder) + "/";
}

// Removes what a finished or abandoned folder held, then the folders left empty.
void RemovePartialFolder(const std::string& folder, const std::vector<std::string>& files) {
    for (const std::string& file : files) RemoveQuietly(folder + file);
    std::error_code ec;
    fs::path path = platform::PathFromUtf8(folder).parent_path();
    for (int up = 0; up < 4 && fs::remove(path, ec) && !ec; ++up) path = path.parent_path();
}

constexpr const char* kDocument = "document";

}  // namespace

PartialStore::PartialStore(std::string saveFolder, std::string source, std::string name,
                           std::string id, int pages)
    : save_(std::move(saveFolder)),
      source_(std::move(source)),
      name_(std::move(name)),
      id_(std::move(id)),
      pages_(pages) {}

bool PartialStore::MakeFolders() {
    if (!IsPlainName(source_) || !IsPlainName(name_) || pages_ < 1 || pages_ > 100000 ||
        id_.empty() || id_.find('\n') != std::string::npos || id_.size() > 1000)
        return false;
    folder_ = MakePartialFolder(save_, source_, name_);
    return !folder_.empty();
}

bool PartialStore::Open() {
    entries_.assign(static_cast<std::size_t>(std::max(pages_, 0)), Entry{});
    if (!MakeFolders())
        return false;
    ReadManifest();
    RemoveUntrusted();
    return WriteManifest();
}

void PartialStore::ReadManifest() {
    const std::string path = folder_ + kManifest;
    std::error_code ec;
    if (!IsPlainFile(path) || fs::file_size(platform::PathFromUtf8(path), ec) > kMaxManifest || ec)
        return;
    std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
    std::string header;
    std::string line;
    for (int i = 0; i < 4 && std::getline(in, line); ++i) header += line + "\n";
    // Another source, another document or another page count: nothing kept counts.
    if (header != Header(source_, id_, pages_))
        return;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        int page = 0;
        long long size = -1;
        std::string sha;
        if (!(fields >> word >> page >> size >> sha) || word != "page" || page < 1 ||
            page > pages_ || size <= 0 || !IsHexDigest(sha))
            continue;
        const std::string file = PagePath(page);
        if (!IsPlainFile(file) ||
            static_cast<long long>(fs::file_size(platform::PathFromUtf8(file), ec)) != size || ec ||
            Sha256OfFile(file) != sha || !IsOnePagePdf(platform::PathFromUtf8(file)))
            continue;
        entries_[static_cast<std::size_t>(page - 1)] = Entry{size, sha};
    }
}

void PartialStore::RemoveUntrusted() {
    std::error_code ec;
    int seen = 0;
    std::vector<fs::path> untrusted;
    for (fs::directory_iterator it(platform::PathFromUtf8(folder_), ec), end;
         !ec && it != end && seen < kMaxEntries; it.increment(ec), ++seen) {
        const std::string name = platform::Utf8FromPath(it->path().filename());
        if (name == kManifest)
            continue;
        const int page = PageOfName(name);
        if (page >= 1 && page <= pages_ && entries_[static_cast<std::size_t>(page - 1)].size > 0)
            continue;
        // Only what a run of ours could have put here: page files and their leftovers.
        if (it->is_symlink(ec) || it->is_regular_file(ec))
            untrusted.push_back(it->path());
    }
    for (const fs::path& path : untrusted) RemoveQuietly(platform::Utf8FromPath(path));
}

bool PartialStore::WriteManifest() {
    std::string text = Header(source_, id_, pages_);
    for (int page = 1; page <= pages_; ++page) {
        const Entry& e = entries_[static_cast<std::size_t>(page - 1)];
        if (e.size > 0)
            text += PageLine(page, e.size, e.sha256);
    }
    const std::string fresh = folder_ + kManifest + ".new";
    {
        UniqueFd fd = CreateFreshFile(fresh);
        if (!fd.valid())
            return false;
    }
    std::ofstream out(platform::PathFromUtf8(fresh), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    // Replaces the old manifest in one step (a plain rename on Windows refuses to).
    const bool done = out && platform::MoveReplacing(fresh, folder_ + kManifest);
    if (!done)
        RemoveQuietly(fresh);
    return done;
}

bool PartialStore::Has(int page) const {
    return page >= 1 && page <= pages_ && entries_[static_cast<std::size_t>(page - 1)].size > 0;
}

int PartialStore::KeptCount() const {
    return static_cast<int>(
        std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.size > 0; }));
}

std::string PartialStore::PagePath(int page) const {
    return folder_ + std::to_string(page) + ".pdf";
}

bool PartialStore::Keep(int page) {
    const std::string file = PagePath(page);
    std::error_code ec;
    const auto size = static_cast<long long>(fs::file_size(platform::PathFromUtf8(file), ec));
    const auto sha = Sha256OfFile(file);
    const std::string manifest = folder_ + kManifest;
    bool noted = false;
    if (!ec && size > 0 && sha && page >= 1 && page <= pages_ && IsPlainFile(manifest)) {
        std::ofstream out(platform::PathFromUtf8(manifest), std::ios::binary | std::ios::app);
        out << PageLine(page, size, *sha);
        out.flush();
        noted = static_cast<bool>(out);
    }
    if (!noted) {
        RemoveQuietly(file);
        return false;
    }
    entries_[static_cast<std::size_t>(page - 1)] = Entry{size, *sha};
    return true;
}

std::vector<std::string> PartialStore::PagePaths() const {
    std::vector<std::string> paths;
    for (int page = 1; page <= pages_; ++page) paths.push_back(PagePath(page));
    return paths;
}

void PartialStore::Finish() {
    if (folder_.empty())
        return;
    std::vector<std::string> files = {kManifest, std::string(kManifest) + ".new"};
    for (int page = 1; page <= pages_; ++page) files.push_back(std::to_string(page) + ".pdf");
    // Each folder goes only when nothing else is left in it.
    RemovePartialFolder(folder_, files);
}

PartialFile::PartialFile(std::string saveFolder, std::string source, std::string name,
                         std::string id)
    : save_(std::move(saveFolder)),
      source_(std::move(source)),
      name_(std::move(name)),
      id_(std::move(id)) {}

std::string PartialFile::KeptId(const std::string& saveFolder, const std::string& source,
                                const std::string& name) {
    if (!IsPlainName(source) || !IsPlainName(name))
        return {};
    const std::string manifest = platform::Utf8FromPath(
        platform::PathFromUtf8(saveFolder) / ".kestrane" / "partial" /
        platform::PathFromUtf8(source) / platform::PathFromUtf8(name) / kManifest);
    if (!IsPlainFile(manifest))
        return {};
    std::ifstream in(platform::PathFromUtf8(manifest), std::ios::binary);
    std::string magic, from, id;
    std::getline(in, magic);
    std::getline(in, from);
    std::getline(in, id);
    if (magic != kMagic || from != "source " + source || id.compare(0, 3, "id ") != 0)
        return {};
    return id.substr(3);
}

bool PartialFile::Open() {
    if (!IsPlainName(source_) || !IsPlainName(name_) || id_.empty() ||
        id_.find('\n') != std::string::npos || id_.size() > 1000)
        return false;
    folder_ = MakePartialFolder(save_, source_, name_);
    if (folder_.empty())
        return false;
    // "pages 0": never taken for a folder of kept pages, nor the other way round.
    const std::string header = Header(source_, id_, 0);
    const std::string manifest = folder_ + kManifest;
    std::error_code ec;
    std::string text;
    if (IsPlainFile(manifest) && fs::file_size(platform::PathFromUtf8(manifest), ec) < 4096 &&
        !ec) {
        std::ifstream in(platform::PathFromUtf8(manifest), std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    long long noted = -1;
    if (text.compare(0, header.size(), header) == 0) {
        std::istringstream rest(text.substr(header.size()));
        std::string word;
        if (!(rest >> word >> noted) || word != "received")
            noted = -1;
    }
    const std::string file = Path();
    const auto size = IsPlainFile(file)
                          ? static_cast<long long>(fs::file_size(platform::PathFromUtf8(file), ec))
                          : -1;
    kept_ =
        noted > 0 && !ec && size == noted && StartsAsPdf(platform::PathFromUtf8(file)) ? noted : 0;
    if (kept_ == 0)
        RemoveQuietly(file);
    RemoveQuietly(manifest);
    return true;
}

std::string PartialFile::Path() const {
    return folder_ + kDocument;
}

void PartialFile::Keep() {
    if (folder_.empty())
        return;
    const std::string file = Path();
    std::error_code ec;
    const auto size = IsPlainFile(file)
                          ? static_cast<long long>(fs::file_size(platform::PathFromUtf8(file), ec))
                          : -1;
    bool noted = false;
    if (!ec && size > 0 && StartsAsPdf(platform::PathFromUtf8(file))) {
        UniqueFd fd = CreateFreshFile(folder_ + kManifest);
        if (fd.valid()) {
            std::ofstream out(platform::PathFromUtf8(folder_ + kManifest),
                              std::ios::binary | std::ios::trunc);
            out << Header(source_, id_, 0) << "received " << size << "\n";
            out.flush();
            noted = static_cast<bool>(out);
        }
    }
    if (!noted)
        Finish();
}

void PartialFile::Finish() {
    if (!folder_.empty())
        RemovePartialFolder(folder_, {kManifest, kDocument});
}

}  // namespace kestrane
