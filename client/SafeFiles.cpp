// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/SafeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace kestrane {

UniqueFd CreateFreshFile(const std::string& path) {
    if (path.empty())
        return UniqueFd();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return UniqueFd();
    return UniqueFd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
}

bool IsPlainFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolderExclusively(const std::string& folder) {
    return !folder.empty() && ::mkdir(folder.c_str(), 0700) == 0;
}

std::string CreateUniqueFolder(const std::string& prefix) {
    std::vector<char> name(prefix.begin(), prefix.end());
    for (char c : std::string("XXXXXX")) name.push_back(c);
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        return "";
    return std::string(name.data()) + "/";
}

void RemoveQuietly(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace kestrane
