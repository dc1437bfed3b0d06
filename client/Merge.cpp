// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Merge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <string_view>
#include <utility>

#include "client/ClientContext.h"
#include "util/UniqueFd.h"

extern char** environ;

namespace kestrane {

namespace fs = std::filesystem;

namespace {

// How long one wait on the child may last before the abort flag is looked at again.
constexpr int kSliceMs = static_cast<int>(kPollSlice.count());
// pdftk's complaints are short; anything beyond this is drained but not kept.
constexpr std::size_t kMaxCapturedOutput = 64 * 1024;
constexpr const char* kLocale = "C.UTF-8";

class SpawnFileActions {
  public:
    SpawnFileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_)
            ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

class SpawnAttributes {
  public:
    SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes() {
        if (ok_)
            ::posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attr_; }

  private:
    posix_spawnattr_t attr_{};
    bool ok_ = false;
};

// The child runs in a process group of its own: pdftk is a shell script that
// starts Java as its child, and killing only the script would leave Java
// writing the output file. Until it has been reaped, destroying this kills
// the whole group and reaps the leader, so no path leaves a process behind.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ~ChildProcess() { KillAndReap(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void KillAndReap() {
        if (pid_ <= 0)
            return;
        ::kill(-pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    // True once the child has ended (and is reaped); status is its exit
    // status, -1 when a signal ended it or it was reaped elsewhere.
    bool TryReap(int& exitStatus) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR))
            return false;
        exitStatus = (r == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
    }

  private:
    pid_t pid_;
};

bool Aborted(const std::atomic<bool>* abort) {
    return abort != nullptr && abort->load(std::memory_order_acquire);
}

// What ends a merge early: the worker's stop, or a confirmed cancel, which
// must not wait for a slow or hung merge program either.
struct StopFlags {
    const std::atomic<bool>* abort;
    const std::atomic<bool>* cancel;
    bool Set() const { return Aborted(abort) || Aborted(cancel); }
};

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string OwnFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

std::string SearchPath() {
    if (const char* path = std::getenv("PATH"); path != nullptr)
        return path;
    const size_t n = ::confstr(_CS_PATH, nullptr, 0);
    std::string fallback(n, '\0');
    if (n > 0)
        ::confstr(_CS_PATH, fallback.data(), n);
    fallback.resize(fallback.empty() ? 0 : n - 1);
    return fallback;
}

// A variable of ours that holds (or names a part of) a source's credentials:
// a merge program has no business with them.
bool IsCredentialVariable(std::string_view name) {
    if (!name.starts_with("KESTRANE_"))
        return false;
    for (const std::string_view part : {"KEY", "SECRET", "PASS", "TOKEN", "USER", "CREDENTIAL"}) {
        if (name.find(part) != std::string_view::npos)
            return true;
    }
    return false;
}

// The parent's environment without our credentials, without the variables
// that make Java print "Picked up ..." (which would fail every merge), and with
// a UTF-8 locale so that file names outside ASCII reach pdftk intact.
std::vector<std::string> ChildEnvironment() {
    static constexpr std::string_view kDropped[] = {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS",
                                                    "JDK_JAVA_OPTIONS", "LC_ALL", "LANG"};
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view item(*entry);
        const std::string_view name = item.substr(0, item.find('='));
        if (std::find(std::begin(kDropped), std::end(kDropped), name) == std::end(kDropped) &&
            !IsCredentialVariable(name))
            env.emplace_back(item);
    }
    env.push_back(std::string("LC_ALL=") + kLocale);
    env.push_back(std::string("LANG=") + kLocale);
    return env;
}

std::vector<char*> PointerArray(std::vector<std::string>& items) {
    std::vector<char*> pointers;
    pointers.reserve(items.size() + 1);
    for (std::string& item : items) pointers.push_back(item.data());
    pointers.push_back(nullptr);
    return pointers;
}

// pdftk reads an argument such as "A=x.pdf" as a handle and a bare "cat" or
// "-" as a keyword or a stream; an absolute path is only ever a file.
std::string FileArgument(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.string();
}

bool NonEmptyFile(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return false;
    const auto size = fs::file_size(path, ec);
    return !ec && size > 0;
}

