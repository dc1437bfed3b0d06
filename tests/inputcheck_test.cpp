// SPDX-License-Identifier: GPL-3.0-or-later
// The Download command's input checks: order, texts, and what a run gets.
#include "run/InputCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;

class InputCheckTest : public ::testing::Test {
  protected:
    DownloadRequest Request(std::vector<std::string> lines) const {
        DownloadRequest request;
        request.Lines = std::move(lines);
        request.SaveFolder = dir.str();
        return request;
    }
    bool TempExists() const { return fs::is_directory(dir.path() / "temp"); }

    test::TempDir dir;
};

TEST_F(InputCheckTest, CountsOnlyNonEmptyLinesUpToTwenty) {
    std::vector<std::string> lines;
    for (int i = 0; i < 20; ++i) {
        lines.push_back("DE" + std::to_string(100 + i));
        lines.push_back(i % 2 == 0 ? "" : " \t\r\n");  // blank lines between them
    }
    InputCheck twenty = CheckDownloadInput(Request(lines));
    ASSERT_TRUE(twenty.Ok) << twenty.Message;
    EXPECT_EQ(twenty.Job.PatentNumbers.size(), 20u);
    EXPECT_EQ(twenty.Job.PatentNumbers.front(), "DE100");
    EXPECT_EQ(twenty.Job.PatentNumbers.back(), "DE119");

    fs::remove(dir.path() / "temp");
    lines.push_back("DE999");
    const InputCheck tooMany = CheckDownloadInput(Request(lines));
    EXPECT_FALSE(tooMany.Ok);
    EXPECT_EQ(tooMany.Message, "Max tasks is 20!");
    EXPECT_EQ(tooMany.Box, BoxKind::Info);
    EXPECT_FALSE(TempExists()) << "the list is refused before anything is created";
}

TEST_F(InputCheckTest, KeepsLeadingBlanksDropsTrailingAndCutsLongLines) {
    const std::string longLine = "DE" + std::string(1100, '7');
    const InputCheck check =
        CheckDownloadInput(Request({"  DE19758096C2  ", "DE60218500T2\r\n", "\t\v\f", longLine}));
    ASSERT_TRUE(check.Ok) << check.Message;
    ASSERT_EQ(check.Job.PatentNumbers.size(), 3u);
    EXPECT_EQ(check.Job.PatentNumbers[0], "  DE19758096C2");
    EXPECT_EQ(check.Job.PatentNumbers[1], "DE60218500T2");
    EXPECT_EQ(check.Job.PatentNumbers[2], longLine.substr(0, 1023));

    EXPECT_EQ(TrimRight(" a b \t\r\n\v\f"), " a b");
    EXPECT_EQ(TrimRight(" \t "), "");
}

TEST_F(InputCheckTest, RefusesInTheCommandsOrder) {
    // The list is examined before the folder.
    DownloadRequest request = Request({"", "  "});
    request.SaveFolder = "";
    EXPECT_EQ(CheckDownloadInput(request).Message, "Please input patents.");

    request = Request({"DE19758096C2"});
    request.SaveFolder = "";
    EXPECT_EQ(CheckDownloadInput(request).Message, "Please choose a path to keep documents.");

    // A missing folder is reported before its characters are looked at.
    request.SaveFolder = dir.str() + "/n\xC3\xA4hte";
    EXPECT_EQ(CheckDownloadInput(request).Message, "The path doesn't exist.");

    test::WriteFile(dir.str() + "/a-file", "x");
    request.SaveFolder = dir.str() + "/a-file";
    EXPECT_EQ(CheckDownloadInput(request).Message, "The path doesn't exist.");

    fs::create_directory(dir.path() / "n\xC3\xA4hte");
    request.SaveFolder = dir.str() + "/n\xC3\xA4hte";
    const InputCheck accented = CheckDownloadInput(request);
    EXPECT_FALSE(accented.Ok);
    EXPECT_EQ(accented.Message, "Please make sure the path uses only alphanumeric character!");
    EXPECT_EQ(accented.Box, BoxKind::AppWarning);
    EXPECT_FALSE(fs::exists(dir.path() / "n\xC3\xA4hte" / "temp"));

    // The proxy comes last, after the temporary folder was made.
    request = Request({"DE19758096C2"});
    request.UseProxy = true;
    request.ProxyIp = "10.0.0.1";
    request.ProxyPort = "";
    const InputCheck noPort = CheckDownloadInput(request);
    EXPECT_EQ(noPort.Message, "Please input server IP and server port.");
    EXPECT_EQ(noPort.Box, BoxKind::Info);
    EXPECT_TRUE(TempExists());
    request.ProxyIp = "";
    request.ProxyPort = "8080";
    EXPECT_EQ(CheckDownloadInput(request).Message, "Please input server IP and server port.");
}

