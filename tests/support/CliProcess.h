// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-cli run as its own process, as a user or a script runs it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace kestrane::test {

struct CliOutcome {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

// The program runs in its own process with its output in files, or with
// closedOutput, on a pipe nobody reads (as in "kestrane-cli ... | head -1").
class CliProcess {
  public:
    // An empty serverBase leaves the built-in address in force.
    CliProcess(const std::string& serverBase, const std::vector<std::string>& args,
               const std::string& workDir, const std::string& stdinFile = "/dev/null",
               const std::vector<std::string>& extraEnv = {}, bool closedOutput = false)
        : outFile_(scratch_.str() + "/out"), errFile_(scratch_.str() + "/err") {
        std::vector<std::string> argv{BinDir() + "/cli/kestrane-cli"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            // Neither the caller's server nor its merge program choice leaks in.
            const std::string entry(*e);
            if (!entry.starts_with("KESTRANE_SERVER_BASE=") &&
                !entry.starts_with("KESTRANE_MERGE_PROGRAM="))
                env.push_back(entry);
        }
        if (!serverBase.empty())
            env.push_back("KESTRANE_SERVER_BASE=" + serverBase);
        // Later entries win: a test may put its own programs first in PATH.
        for (const std::string& e : extraEnv) {
            const std::string key = e.substr(0, e.find('=') + 1);
            std::erase_if(env, [&](const std::string& x) { return x.starts_with(key); });
            env.push_back(e);
        }

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, stdinFile.c_str(), O_RDONLY, 0);
        int pipeFds[2] = {-1, -1};
        if (closedOutput && pipe2(pipeFds, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, outFile_.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, 2, errFile_.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        sigset_t interrupt;
        sigemptyset(&interrupt);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&interrupt, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &interrupt);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<char*> argp;
        for (std::string& a : argv) argp.push_back(a.data());
        argp.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, argp[0], &actions, &attr, argp.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        for (int fd : pipeFds) {
            if (fd >= 0)
                close(fd);
        }
    }
    ~CliProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void Interrupt() const { kill(pid_, SIGINT); }
    void Signal(int sig) const { kill(pid_, sig); }

    // Waits for the program to end; a program still running after the
    // timeout is killed and reported as such.
    CliOutcome Wait(std::chrono::seconds timeout = std::chrono::seconds(120)) {
        CliOutcome outcome;
        if (pid_ <= 0)
            return outcome;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(
                std::chrono::milliseconds(20));  // polling the child's state
        }
        pid_ = -1;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = ReadFile(outFile_);
        outcome.err = ReadFile(errFile_);
        return outcome;
    }

  private:
    TempDir scratch_;
    const std::string outFile_;
    const std::string errFile_;
    pid_t pid_ = -1;
};

}  // namespace kestrane::test
