// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/RunLog.h"

#include <cerrno>

#include "util/Platform.h"
#include "util/UniqueFd.h"

namespace kestrane {

std::string AppendToFile(const std::string& path, const std::string& text) {
    std::string reason;
    UniqueFd fd(platform::OpenForAppend(path, reason));
    if (!fd.valid())
        return reason;
    if (!platform::WriteAll(fd.get(), text))
        return platform::ErrorText(errno);
    return "";
}

void RunLog::Append(const std::string& record) {
    std::string reason;
    try {
        reason = AppendToFile(path_, record);
    } catch (...) {
        reason = "out of memory";
    }
    // An empty append only makes sure the file is there; it loses no record.
    if (reason.empty() || record.empty())
        return;
    if (lost_ == 0)
        reason_ = std::move(reason);
    ++lost_;
}

std::string RunLog::FailureText() const {
    if (lost_ == 0)
        return "";
    return "Could not write the run log " + path_ + " (" + reason_ + "): " + std::to_string(lost_) +
           (lost_ == 1 ? " record is" : " records are") + " missing from it.";
}

}  // namespace kestrane
