// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/SafeFiles.h"

#include <filesystem>
#include <system_error>

#include "util/Platform.h"

namespace kestrane {

UniqueFd CreateFreshFile(const std::string& path) {
    if (path.empty())
        return UniqueFd();
    // The entry goes as an entry: a link is removed, never what it points to.
    std::error_code ec;
    std::filesystem::remove(platform::PathFromUtf8(path), ec);
    if (ec)
        return UniqueFd();
    return UniqueFd(platform::CreateNewFile(path));
}

bool IsPlainFile(const std::string& path) {
    return platform::IsPlainFile(path);
}

bool CreateFolderExclusively(const std::string& folder) {
    return platform::CreateFolder(folder, platform::Access::Private);
}

std::string CreateUniqueFolder(const std::string& prefix) {
    const std::string folder = platform::CreateUniqueFolder(prefix);
    return folder.empty() ? folder : folder + "/";
}

void RemoveQuietly(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(platform::PathFromUtf8(path), ec);
}

}  // namespace kestrane
