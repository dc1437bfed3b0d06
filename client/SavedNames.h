// SPDX-License-Identifier: GPL-3.0-or-later
// The merged files a run has saved so far, shared by every worker of the run,
// so that no document of the run replaces a file the run saved before it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "util/Ascii.h"

namespace kestrane {

class SavedNames {
  public:
    // Names differing in case only count as one: some file systems keep them apart, others do not.
    bool Contains(const std::string& fileName) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(names_.begin(), names_.end(),
                           [&](const std::string& n) { return SameName(n, fileName); });
    }
    void Add(const std::string& fileName) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(fileName);
    }

  private:
    static bool SameName(const std::string& a, const std::string& b) {
        return ascii::EqualsIgnoringCase(a, b);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> names_;  // guarded by mutex_
};

}  // namespace kestrane
