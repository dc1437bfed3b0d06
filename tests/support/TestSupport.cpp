// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <random>
#include <sstream>

#include "client/net/HttpExchange.h"

namespace kestrane::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // A test may leave read-only folders behind; make them writable first.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
    int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

int PdfPageCount(const std::string& file) {
    std::string out;
    if (RunCommand("qpdf --show-npages " + Quote(file), &out) != 0)
        return -1;
    return std::atoi(out.c_str());
}

std::string PdfPageText(const std::string& file, int page) {
    std::string out;
    const std::string n = std::to_string(page);
    if (RunCommand("pdftotext -q -f " + n + " -l " + n + " " + Quote(file) + " -", &out) != 0)
        return "";
    return out;
}

std::string ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> ListFiles(const fs::path& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file())
            files.push_back(fs::relative(it->path(), dir).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name))
        old_ = old;
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        ::setenv(name_, old_->c_str(), 1);
    else
        ::unsetenv(name_);
}

ServerFixture::ServerFixture(pubserver::ServerOptions options) : server(std::move(options)) {
    if (!server.Start())
        ADD_FAILURE() << "the stand-in server did not start";
}

ClosedPort::ClosedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ADD_FAILURE() << "no loopback port to hold";
        return;
    }
    port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort() {
    if (fd_ >= 0)
        ::close(fd_);
}

ClientContext MakeContext(const std::string& serverBase, const std::string& saveDir,
                          const std::string& number) {
    ClientContext ctx;
    ctx.ServerBase = serverBase;
    ctx.Share = std::make_shared<HttpShare>();
    ctx.CurrentNumber = number;
    ctx.SaveFolder = saveDir + "/";
    ctx.TempFolder = saveDir + "/temp/";
    std::error_code ec;
    fs::create_directories(saveDir + "/temp", ec);
    return ctx;
}

std::string BinDir() {
    const char* dir = std::getenv("KESTRANE_BIN_DIR");
    return dir != nullptr ? dir : ".";
}

std::string MergeStandin() {
    return BinDir() + "/tests/kestrane-merge-standin";
}

}  // namespace kestrane::test
