// SPDX-License-Identifier: GPL-3.0-or-later
// Creating files and folders that belong to one run: exclusively, and never
// through a symbolic link, so that nothing planted in a folder can redirect a
// write out of it or make the run write over a file it did not create.
#pragma once

#include <string>

#include "util/UniqueFd.h"

namespace kestrane {

// Creates path as a new, empty regular file open for binary writing,
// exclusively and never through a link. Whatever entry stands at path is removed
// first, as an entry (a link goes, never what it points to); callers use it
// only inside a folder of the run's own. Invalid when it cannot be created.
UniqueFd CreateFreshFile(const std::string& path);

// True when path names a regular file itself, not a link to one.
bool IsPlainFile(const std::string& path);

// Makes folder with mode 0700 unless something stands there already.
// True only when this call created it.
bool CreateFolderExclusively(const std::string& folder);

// Makes a new folder prefix + six random characters with mode 0700 and
// returns its path followed by "/", or "" when none can be made.
std::string CreateUniqueFolder(const std::string& prefix);

// Removes the entry at path if there is one; a file that cannot be removed is
// left to the run's clean-up of its folder.
void RemoveQuietly(const std::string& path);

}  // namespace kestrane