// Starts path with argv and envp in a process group of its own, stdin on
// stdinFd and stdout and stderr on stdoutFd, with default signal handling.
bool Spawn(const std::string& path, std::vector<char*>& argv, std::vector<char*>& envp, int stdinFd,
           int stdoutFd, pid_t& pid) {
    SpawnFileActions actions;
    SpawnAttributes attr;
    if (!actions.ok() || !attr.ok())
        return false;
    // dup2 clears close-on-exec on the three standard streams only; every
    // other descriptor of ours is opened with O_CLOEXEC or closed below.
    ::posix_spawn_file_actions_adddup2(actions.get(), stdinFd, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), stdoutFd, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), stdoutFd, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Libraries (sockets of the HTTP layer) do not all use close-on-exec.
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    ::posix_spawnattr_setflags(
        attr.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawnattr_setpgroup(attr.get(), 0);
    ::posix_spawnattr_setsigmask(attr.get(), &noSignals);
    ::posix_spawnattr_setsigdefault(attr.get(), &allSignals);

    return ::posix_spawn(&pid, path.c_str(), actions.get(), attr.get(), argv.data(), envp.data()) ==
           0;
}

// Keeps the child's output (up to kMaxCapturedOutput) until the pipe ends.
// False when the abort flag was set meanwhile.
bool CaptureOutput(UniqueFd& readEnd, StopFlags abort, std::string& output) {
    std::array<char, 4096> buffer{};
    while (readEnd.valid()) {
        if (abort.Set())
            return false;
        pollfd pfd{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kSliceMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t got = ::read(readEnd.get(), buffer.data(), buffer.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        const std::size_t room = kMaxCapturedOutput - std::min(kMaxCapturedOutput, output.size());
        output.append(buffer.data(), std::min(room, static_cast<std::size_t>(got)));
    }
    readEnd.reset();
    return true;
}

MergeResult Merge(const std::string& program, const std::vector<std::string>& pageFiles,
                  const std::string& outputFile, StopFlags abort) {
    MergeResult result;
    if (abort.Set()) {
        result.stopped = true;
        return result;
    }
    const std::string path = FindProgram(program);
    if (path.empty())
        return result;

    std::vector<std::string> args;
    args.reserve(pageFiles.size() + 5);
    args.push_back(path);
    for (const std::string& page : pageFiles) args.push_back(FileArgument(page));
    args.insert(args.end(), {"cat", "output", FileArgument(outputFile), "dont_ask"});
    std::vector<std::string> env = ChildEnvironment();
    std::vector<char*> argv = PointerArray(args);
    std::vector<char*> envp = PointerArray(env);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull.valid())
        return result;

    pid_t pid = -1;
    if (!Spawn(path, argv, envp, devNull.get(), writeEnd.get(), pid))
        return result;
    ChildProcess child(pid);
    result.started = true;
    // Our copy of the write end would keep the pipe from reporting its end.
    writeEnd.reset();
    devNull.reset();

    auto stop = [&] {
        child.KillAndReap();
        std::error_code ec;
        fs::remove(outputFile, ec);
        result.stopped = true;
        result.exitStatus = -1;
        return result;
    };
    if (!CaptureOutput(readEnd, abort, result.output))
        return stop();

    // The pipe usually ends as the program exits; wait in growing steps.
    int waitMs = 1;
    while (!child.TryReap(result.exitStatus)) {
        if (abort.Set())
            return stop();
        ::poll(nullptr, 0, waitMs);
        waitMs = std::min(waitMs * 2, kSliceMs);
    }
    result.outputWritten = NonEmptyFile(outputFile);
    return result;
}

}  // namespace

bool MergeResult::ok() const {
    return started && !stopped && exitStatus == 0 && output.empty() && outputWritten;
}

std::string FindProgram(const std::string& program) {
    if (program.empty())
        return "";
    if (program.find('/') != std::string::npos)
        return IsExecutableFile(program) ? program : std::string();

    std::vector<std::string> folders;
    if (std::string own = OwnFolder(); !own.empty())
        folders.push_back(std::move(own));
    const std::string path = SearchPath();
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        // An empty entry would mean the current folder, which is usually the
        // save folder full of downloaded files: never run a program from there.
        if (end > start)
            folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& folder : folders) {
        std::string candidate = folder + "/" + program;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return "";
}

MergeResult RunPdftk(const std::string& program, const std::vector<std::string>& pageFiles,
                     const std::string& outputFile, const std::atomic<bool>* abort,
                     const std::atomic<bool>* cancel) {
    try {
        return Merge(program, pageFiles, outputFile, StopFlags{abort, cancel});
    } catch (const std::exception&) {
        // Out of memory while building the argument list; the child, if any,
        // has been killed and reaped by the time we get here.
        return MergeResult{};
    }
}

}  // namespace kestrane
