// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/DownloadJob.h"

#include "util/Platform.h"

namespace kestrane {

std::string FormatTimeStamp(std::time_t when) {
    const std::tm local = platform::LocalTime(when);
    char buffer[32];
    const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S ", &local);
    return std::string(buffer, n);
}

std::string MakeRecord(const std::string& stamp, const std::string& number, Outcome outcome) {
    const char* word = outcome == Outcome::Success  ? " Success"
                       : outcome == Outcome::Failed ? " Failed"
                                                    : " Cancelled";
    return stamp + number + word;
}

std::string MakeLogLine(const std::string& stamp, const std::string& number, Outcome outcome) {
    return MakeRecord(stamp, number, outcome) + "\r\n";
}

}  // namespace kestrane
