// SPDX-License-Identifier: GPL-3.0-or-later
// dl.log as a run writes it: each record appended the moment it is decided,
// so that a run that is killed, or a window killed while its finish box is
// open, has lost no record of what it saved.
#pragma once

#include <string>

namespace kestrane {

class RunLog {
  public:
    explicit RunLog(std::string path) : path_(std::move(path)) {}

    // Appends one record with a single write, so that records of two runs
    // into one folder never interleave. The first failure is kept.
    void Append(const std::string& record);

    bool Failed() const { return lost_ > 0; }
    // What the user is told when records could not be written: the path,
    // the reason and how many records are missing; "" when none are.
    std::string FailureText() const;

  private:
    std::string path_;
    std::string reason_;  // of the first failure
    int lost_ = 0;        // records that could not be written
};

// Appends text to the file at path in one write (created with mode 0644 when
// missing, never through a link). "" on success, else the reason.
std::string AppendToFile(const std::string& path, const std::string& text);

}  // namespace kestrane
