// SPDX-License-Identifier: GPL-3.0-or-later
// The record of one run and the run log's line format.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "client/Failure.h"
#include "client/SavedNames.h"

namespace kestrane {

// One run's record. Nothing of the front end is stored here: a worker
// reaches it only through FrontEnd's events (run/FrontEnd.h).
//
// Thread rules: the fields marked "fixed" are written before the first worker
// starts and only read afterwards. The fields marked "run lock" are written by
// a worker only through RunController's gate, under the run lock, and read by
// others under the same lock. WatchdogIndex belongs to the front-end thread.
struct DownloadJob {
    std::vector<std::string> PatentNumbers;  // fixed: the numbers, 1 to 20, in list order
    std::string CurrentNumber;               // run lock: number in work; "" before and after
    std::string PreviousNumber;              // run lock: number of the item before
    int CurrentIndex = 0;                    // run lock: index of the item in work
    // Run lock: time stamp of the item in work while it has no record yet, else "".
    std::string ItemStamp;
    // The item in work's number as its record carries it (the source's
    // RecordNumber); every record of the item uses it, the watchdog's too.
    std::string ItemRecordNumber;
    // Front-end thread only: CurrentIndex seen at the previous watchdog tick.
    // -1 is an index no item has, so the first tick of a run only records and
    // the first item gets two full periods like every later one.
    int WatchdogIndex = -1;
    // Front-end thread only: the worker's activity count seen at the previous tick.
    unsigned long long WatchdogActivity = 0;
    int ItemSucceeded = 0;    // run lock: 1 once the item before ProgressIndex was saved
    int ProgressIndex = 0;    // run lock: index of the item just started; count at the end
    std::string SaveFolder;   // fixed: save folder + "/"
    std::string TempFolder;   // fixed: save folder + "/temp/"
    std::string Proxy;        // fixed: "" or "HTTP=HTTP://" + ip + ":" + port
    int AccessType = 0;       // fixed: 3 with a proxy, else 0
    std::string MessageText;  // run lock: last failure or cancel text, or "Downloading finished."
    // Run lock: why no session could be opened, when none could.
    FailureKind SessionFailure = FailureKind::None;
    // Fixed pointer, locked inside: the merged files saved so far in this run.
    std::shared_ptr<SavedNames> SavedInRun = std::make_shared<SavedNames>();
};

enum class Outcome { Success, Failed, Cancelled };

// Local time as "%Y-%m-%d %H:%M:%S " (with the trailing blank).
[[nodiscard]] std::string FormatTimeStamp(std::time_t when);

// "Success", "Failed" or "Cancelled": the record's last word.
[[nodiscard]] const char* OutcomeWord(Outcome outcome);

// stamp + number + " Success" / " Failed" / " Cancelled": one record.
[[nodiscard]] std::string MakeRecord(const std::string& stamp, const std::string& number,
                                     Outcome outcome);
// The record and CR LF: one line of the run log.
[[nodiscard]] std::string MakeLogLine(const std::string& stamp, const std::string& number,
                                      Outcome outcome);

}  // namespace kestrane
