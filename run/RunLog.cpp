// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/RunLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/UniqueFd.h"

namespace kestrane {

std::string AppendToFile(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return std::strerror(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode))
        return "not a regular file";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? std::strerror(errno) : "nothing could be written";
        done += static_cast<std::size_t>(n);
    }
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
