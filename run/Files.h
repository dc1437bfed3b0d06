// SPDX-License-Identifier: GPL-3.0-or-later
// Folder clean-up and the run log writer.
#pragma once

#include <string>

namespace kestrane {

// Removes the folder with everything in it, depth first. Failures are silent:
// what cannot be removed stays. Never follows a symbolic link out of the tree.
void DeleteFolderTree(const std::string& folder);

// Appends text unchanged at the end of the file, creating it when missing.
// 1 when the file could be opened and the whole text written, else 0.
[[nodiscard]] int AppendLogFile(const std::string& text, const std::string& path);

}  // namespace kestrane
