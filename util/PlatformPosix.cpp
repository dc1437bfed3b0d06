// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "util/Platform.h"
#include "util/UniqueFd.h"

extern char** environ;

namespace kestrane::platform {

namespace fs = std::filesystem;

fs::path PathFromUtf8(std::string_view utf8) {
    return fs::path(utf8);
}

std::string Utf8FromPath(const fs::path& path) {
    return path.string();
}

int CreateNewFile(const std::string& path, Access access) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  access == Access::Private ? 0600 : 0644);
}

int OpenForAppend(const std::string& path, std::string& reason) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        reason = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return -1;
    }
    return fd.release();
}

int OpenForReading(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool Flush(int fd) {
    return ::fsync(fd) == 0;
}

void Close(int fd) {
    if (fd >= 0)
        ::close(fd);
}

bool IsPlainFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolder(const std::string& path, Access access) {
    return !path.empty() && ::mkdir(path.c_str(), access == Access::Private ? 0700 : 0777) == 0;
}

std::string CreateUniqueFolder(const std::string& prefix) {
    std::string name = prefix + "XXXXXX";
    if (::mkdtemp(name.data()) == nullptr)
        return "";
    return name;
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string SettingsFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/kestrane";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/kestrane";
}

Exposure ExposureOf(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_mode & 077) == 0)
        return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return {std::string("mode ") + mode, "chmod 600 " + path};
}

std::string OwnFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
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

}  // namespace

std::string FindProgram(const std::string& name) {
    if (name.empty())
        return "";
    if (name.find('/') != std::string::npos)
        return IsExecutableFile(name) ? name : std::string();
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
        std::string candidate = folder + "/" + name;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return "";
}

namespace {

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

constexpr const char* kLocale = "C.UTF-8";

// The parent's environment without the dropped variables, and with a UTF-8
// locale so that file names outside ASCII reach the child intact.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& dropped) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view item(*entry);
        const std::string_view name = item.substr(0, item.find('='));
        if (name != "LC_ALL" && name != "LANG" &&
            std::find(dropped.begin(), dropped.end(), name) == dropped.end())
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

// Keeps the child's output (up to maxOutput) until the pipe ends. False when
// stop() became true meanwhile.
bool CaptureOutput(UniqueFd& readEnd, const ChildOptions& options,
                   const std::function<bool()>& stop, std::string& output) {
    std::array<char, 4096> buffer{};
    const int sliceMs = static_cast<int>(options.slice.count());
    while (readEnd.valid()) {
        if (stop())
            return false;
        pollfd pfd{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, sliceMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t got = ::read(readEnd.get(), buffer.data(), buffer.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        const std::size_t room = options.maxOutput - std::min(options.maxOutput, output.size());
        output.append(buffer.data(), std::min(room, static_cast<std::size_t>(got)));
    }
    readEnd.reset();
    return true;
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options, const std::function<bool()>& stop) {
    ChildResult result;
    std::vector<std::string> argStrings;
    argStrings.reserve(args.size() + 1);
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> env = ChildEnvironment(options.dropVariables);
    std::vector<char*> argv = PointerArray(argStrings);
    std::vector<char*> envp = PointerArray(env);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    pid_t pid = -1;
    if (!devNull || !Spawn(program, argv, envp, devNull.get(), writeEnd.get(), pid))
        return result;
    ChildProcess child(pid);
    result.started = true;
    // Our copy of the write end would keep the pipe from reporting its end.
    writeEnd.reset();
    devNull.reset();

    const int sliceMs = static_cast<int>(options.slice.count());
    bool stopped = !CaptureOutput(readEnd, options, stop, result.output);
    // The pipe usually ends as the program exits; wait in growing steps.
    for (int waitMs = 1; !stopped && !child.TryReap(result.exitStatus);
         waitMs = std::min(waitMs * 2, sliceMs)) {
        stopped = stop();
        if (!stopped)
            ::poll(nullptr, 0, waitMs);
    }
    if (stopped) {
        child.KillAndReap();
        result.stopped = true;
        result.exitStatus = -1;
    }
    return result;
}

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

unsigned long ProcessId() {
    return static_cast<unsigned long>(::getpid());
}

void PrepareConsole() {
    // A closed pipe on stdout is a write error to report, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
}

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

namespace {

// Taken by sigtimedwait instead of a handler, so nothing has to be
// async-signal-safe; blocked before any thread exists, so every thread
// inherits the mask.
sigset_t InterruptSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void CatchInterrupts() {
    const sigset_t set = InterruptSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForInterrupt(std::chrono::milliseconds wait) {
    const sigset_t set = InterruptSet();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec limit{static_cast<time_t>(seconds.count()),
                         static_cast<long>((wait - seconds).count() * 1'000'000)};
    return sigtimedwait(&set, nullptr, &limit) >= 0;
}

namespace {

// The write end is all the handler touches: writing to a pipe is async-signal-safe.
int gWakeFds[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    const int saved = errno;
    (void)::write(gWakeFds[1], &byte, 1);
    errno = saved;
}

void SetTerminationHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

int CatchTerminationRequests() {
    if (gWakeFds[0] >= 0 || ::pipe2(gWakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    SetTerminationHandler(OnTerminationSignal);
    return gWakeFds[0];
}

void DrainTerminationRequests(int fd) {
    char drained[64];
    while (::read(fd, drained, sizeof drained) > 0) {
    }
}

void ReleaseTerminationRequests() {
    if (gWakeFds[0] < 0)
        return;
    SetTerminationHandler(SIG_DFL);
    for (int& fd : gWakeFds) {
        ::close(fd);
        fd = -1;
    }
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

}  // namespace kestrane::platform
