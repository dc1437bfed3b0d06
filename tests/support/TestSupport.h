// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the test suites: temporary folders, reading PDFs back with
// qpdf and pdftotext, and a stand-in server per test.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "client/ClientContext.h"
#include "server/PubServer.h"

namespace kestrane::test {

// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// Runs a command line through the shell; returns its exit status and fills output.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Page count of a PDF (qpdf --show-npages); -1 when it is not a readable PDF.
int PdfPageCount(const std::string& file);
// Text of one page (pdftotext -f N -l N), 1-based.
std::string PdfPageText(const std::string& file, int page);

std::string ReadFile(const std::string& file);
void WriteFile(const std::string& file, const std::string& content);
// Every regular file below dir, as paths relative to dir, sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& dir);

// Sets an environment variable (nullptr: unsets it) for one scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A stand-in server started on a free loopback port.
struct ServerFixture {
    explicit ServerFixture(pubserver::ServerOptions options = {});
    pubserver::PubServer server;
};

// A loopback port that refuses every connection while this lives: bound, never listening.
class ClosedPort {
  public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int Port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A client context for save folder dir (which gets a temp/ subfolder) against base.
ClientContext MakeContext(const std::string& serverBase, const std::string& saveDir,
                          const std::string& number);

// The folder holding our built programs (KESTRANE_BIN_DIR, set by ctest).
std::string BinDir();

// The stand-in merge program of the external-engine tests (tests/standin/):
// follows pdftk's command line and contract without Java.
std::string MergeStandin();

}  // namespace kestrane::test
