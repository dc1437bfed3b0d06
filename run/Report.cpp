// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/Report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "client/PublicationNumber.h"
#include "run/RunLog.h"
#include "util/Platform.h"

namespace kestrane {

namespace {

// Lists inside one CSV field: file names never hold "|" (it is not allowed
// in a saved name), so it keeps names and digests apart unambiguously.
constexpr const char* kFileSeparator = " | ";
constexpr const char* kNameSeparator = "; ";

std::string Join(const std::vector<std::string>& list, const char* by) {
    std::string out;
    for (const std::string& item : list) out += (out.empty() ? "" : by) + item;
    return out;
}

std::vector<std::string> FileNames(const ReportRow& row) {
    std::vector<std::string> names;
    for (const ReportFile& f : row.Files) names.push_back(f.Name);
    return names;
}

std::vector<std::string> Digests(const ReportRow& row) {
    std::vector<std::string> digests;
    for (const ReportFile& f : row.Files) digests.push_back(f.Sha256);
    return digests;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
    return text;
}

std::string CsvField(std::string text) {
    // A cell that starts like a formula stays text in a spreadsheet.
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@'))
        text.insert(text.begin(), '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

// Length of the valid UTF-8 sequence at text[at], or 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    std::size_t n = c < 0x80           ? 1
                    : (c >> 5) == 0x6  ? 2
                    : (c >> 4) == 0xE  ? 3
                    : (c >> 3) == 0x1E ? 4
                                       : 0;
    if (n == 0 || at + n > text.size() || (n == 2 && c < 0xC2))
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++at;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++at;
        } else if (const std::size_t n = Utf8Length(text, at); n > 0) {
            out.append(text.substr(at, n));
            at += n;
        } else {
            out += "\\ufffd";  // a byte that is no character
            ++at;
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& list) {
    std::string out = "[";
    for (const std::string& item : list) out += (out.size() > 1 ? "," : "") + JsonString(item);
    return out + "]";
}

}  // namespace

ReportRow BasicReportRow(const std::string& stamp, const std::string& number,
                         const std::string& source, Outcome outcome, FailureKind kind) {
    ReportRow row;
    row.Stamp = stamp;
    while (!row.Stamp.empty() && row.Stamp.back() == ' ') row.Stamp.pop_back();
    row.Number = number;
    row.Compact = CompactNumber(number);
    row.Source = source;
    row.Result = outcome;
    row.Kind = kind;
    row.Cause = kind == FailureKind::None ? std::string() : std::string(FailureCause(kind));
    return row;
}

std::optional<ReportFormat> ReportFormatFor(const std::string& path) {
    std::string lower;
    for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.ends_with(".csv") && lower.size() > 4)
        return ReportFormat::Csv;
    if (lower.ends_with(".jsonl") && lower.size() > 6)
        return ReportFormat::Jsonl;
    return std::nullopt;
}

const char* ReportOutcomeWord(Outcome outcome) {
    switch (outcome) {
        case Outcome::Success:
            return "saved";
        case Outcome::Failed:
            return "failed";
        case Outcome::Cancelled:
            return "cancelled";
    }
    return "failed";
}

const char* FailureKindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::None:
            return "";
        case FailureKind::Cancelled:
            return "cancelled";
        case FailureKind::Connect:
            return "connect";
        case FailureKind::DownloadFailed:
            return "download-failed";
        case FailureKind::SaveFailed:
            return "save-failed";
        case FailureKind::NoSuchPatent:
            return "no-such-patent";
        case FailureKind::NoPdf:
            return "no-pdf";
        case FailureKind::UnsafeName:
            return "unsafe-name";
        case FailureKind::NameClash:
            return "name-clash";
        case FailureKind::TooLarge:
            return "too-large";
        case FailureKind::NotAPdf:
            return "not-a-pdf";
        case FailureKind::MergeFailed:
            return "merge-failed";
        case FailureKind::MergeProgramMissing:
            return "merge-program-missing";
        case FailureKind::BadNumber:
            return "bad-number";
        case FailureKind::AuthFailed:
            return "auth-failed";
        case FailureKind::QuotaExceeded:
            return "quota-exceeded";
        case FailureKind::Throttled:
            return "throttled";
        case FailureKind::RobotDetected:
            return "robot-detected";
        case FailureKind::Stalled:
            return "stalled";
        case FailureKind::Blocked:
            return "blocked";
    }
    return "failed";
}

