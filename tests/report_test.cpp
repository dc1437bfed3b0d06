// SPDX-License-Identifier: GPL-3.0-or-later
// The per-item report's formats and the file names users choose.
#include "run/Report.h"

#include <gtest/gtest.h>

#include "client/NameFormat.h"
#include "support/TestSupport.h"

namespace kestrane {
namespace {

ReportRow Row() {
    ReportRow row;
    row.Stamp = "2026-12-09 00:01:02";
    row.Number = "DE 197 58 096 C2";
    row.Compact = "DE19758096C2";
    row.Source = "ops";
    row.Files = {{"DE19758096C2.pdf", std::string(64, 'a')}};
    row.Pages = 3;
    row.Bytes = 65000;
    row.Requests = 5;
    row.Seconds = 1.5;
    Biblio b;
    b.TitleDe = "Bremsanlage, insbesondere mit \"Assistent\"";
    b.Applicants = {"=HYPERLINK(\"x\")", "Müller & Söhne"};
    row.Info = b;
    return row;
}

// A CSV reader as RFC 4180 has it, to check our quoting against.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            rows.back().back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            rows.back().emplace_back();
        } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            ++i;
        } else {
            rows.back().back() += c;
        }
    }
    rows.pop_back();  // after the last CR LF
    return rows;
}

TEST(Report, CsvQuotesWhatNeedsItAndReadsBack) {
    test::TempDir dir;
    ReportWriter writer(dir.str() + "/r.csv", ReportFormat::Csv);
    ReportRow failed = Row();
    failed.Result = Outcome::Failed;
    failed.Kind = FailureKind::NoPdf;
    failed.Cause = "line one\nline two";
    failed.Info.reset();
    writer.Append(Row());
    writer.Append(failed);
    ReportWriter again(dir.str() + "/r.csv", ReportFormat::Csv);  // a later run
    again.Append(Row());
    ASSERT_FALSE(writer.Failed());

    const auto rows = ParseCsv(test::ReadFile(dir.str() + "/r.csv"));
    ASSERT_EQ(rows.size(), 4u);  // one header, three rows
    const auto& head = rows[0];
    ASSERT_EQ(rows[1].size(), head.size());
    ASSERT_EQ(rows[2].size(), head.size());
    const auto col = [&](const char* name) {
        return static_cast<std::size_t>(std::find(head.begin(), head.end(), name) - head.begin());
    };
    EXPECT_EQ(rows[1][col("number")], "DE 197 58 096 C2");
    EXPECT_EQ(rows[1][col("title_de")], "Bremsanlage, insbesondere mit \"Assistent\"");
    // A formula from a server stays text.
    EXPECT_EQ(rows[1][col("applicants")], "'=HYPERLINK(\"x\"); Müller & Söhne");
    EXPECT_EQ(rows[2][col("outcome")], "failed");
    EXPECT_EQ(rows[2][col("failure_kind")], "no-pdf");
    EXPECT_EQ(rows[2][col("cause")], "line one\nline two");
    EXPECT_EQ(rows[3], rows[1]);
}

TEST(Report, JsonLinesStayValidWhateverTheServerSent) {
    ReportRow row = Row();
    row.Info->TitleEn = std::string("bad \xff byte, tab\t, quote \" and \\");
    const std::string line = JsonLine(row);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find(R"("title_en":"bad \ufffd byte, tab\u0009, quote \" and \\")"),
              std::string::npos);
    EXPECT_NE(line.find(R"("files":[{"name":"DE19758096C2.pdf","sha256":")"), std::string::npos);
    EXPECT_EQ(ReportFormatFor("out/Report.JSONL"), ReportFormat::Jsonl);
    EXPECT_EQ(ReportFormatFor("r.csv"), ReportFormat::Csv);
    EXPECT_FALSE(ReportFormatFor("r.txt"));
    EXPECT_FALSE(ReportFormatFor(".csv"));
}

TEST(NameFormat, RefusesWhatCannotName) {
    std::string error;
    for (const char* bad :
         {"", "plain", "{number", "number}", "{nope}", "{title}/{number}", "a\\{number}"}) {
        EXPECT_FALSE(NameFormat::Parse(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    ASSERT_TRUE(NameFormat::Parse("{number}", error));
    EXPECT_TRUE(NameFormat::Parse("{number}", error)->IsDefault());
    EXPECT_EQ(NameFormat::Parse("{number}", error)->Apply({" de 197 58 096 c2", nullptr}),
              " de 197 58 096 c2");  // today's name, untouched
}

TEST(NameFormat, FillsFieldsAndMakesEveryNameSafe) {
    std::string error;
    Biblio b;
    b.TitleDe = "Wärme/übertrager: \"neu\" <besser>?*|\x01...";
    b.Date = "2002-04-18";
    b.Applicants = {"Müller & Söhne GmbH"};
    const auto format = NameFormat::Parse("{country}-{kind} {date} {applicant} - {title}", error);
    ASSERT_TRUE(format) << error;
    EXPECT_TRUE(format->WantsBiblio());
    EXPECT_EQ(format->Apply({"DE19758096C2", &b}),
              "DE-C2 2002-04-18 Mueller & Soehne GmbH - Waerme_uebertrager_ _neu_ _besser_____");
    // Without biblio the fields stay empty; nothing usable left gives the number.
    EXPECT_EQ(NameFormat::Parse("{title}", error)->Apply({"de 197 58 096 c2", nullptr}),
              "DE19758096C2");
    // Reserved device names, leading dots and ".." never come out; length is capped.
    EXPECT_EQ(SafeFileStem("con.txt"), "_con.txt");
    EXPECT_EQ(SafeFileStem("LPT1"), "_LPT1");
    EXPECT_EQ(SafeFileStem("../..//etc"), "_.__etc");
    EXPECT_EQ(SafeFileStem(" .hidden. "), "hidden");
    EXPECT_EQ(SafeFileStem(std::string(500, 'x')).size(), kMaxFormattedStem);
}

}  // namespace
}  // namespace kestrane
