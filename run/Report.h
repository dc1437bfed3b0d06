// SPDX-License-Identifier: GPL-3.0-or-later
// The per-item report (--report FILE, the window's report.csv): one row per
// number, appended the moment the item is decided, like dl.log.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/Biblio.h"
#include "client/Failure.h"
#include "run/DownloadJob.h"

namespace kestrane {

struct ReportFile {
    std::string Name;    // file name in the save folder
    std::string Sha256;  // of its bytes as saved; "" when it could not be read
};

struct ReportRow {
    std::string Stamp;    // the dl.log record's time stamp ("2026-12-09 00:01:02")
    std::string Number;   // as typed
    std::string Compact;  // CompactNumber(Number)
    std::string Source;   // the source's id ("classic", "ops", ...)
    Outcome Result = Outcome::Success;
    FailureKind Kind = FailureKind::None;
    std::string Cause;  // why, in a few words, with the failure's detail; "" on success
    std::vector<ReportFile> Files;
    long Pages = 0;              // pages asked for
    long long Bytes = 0;         // bytes received for the item
    int Requests = 0;            // requests sent for the item
    double Seconds = 0;          // from the item's start to its outcome
    std::optional<Biblio> Info;  // when bibliographic data was read
};

// A row with what is known of an item without its worker (an item the
// watchdog abandoned or a cancel cut short): stamp as the record has it.
ReportRow BasicReportRow(const std::string& stamp, const std::string& number,
                         const std::string& source, Outcome outcome, FailureKind kind);

enum class ReportFormat { Csv, Jsonl };

// By the file's extension (".csv", ".jsonl", any case); std::nullopt for anything else.
std::optional<ReportFormat> ReportFormatFor(const std::string& path);

// The outcome as the report words it ("saved", "failed", "cancelled").
const char* ReportOutcomeWord(Outcome outcome);
// The failure kind's name as the report words it ("no-such-patent"); "" for none.
const char* FailureKindName(FailureKind kind);

// The CSV header line and one row (RFC 4180: fields with a comma, a quote or
// a line break are quoted, quotes doubled; CR LF ends the line). A field a
// spreadsheet would run as a formula (=, +, -, @ first) gets a "'" in front.
std::string CsvHeader();
std::string CsvRow(const ReportRow& row);
// One JSON object on one line, ending with LF; text is kept valid UTF-8.
std::string JsonLine(const ReportRow& row);

// Appends rows to the report file, each in one write; a CSV file that is new
// or empty gets the header first. Keeps the first failure. Not thread-safe:
// the run calls it under its lock.
class ReportWriter {
  public:
    ReportWriter(std::string path, ReportFormat format) : path_(std::move(path)), format_(format) {}
    void Append(const ReportRow& row);
    bool Failed() const { return lost_ > 0; }
    // The path, the reason and how many rows are missing; "" when none are.
    std::string FailureText() const;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    ReportFormat format_;
    bool checkedHeader_ = false;
    std::string reason_;
    int lost_ = 0;
};

}  // namespace kestrane