std::string CsvHeader() {
    return "time,number,compact,source,outcome,failure_kind,cause,files,sha256,pages,bytes,"
           "requests,seconds,publication,title_de,title_en,title,applicants,inventors,"
           "publication_date,ipc\r\n";
}

std::string CsvRow(const ReportRow& row) {
    const Biblio info = row.Info.value_or(Biblio{});
    const std::vector<std::string> fields = {
        row.Stamp,
        row.Number,
        row.Compact,
        row.Source,
        ReportOutcomeWord(row.Result),
        FailureKindName(row.Kind),
        row.Cause,
        Join(FileNames(row), kFileSeparator),
        Join(Digests(row), kFileSeparator),
        std::to_string(row.Pages),
        std::to_string(row.Bytes),
        std::to_string(row.Requests),
        Seconds(row.Seconds),
        info.Number,
        info.TitleDe,
        info.TitleEn,
        info.TitleOther,
        Join(info.Applicants, kNameSeparator),
        Join(info.Inventors, kNameSeparator),
        info.Date,
        Join(info.Ipc, kNameSeparator),
    };
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + CsvField(fields[i]);
    return line + "\r\n";
}

std::string JsonLine(const ReportRow& row) {
    std::string files = "[";
    for (const ReportFile& f : row.Files) {
        files += (files.size() > 1 ? "," : "") + std::string("{\"name\":") + JsonString(f.Name) +
                 ",\"sha256\":" + JsonString(f.Sha256) + "}";
    }
    files += "]";
    std::string line =
        "{\"time\":" + JsonString(row.Stamp) + ",\"number\":" + JsonString(row.Number) +
        ",\"compact\":" + JsonString(row.Compact) + ",\"source\":" + JsonString(row.Source) +
        ",\"outcome\":" + JsonString(ReportOutcomeWord(row.Result)) +
        ",\"failure_kind\":" + JsonString(FailureKindName(row.Kind)) +
        ",\"cause\":" + JsonString(row.Cause) + ",\"files\":" + files +
        ",\"pages\":" + std::to_string(row.Pages) + ",\"bytes\":" + std::to_string(row.Bytes) +
        ",\"requests\":" + std::to_string(row.Requests) + ",\"seconds\":" + Seconds(row.Seconds);
    if (row.Info) {
        const Biblio& b = *row.Info;
        line +=
            ",\"biblio\":{\"publication\":" + JsonString(b.Number) +
            ",\"title_de\":" + JsonString(b.TitleDe) + ",\"title_en\":" + JsonString(b.TitleEn) +
            ",\"title\":" + JsonString(b.TitleOther) + ",\"applicants\":" + JsonList(b.Applicants) +
            ",\"inventors\":" + JsonList(b.Inventors) +
            ",\"publication_date\":" + JsonString(b.Date) + ",\"ipc\":" + JsonList(b.Ipc) + "}";
    }
    return line + "}\n";
}

void ReportWriter::Append(const ReportRow& row) {
    std::string reason;
    try {
        std::string text = format_ == ReportFormat::Csv ? CsvRow(row) : JsonLine(row);
        if (format_ == ReportFormat::Csv && !checkedHeader_) {
            // A report appended to over several runs keeps the one header it began with.
            std::error_code ec;
            const auto size = std::filesystem::file_size(platform::PathFromUtf8(path_), ec);
            if (ec || size == 0)
                text = CsvHeader() + text;
        }
        reason = AppendToFile(path_, text);
        checkedHeader_ = checkedHeader_ || reason.empty();
    } catch (...) {
        reason = "out of memory";
    }
    if (reason.empty())
        return;
    if (lost_ == 0)
        reason_ = std::move(reason);
    ++lost_;
}

std::string ReportWriter::FailureText() const {
    if (lost_ == 0)
        return "";
    return "Could not write the report " + path_ + " (" + reason_ + "): " + std::to_string(lost_) +
           (lost_ == 1 ? " row is" : " rows are") + " missing from it.";
}

}  // namespace kestrane
