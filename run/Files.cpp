// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/Files.h"

#include <filesystem>
#include <system_error>

#include "run/RunLog.h"
#include "util/Platform.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

// Depth first; symbolic links are removed as entries and never entered, so a
// link inside the temporary folder cannot lead the clean-up out of it.
void RemoveTree(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (!statusError && fs::is_directory(status)) {
            RemoveTree(it->path());
        } else {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
    std::error_code ignored;
    fs::remove(folder, ignored);
}

}  // namespace

void DeleteFolderTree(const std::string& folder) {
    try {
        fs::path path = platform::PathFromUtf8(folder);
        // "save/temp/" names the same folder as "save/temp"; without the
        // trailing separator symlink_status looks at the entry itself.
        while (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (ec)
            return;
        if (fs::is_symlink(status)) {
            // A link standing in for the folder goes, never what it points to.
            fs::remove(path, ec);
        } else if (fs::is_directory(status)) {
            RemoveTree(path);
        }
    } catch (...) {
        // Clean-up never reports; an allocation failure leaves the rest in place.
    }
}

int AppendLogFile(const std::string& text, const std::string& path) {
    try {
        return AppendToFile(path, text).empty() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace kestrane
