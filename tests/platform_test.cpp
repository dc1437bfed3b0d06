// SPDX-License-Identifier: GPL-3.0-or-later
// The platform layer where POSIX systems and Windows differ; the same cases
// run natively and, cross-built, under wine.
#include "util/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "util/Base64.h"

namespace {

namespace fs = std::filesystem;
namespace platform = kestrane::platform;

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string base = platform::Utf8FromPath(fs::temp_directory_path()) + "/kplat-";
        dir_ = platform::CreateUniqueFolder(base);
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(platform::PathFromUtf8(dir_), ec);
    }
    std::string Read(const std::string& path) {
        std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir_;
};

// Bytes a text-mode descriptor would change: LF, CR LF, a lone CR, Ctrl-Z, NUL.
const std::string kBinary(
    "%PDF\n1\r\n2\r3\x1a"
    "4\0"
    "5\n",
    15);

TEST_F(PlatformTest, WritesAndAppendsExactBytesUnderUtf8Names) {
    const std::string folder = dir_ + "/Prüfung Ünïcødé";
    ASSERT_TRUE(platform::CreateFolder(folder, platform::Access::Private));
    EXPECT_FALSE(platform::CreateFolder(folder, platform::Access::Private));
    const std::string file = folder + "/DE10ß.pdf";
    const int fd = platform::CreateNewFile(file);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(platform::WriteAll(fd, kBinary));
    platform::Close(fd);
    EXPECT_EQ(Read(file), kBinary);
    EXPECT_TRUE(platform::IsPlainFile(file));
    EXPECT_FALSE(platform::IsPlainFile(folder));

    const std::string log = folder + "/dl.log";
    for (int i = 0; i < 2; ++i) {
        std::string reason;
        const int appender = platform::OpenForAppend(log, reason);
        ASSERT_GE(appender, 0) << reason;
        EXPECT_TRUE(platform::WriteAll(appender, "2026-01-02 03:04:05 DE1 Success\r\n"));
        platform::Close(appender);
    }
    EXPECT_EQ(Read(log), "2026-01-02 03:04:05 DE1 Success\r\n2026-01-02 03:04:05 DE1 Success\r\n");

    // The names as the system lists them are the names given.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(platform::PathFromUtf8(folder)))
        names.push_back(platform::Utf8FromPath(entry.path().filename()));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"DE10ß.pdf", "dl.log"}));
}

TEST_F(PlatformTest, NewFilesNeverReplaceOrFollowWhatStandsThere) {
    const std::string existing = dir_ + "/existing.pdf";
    int fd = platform::CreateNewFile(existing);
    ASSERT_GE(fd, 0);
    platform::WriteAll(fd, "keep");
    platform::Close(fd);
    EXPECT_LT(platform::CreateNewFile(existing), 0);
    EXPECT_EQ(Read(existing), "keep");

    std::error_code ec;
    const std::string link = dir_ + "/link.pdf";
    fs::create_symlink(platform::PathFromUtf8(dir_ + "/target.pdf"), platform::PathFromUtf8(link),
                       ec);
    if (!ec) {  // Not every Windows user may make links.
        EXPECT_LT(platform::CreateNewFile(link), 0);
        std::string reason;
        EXPECT_LT(platform::OpenForAppend(link, reason), 0);
        EXPECT_FALSE(fs::exists(platform::PathFromUtf8(dir_ + "/target.pdf")));
    }
}

TEST_F(PlatformTest, MoveReplacingReplacesInOneStep) {
    const std::string from = dir_ + "/new.tmp";
    const std::string to = dir_ + "/settings.conf";
    for (const auto& [path, text] : {std::pair{from, "new"}, std::pair{to, "old"}}) {
        const int fd = platform::CreateNewFile(path, platform::Access::Private);
        ASSERT_GE(fd, 0);
        platform::WriteAll(fd, text);
        platform::Close(fd);
    }
    ASSERT_TRUE(platform::MoveReplacing(from, to));
    EXPECT_EQ(Read(to), "new");
    EXPECT_FALSE(fs::exists(platform::PathFromUtf8(from)));
    // A private file is private by the system's own rules.
    const int fd = platform::OpenForReading(to);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::ExposureOf(fd, to).what, "");
    platform::Close(fd);
}

std::string Standin() {
    const std::string found = platform::FindProgram("kestrane-child-standin");
    EXPECT_FALSE(found.empty()) << "beside " << platform::OwnFolder();
    return found;
}

TEST_F(PlatformTest, ChildGetsEveryArgumentIntact) {
    const std::vector<std::string> args{"echo",   "two words", "quote\"d",       "trail\\",
                                        "a\\\"b", "",          dir_ + "/Prüfung"};
    const platform::ChildResult result =
        platform::RunChild(Standin(), args, {}, [] { return false; });
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.exitStatus, 3);
    std::string expected;
    for (std::size_t i = 1; i < args.size(); ++i) expected += args[i] + "\n";
    std::string output = result.output;
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(output, expected);
}

TEST_F(PlatformTest, StopKillsTheChildAndWhatItStarted) {
    const std::string ticks = dir_ + "/ticks";
    std::atomic<bool> stop{false};
    const fs::path ticksPath = platform::PathFromUtf8(ticks);
    std::thread stopper([&] {
        // Once the grandchild has written, the whole family is running.
        for (int i = 0; i < 6000; ++i) {
            std::error_code ec;
            if (const auto size = fs::file_size(ticksPath, ec); !ec && size > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop = true;
    });
    const platform::ChildResult result =
        platform::RunChild(Standin(), {"hang", ticks}, {}, [&] { return stop.load(); });
    stopper.join();
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.exitStatus, -1);
    // Nothing ticks any more: a survivor would have written within this wait.
    const auto before = fs::file_size(ticksPath);
    EXPECT_GT(before, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(fs::file_size(ticksPath), before);
}

TEST_F(PlatformTest, ProgramsAreFoundOnlyWhereTheyMayBe) {
    EXPECT_EQ(platform::FindProgram(""), "");
    EXPECT_EQ(platform::FindProgram("kestrane-no-such-program"), "");
    EXPECT_EQ(platform::FindProgram(dir_ + "/kestrane-child-standin"), "");
}

}  // namespace

// RFC 4648's vectors, every padding length, and bytes above 0x7F.
TEST(Base64, EncodesEveryLengthWithItsPadding) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"},
                                                           {"\xff\xfe", "//4="}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(kestrane::base64::Encode(in), out) << in;
}
