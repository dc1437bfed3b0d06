// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/ClientContext.h"

#include "util/Platform.h"

namespace kestrane {

std::string NormalServerBase(std::string base) {
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base.empty() ? std::string(kDefaultServerBase) : base;
}

namespace paths {

namespace fs = std::filesystem;

// Paths are UTF-8 strings; on Windows they become wide ones here.
fs::path MergedFile(const std::string& saveFolder, const std::string& name) {
    return platform::PathFromUtf8(saveFolder) / platform::PathFromUtf8(name + ".pdf");
}

fs::path PageFile(const std::string& tempFolder, const std::string& name, long page) {
    return platform::PathFromUtf8(tempFolder) /
           platform::PathFromUtf8(name + "_" + std::to_string(page) + ".pdf");
}

fs::path PartialMerge(const std::string& tempFolder, const std::string& name) {
    return platform::PathFromUtf8(tempFolder) / platform::PathFromUtf8(name + ".merge.pdf");
}

fs::path RunLog(const std::string& saveFolder) {
    return platform::PathFromUtf8(saveFolder) / "dl.log";
}

}  // namespace paths

}  // namespace kestrane
