// SPDX-License-Identifier: GPL-3.0-or-later
// Everything that differs between POSIX systems and Windows, behind one set of
// calls: util/PlatformPosix.cpp and util/PlatformWindows.cpp implement it, and
// nothing else in Kestrane needs to know which system it runs on.
//
// Paths are UTF-8 strings throughout; on Windows they reach the system through
// its wide-character calls, so a folder such as "Prüfung" keeps its name.
// Descriptors are the C runtime's int descriptors, always in binary mode
// (Windows would otherwise turn every "\n" byte of a PDF into "\r\n") and
// never inherited by child processes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::platform {

// ---- Paths
// ---------------------------------------------------------------------------------------

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// ---- Files and folders
// ---------------------------------------------------------------------------

// Who may use a new file or folder: anyone the system's defaults allow, or
// only the current user (mode 0600/0700; on Windows an access list naming
// the user and the system alone).
enum class Access { Default, Private };

// Creates path as a new, empty regular file open for writing. Fails (-1)
// when anything already stands at path, a link included, which is never
// followed. The reason of a failure is left in errno.
int CreateNewFile(const std::string& path, Access access = Access::Default);

// Opens path for appending, creating it when missing (never through a link;
// only a regular file). Every write lands at the end, also with another
// process appending. -1 on failure, with the reason in reason.
int OpenForAppend(const std::string& path, std::string& reason);

// Opens an existing file for reading; -1 on failure (reason in errno).
int OpenForReading(const std::string& path);

// Writes all of data; false on the first failure (reason in errno).
bool WriteAll(int fd, std::string_view data);
// Makes what was written durable before the file replaces another.
bool Flush(int fd);
void Close(int fd);

// True when path names a regular file itself, not a link to one.
bool IsPlainFile(const std::string& path);

// Makes the folder unless something stands there already; true only when
// this call created it.
bool CreateFolder(const std::string& path, Access access);

// Makes a new private folder named prefix + six random letters and returns
// its path (without a trailing separator), or "" when none can be made.
std::string CreateUniqueFolder(const std::string& prefix);

// Moves from to to, replacing a file at to in one step (a plain rename on
// Windows refuses to replace). False on failure, reason in errno.
bool MoveReplacing(const std::string& from, const std::string& to);

// The text of errno, for messages.
std::string ErrorText(int error);

// ---- Settings
// ------------------------------------------------------------------------------------

// The folder of Kestrane's settings file: $XDG_CONFIG_HOME/kestrane (or
// ~/.config/kestrane); on Windows %APPDATA%\Kestrane.
std::string SettingsFolder();

// What lets others than the user (and the system) read or change an open file.
struct Exposure {
    std::string what;  // e.g. "mode 0644"; "" when the file is private
    std::string mend;  // the command that makes it private
};
Exposure ExposureOf(int fd, const std::string& path);

// ---- Programs
// ------------------------------------------------------------------------------------

// The folder of the running executable, "" when unknown.
std::string OwnFolder();

// Where a bare program name would be run from: our own folder first, then
// the folders of PATH (never the current folder). On Windows the endings of
// PATHEXT are tried and PATH is split at ';'. A name with a folder in it is
// only checked. "" when nowhere.
std::string FindProgram(const std::string& name);

struct ChildResult {
    bool started = false;  // the program could be started
    bool stopped = false;  // stop() became true: the child and its children were killed
    int exitStatus = -1;   // exit status when it ended by itself, else -1
    std::string output;    // stdout and stderr together, at most maxOutput bytes
};

struct ChildOptions {
    std::vector<std::string> dropVariables;  // removed from the child's environment
    std::size_t maxOutput = 64 * 1024;       // beyond this the output is drained, not kept
    std::chrono::milliseconds slice{200};    // how often stop() is asked
};

// Runs program (a path from FindProgram) with args (no shell, no quoting
// left to the caller), stdin empty, without a window. The child and every
// process it starts are killed when stop() becomes true or when this call
// leaves by any path, so no merge program outlives the run.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options, const std::function<bool()>& stop);

// The program's arguments as UTF-8 (on Windows read again from the wide
// command line, since argv holds them in the legacy code page).
std::vector<std::string> Arguments(int argc, char** argv);

// The id of this process, for names of temporary files.
unsigned long ProcessId();

// ---- Console
// -------------------------------------------------------------------------------------

// Readies the console for UTF-8 text and the escape sequences of the
// progress line (Windows consoles need both switched on).
void PrepareConsole();

bool IsTerminal(std::FILE* stream);

// Columns of the terminal stream writes to, 0 when unknown.
int TerminalColumns(std::FILE* stream);

// Ctrl-C, Ctrl-Break and closing the console on Windows; SIGINT, SIGTERM and
// SIGHUP on POSIX. Call CatchInterrupts before starting any thread; then each
// interrupt is reported once by WaitForInterrupt instead of ending the program.
void CatchInterrupts();
// True when an interrupt arrived within wait.
bool WaitForInterrupt(std::chrono::milliseconds wait);

// SIGTERM and SIGHUP (a logout, a kill) for a window, one owner at a time:
// while caught, each one makes the returned descriptor readable instead of
// ending the program. -1 where the system sends no such requests (Windows
// ends a window through the window's own close). Release puts back the
// default action and closes the descriptor.
int CatchTerminationRequests();
// Takes what made the descriptor readable.
void DrainTerminationRequests(int fd);
void ReleaseTerminationRequests();

// ---- Time
// ----------------------------------------------------------------------------------------

std::tm LocalTime(std::time_t when);

}  // namespace kestrane::platform
