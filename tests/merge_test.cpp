// SPDX-License-Identifier: GPL-3.0-or-later
// The external merge engine: joining page files with an outside program that
// keeps pdftk's command-line contract. The stand-in merge program
// (tests/standin/, no Java) plays pdftk; small scripts misbehave on purpose.
#include "client/pdf/Merge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "server/Pages.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using test::PdfPageCount;
using test::PdfPageText;
using test::ReadFile;
using test::ScopedEnv;
using test::TempDir;
using test::WriteFile;

std::string PageMark(int n, int count) {
    return "DOC page " + std::to_string(n) + " of " + std::to_string(count);
}

std::vector<std::string> WritePages(const fs::path& dir, int count) {
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (int n = 1; n <= count; ++n) {
        files.push_back((dir / ("DOC_" + std::to_string(n) + ".pdf")).string());
        WriteFile(files.back(), pubserver::pages::RenderPagePdf("DOC", n, count, 0));
    }
    return files;
}

std::string WriteScript(const fs::path& dir, const std::string& name, const std::string& body) {
    const std::string path = (dir / name).string();
    WriteFile(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    return path;
}

TEST(RunPdftk, JoinsThreeHundredPagesInListedOrder) {
    // Java announces these variables on stderr, which would fail every merge.
    ScopedEnv tool("JAVA_TOOL_OPTIONS", "-Xss4m");
    ScopedEnv options("_JAVA_OPTIONS", "-Xss4m");
    TempDir dir;
    // Long, non-ASCII paths: far beyond any fixed command-line buffer.
    const fs::path folder = dir.path() / "Patente für Übersicht" / std::string(150, 'p');
    const auto pages = WritePages(folder, 300);
    const std::string out = (folder / "merged.pdf").string();

    const MergeResult result = RunPdftk(test::MergeStandin(), pages, out, nullptr);

    EXPECT_TRUE(result.ok()) << "exit " << result.exitStatus << ": " << result.output;
    ASSERT_EQ(PdfPageCount(out), 300);
    for (int n : {1, 2, 9, 10, 11, 100, 299, 300})
        EXPECT_NE(PdfPageText(out, n).find(PageMark(n, 300)), std::string::npos) << "page " << n;
}

TEST(RunPdftk, FailsUnlessItExitsZeroSilentlyWithAnOutputFile) {
    TempDir dir;
    const auto pages = WritePages(dir.path(), 2);
    const std::string out = (dir.path() / "merged.pdf").string();

    // The merge program refusing an input that does not exist.
    MergeResult refused = RunPdftk(test::MergeStandin(),
                                   {pages[0], (dir.path() / "gone.pdf").string()}, out, nullptr);
    EXPECT_TRUE(refused.started);
    EXPECT_NE(refused.exitStatus, 0);
    EXPECT_NE(refused.output.find("Error"), std::string::npos) << refused.output;
    EXPECT_FALSE(refused.ok());

    // Silent, wrote an empty file.
    const std::string empty = WriteScript(dir.path(), "empty-pdftk", ": > \"$4\"\n");
    MergeResult blank = RunPdftk(empty, {pages[0]}, out, nullptr);
    EXPECT_EQ(blank.exitStatus, 0);
    EXPECT_TRUE(fs::exists(out));
    EXPECT_FALSE(blank.ok());

    // Silent with a file, but a failing exit status.
    const std::string fails =
        WriteScript(dir.path(), "failing-pdftk", "cp \"$1\" \"$4\"\nexit 3\n");
    MergeResult failed = RunPdftk(fails, {pages[0]}, out, nullptr);
    EXPECT_EQ(failed.exitStatus, 3);
    EXPECT_TRUE(failed.outputWritten);
    EXPECT_FALSE(failed.ok());
}

TEST(RunPdftk, ChildGetsArgumentsCleanEnvironmentAndNothingElseOfOurs) {
    ScopedEnv tool("JAVA_TOOL_OPTIONS", "-Xss4m");
    ScopedEnv options("_JAVA_OPTIONS", "-Xss4m");
    ScopedEnv jdk("JDK_JAVA_OPTIONS", "-Xss4m");
    ScopedEnv locale("LC_ALL", "POSIX");
    TempDir dir;
    // A descriptor that a careless library opened without close-on-exec.
    const int raw = ::open("/dev/null", O_RDONLY);
    const int leaked = ::fcntl(raw, F_DUPFD, 100);
    ::close(raw);
    ASSERT_GE(leaked, 100);
    const std::string report = (dir.path() / "report.txt").string();
    const std::string probe = WriteScript(dir.path(), "probe-pdftk",
                                          "{ printf '%s\\n' \"$@\"; echo ---; env; echo ---;\n"
                                          "  ls /proc/$$/fd; echo ---;\n"
                                          "  if read line; then echo stdin-had-data; else echo "
                                          "stdin-empty; fi; } > '" +
                                              report + "'\n");
    // A relative page path: pdftk must still receive it as a file.
    const std::string out = (dir.path() / "merged.pdf").string();

    RunPdftk(probe, {"A=page.pdf", "/x/b.pdf"}, out, nullptr);
    ::close(leaked);

    std::istringstream lines(ReadFile(report));
    std::vector<std::string> args, env, fds, rest;
    std::vector<std::string>* into = &args;
    for (std::string line; std::getline(lines, line);) {
        if (line == "---") {
            into = into == &args ? &env : into == &env ? &fds : &rest;
            continue;
        }
        into->push_back(line);
    }
    const std::vector<std::string> expected = {
        (fs::current_path() / "A=page.pdf").string(), "/x/b.pdf", "cat", "output", out, "dont_ask"};
    EXPECT_EQ(args, expected);
    for (const std::string& var : env) {
        EXPECT_NE(var.rfind("JAVA_TOOL_OPTIONS=", 0), 0u);
        EXPECT_NE(var.rfind("_JAVA_OPTIONS=", 0), 0u);
        EXPECT_NE(var.rfind("JDK_JAVA_OPTIONS=", 0), 0u);
    }
    EXPECT_NE(std::find(env.begin(), env.end(), "LC_ALL=C.UTF-8"), env.end());
    EXPECT_NE(std::find(env.begin(), env.end(), "LANG=C.UTF-8"), env.end());
    EXPECT_NE(std::find(env.begin(), env.end(), "PATH=" + std::string(std::getenv("PATH"))),
              env.end());
    EXPECT_EQ(std::find(fds.begin(), fds.end(), std::to_string(leaked)), fds.end());
    EXPECT_EQ(rest, std::vector<std::string>{"stdin-empty"});
}

TEST(FindProgram, PrefersOurOwnFolderThenSearchesPath) {
    TempDir dir;
    const std::string name = "kestrane-find-" + std::to_string(::getpid());
    fs::create_directories(dir.path() / "a");
    fs::create_directories(dir.path() / "b");
    WriteFile((dir.path() / "a" / name).string(), "not executable");
    const std::string inB = WriteScript(dir.path() / "b", name, "exit 0\n");
    const std::string path = (dir.path() / "a").string() + "::" + (dir.path() / "b").string();
    ScopedEnv env("PATH", path.c_str());

    // A plain file earlier in PATH is not a program.
    EXPECT_EQ(FindProgram(name), inB);
    EXPECT_EQ(FindProgram("kestrane-nowhere-" + name), "");
    // A path is taken as it stands.
    EXPECT_EQ(FindProgram(inB), inB);
    EXPECT_EQ(FindProgram((dir.path() / "a" / name).string()), "");

    // Beside our executable wins over PATH.
    const fs::path own = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string beside = WriteScript(own, name, "exit 0\n");
    EXPECT_EQ(FindProgram(name), beside);
    fs::remove(beside);
}

}  // namespace
}  // namespace kestrane