TEST_F(InputCheckTest, RefusesNumbersWithControlCharactersBeforeTheFolder) {
    // A CR LF inside a number would write a forged record into dl.log.
    const std::string forged = "DE1\r\n2009-12-14 09:30:05 DE2 Success";
    for (const std::string& number :
         {forged,
          std::string("DE\0"
                      "1",
                      4),
          std::string("DE1\tA"), std::string("DE\x1b[2J"), std::string("DE1\xC2\x9B")}) {
        DownloadRequest request = Request({"DE19758096C2", number});
        request.SaveFolder = dir.str() + "/missing";
        const InputCheck check = CheckDownloadInput(request);
        EXPECT_FALSE(check.Ok);
        EXPECT_TRUE(check.Message.ends_with("holds a control character; please remove it."))
            << check.Message;
        EXPECT_EQ(check.Message.find_first_of(std::string("\r\n\0\x1b", 4)), std::string::npos);
    }
    EXPECT_EQ(CheckDownloadInput(Request({forged})).Message,
              "The number \"DE1\\x0D\\x0A2009-12-14 09:30:05 DE2 Success\" holds a control "
              "character; please remove it.");
    // Accented letters and trailing line ends are not control characters.
    EXPECT_TRUE(CheckDownloadInput(Request({"DE1\xC3\xA4", "DE2\r\n"})).Ok);
}

TEST_F(InputCheckTest, FillsTheJob) {
    const fs::path odd = dir.path() / "My Patents (2009)\\";
    fs::create_directory(odd);
    DownloadRequest request = Request({"DE19758096C2"});
    request.SaveFolder = odd.string();
    request.ProxyIp = "10.0.0.1";  // ignored while the proxy is off
    request.ProxyPort = "3128";
    InputCheck check = CheckDownloadInput(request);
    ASSERT_TRUE(check.Ok) << check.Message;
    EXPECT_EQ(check.Job.SaveFolder, odd.string() + "/");
    EXPECT_EQ(check.Job.TempFolder, odd.string() + "/temp/");
    EXPECT_TRUE(fs::is_directory(odd / "temp"));
    EXPECT_EQ(check.Job.Proxy, "");
    EXPECT_EQ(check.Job.AccessType, 0);

    request.UseProxy = true;
    check = CheckDownloadInput(request);
    ASSERT_TRUE(check.Ok) << check.Message;
    EXPECT_EQ(check.Job.Proxy, "HTTP=HTTP://10.0.0.1:3128");
    EXPECT_EQ(check.Job.AccessType, 3);
    // "temp" stands now, so this run gets a fresh folder of its own beside it.
    const std::string fresh = check.Job.TempFolder;
    EXPECT_TRUE(fresh.starts_with(odd.string() + "/temp.kestrane-")) << fresh;
    EXPECT_TRUE(fs::is_directory(fresh));
    EXPECT_NE(CheckDownloadInput(request).Job.TempFolder, fresh);
}

TEST(IsAsciiPath, OnlyTheTopBitCounts) {
    EXPECT_TRUE(IsAsciiPath(""));
    EXPECT_TRUE(IsAsciiPath("C:\\Patents/ (1) ~!@#$%^&*"));
    EXPECT_TRUE(IsAsciiPath(std::string("\x7F\x01", 2)));
    EXPECT_FALSE(IsAsciiPath("/home/j\xC3\xBCrgen"));
    EXPECT_FALSE(IsAsciiPath("\x80"));
}

}  // namespace
}  // namespace kestrane
