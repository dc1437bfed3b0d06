// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <random>

#include "util/Platform.h"

namespace kestrane::platform {

namespace fs = std::filesystem;

namespace {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(std::wstring_view wide) {
    if (wide.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                            nullptr, nullptr);
    return utf8;
}

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// Windows error codes as the errno values the callers' messages expect.
void SetErrnoFrom(DWORD error) {
    switch (error) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            errno = EEXIST;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_DISK_FULL:
            errno = ENOSPC;
            break;
        default:
            errno = EIO;
    }
}

// The current user's SID as text (S-1-5-21-...), "" when unknown.
std::wstring UserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return {};
    UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    wchar_t* text = nullptr;
    if (size == 0 || !GetTokenInformation(raw, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return {};
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

// Security attributes whose access list names only the user and the system,
// inherited by what is made inside a folder; no inheritance from above.
class PrivateAttributes {
  public:
    explicit PrivateAttributes(bool folder) {
        const std::wstring sid = UserSid();
        if (sid.empty())
            return;
        const std::wstring inherit = folder ? L"OICI" : L"";
        const std::wstring sddl =
            L"D:P(A;" + inherit + L";FA;;;" + sid + L")(A;" + inherit + L";FA;;;SY)";
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &sd, nullptr))
            return;
        sd_.reset(sd);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = sd;
        attributes_.bInheritHandle = FALSE;
    }
    // Null when no private descriptor could be made: the caller fails then.
    SECURITY_ATTRIBUTES* get() { return sd_ ? &attributes_ : nullptr; }

  private:
    std::unique_ptr<void, LocalFreer> sd_;
    SECURITY_ATTRIBUTES attributes_{};
};

// A CRT descriptor in binary mode for handle, which it then owns.
int Descriptor(HANDLE handle, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

bool IsPlainHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

fs::path PathFromUtf8(std::string_view utf8) {
    return fs::path(Widen(utf8));
}

std::string Utf8FromPath(const fs::path& path) {
    return Narrow(path.native());
}

int CreateNewFile(const std::string& path, Access access) {
    PrivateAttributes privateAttributes(false);
    SECURITY_ATTRIBUTES* attributes = nullptr;
    if (access == Access::Private) {
        attributes = privateAttributes.get();
        if (attributes == nullptr) {
            errno = EACCES;
            return -1;
        }
    }
    // CREATE_NEW fails on any entry at the name, a link as well; a link is
    // never followed because it is never opened.
    HANDLE handle =
        CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, attributes, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFrom(GetLastError());
        return -1;
    }
    return Descriptor(handle, _O_WRONLY);
}

int OpenForAppend(const std::string& path, std::string& reason) {
    // Append-only access: the system puts every write at the current end.
    HANDLE handle =
        CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFrom(GetLastError());
        reason = std::strerror(errno);
        return -1;
    }
    if (!IsPlainHandle(handle)) {
        CloseHandle(handle);
        reason = "not a regular file";
        return -1;
    }
    const int fd = Descriptor(handle, _O_WRONLY | _O_APPEND);
    if (fd < 0)
        reason = "too many open files";
    return fd;
}

int OpenForReading(const std::string& path) {
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFrom(GetLastError());
        return -1;
    }
    return Descriptor(handle, _O_RDONLY);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(data.size(), 1u << 30));
        const int n = _write(fd, data.data(), chunk);
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
    return _commit(fd) == 0;
}

void Close(int fd) {
    if (fd >= 0)
        _close(fd);
}

bool IsPlainFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool CreateFolder(const std::string& path, Access access) {
    if (path.empty())
        return false;
    PrivateAttributes privateAttributes(true);
    if (access == Access::Private && privateAttributes.get() == nullptr)
        return false;
    return CreateDirectoryW(Widen(path).c_str(),
                            access == Access::Private ? privateAttributes.get() : nullptr) != 0;
}

std::string CreateUniqueFolder(const std::string& prefix) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
        if (CreateFolder(name, Access::Private))
            return name;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return "";
    }
    return "";
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    if (MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    SetErrnoFrom(GetLastError());
    return false;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string SettingsFolder() {
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData != nullptr && appData[0] != L'\0')
        return Narrow(appData) + "\\Kestrane";
    const wchar_t* profile = _wgetenv(L"USERPROFILE");
    return Narrow(profile != nullptr ? profile : L"") + "\\AppData\\Roaming\\Kestrane";
}

namespace {

// True when sid is the user or one who may read everything anyway (the
// system, the administrators).
bool Trusted(PSID sid, PSID user) {
    if (EqualSid(sid, user))
        return true;
    for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        unsigned char buffer[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof buffer;
        if (CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer))
            return true;
    }
    return false;
}

}  // namespace

Exposure ExposureOf(int fd, const std::string& path) {
    const std::string mend = "icacls \"" + path + "\" /inheritance:r /grant:r \"%USERNAME%:F\"";
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &sd) != ERROR_SUCCESS)
        return {"its access list cannot be read", mend};
    std::unique_ptr<void, LocalFreer> owner(sd);
    if (dacl == nullptr)
        return {"anyone may use it", mend};
    const std::wstring userText = UserSid();
    PSID user = nullptr;
    if (userText.empty() || !ConvertStringSidToSidW(userText.c_str(), &user))
        return {"its owner cannot be told", mend};
    std::unique_ptr<void, LocalFreer> userOwner(user);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!Trusted(reinterpret_cast<PSID>(&allowed->SidStart), user))
            return {"its access list lets others in", mend};
    }
    return {};
}

std::string OwnFolder() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return "";
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return Narrow(fs::path(buffer).parent_path().native());
}

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::vector<std::wstring> Split(const std::wstring& list, wchar_t separator) {
    std::vector<std::wstring> items;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(separator, start);
        if (end == std::wstring::npos)
            end = list.size();
        std::wstring item = list.substr(start, end - start);
        item.erase(std::remove(item.begin(), item.end(), L'"'), item.end());
        // An empty entry would mean the current folder, which is usually the
        // save folder full of downloaded files: never run a program from there.
        if (!item.empty())
            items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

std::wstring Variable(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value != nullptr ? value : L"";
}

std::vector<std::wstring> Extensions() {
    std::wstring pathext = Variable(L"PATHEXT");
    if (pathext.empty())
        pathext = L".COM;.EXE;.BAT;.CMD";
    return Split(Lower(pathext), L';');
}

bool IsRunnable(const fs::path& candidate) {
    const DWORD attributes = GetFileAttributesW(candidate.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// candidate as named when its ending is one of PATHEXT, else with each ending of PATHEXT.
std::wstring RunnableFile(const fs::path& candidate) {
    const std::vector<std::wstring> extensions = Extensions();
    const std::wstring ending = Lower(candidate.extension().native());
    if (!ending.empty() &&
        std::find(extensions.begin(), extensions.end(), ending) != extensions.end())
        return IsRunnable(candidate) ? candidate.native() : std::wstring();
    for (const std::wstring& extension : extensions) {
        fs::path withEnding = candidate;
        withEnding += extension;
        if (IsRunnable(withEnding))
            return withEnding.native();
    }
    return {};
}

}  // namespace

std::string FindProgram(const std::string& name) {
    if (name.empty())
        return "";
    const fs::path wanted = PathFromUtf8(name);
    if (name.find_first_of("/\\:") != std::string::npos)
        return Narrow(RunnableFile(wanted));
    std::vector<std::wstring> folders;
    if (std::string own = OwnFolder(); !own.empty())
        folders.push_back(Widen(own));
    for (std::wstring& folder : Split(Variable(L"PATH"), L';'))
        folders.push_back(std::move(folder));
    for (const std::wstring& folder : folders) {
        if (std::wstring found = RunnableFile(fs::path(folder) / wanted); !found.empty())
            return Narrow(found);
    }
    return "";
}

namespace {

// One argument as the C runtime of the child splits its command line again:
// quotes around it when needed, backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty())
        line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

bool IsBatchFile(const std::wstring& program) {
    const std::wstring ending = Lower(fs::path(program).extension().native());
    return ending == L".cmd" || ending == L".bat";
}

// cmd.exe reads these itself, whatever the quoting: an argument holding one
// could run a command of its own, so such a call is refused.
bool SafeForCmd(const std::wstring& arg) {
    return arg.find_first_of(L"%!^&|<>\"\r\n") == std::wstring::npos;
}

// The command line and, for a batch file, cmd.exe as the program to start.
bool CommandLine(const std::wstring& program, const std::vector<std::string>& args,
                 std::wstring& application, std::wstring& line) {
    std::vector<std::wstring> wideArgs;
    for (const std::string& arg : args) wideArgs.push_back(Widen(arg));
    if (!IsBatchFile(program)) {
        application = program;
        AppendQuoted(line, program);
        for (const std::wstring& arg : wideArgs) AppendQuoted(line, arg);
        return true;
    }
    if (!SafeForCmd(program) ||
        !std::all_of(wideArgs.begin(), wideArgs.end(), [](const auto& a) { return SafeForCmd(a); }))
        return false;
    std::wstring inner;
    AppendQuoted(inner, program);
    for (const std::wstring& arg : wideArgs) AppendQuoted(inner, arg);
    std::wstring comspec = Variable(L"ComSpec");
    application = comspec.empty() ? L"C:\\Windows\\System32\\cmd.exe" : comspec;
    line = L"cmd.exe /d /s /c \"" + inner + L"\"";
    return true;
}

// The parent's environment without the dropped variables, as a block.
std::wstring EnvironmentBlock(const std::vector<std::string>& dropped) {
    std::wstring block;
    wchar_t* all = GetEnvironmentStringsW();
    if (all == nullptr)
        return L"\0";
    for (const wchar_t* entry = all; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring_view item(entry);
        // Entries such as "=C:=C:\x" start with '='; the name ends at the next one.
        const std::wstring name = Lower(std::wstring(item.substr(0, item.find(L'=', 1))));
        const bool drop = std::any_of(dropped.begin(), dropped.end(), [&](const std::string& d) {
            return Lower(Widen(d)) == name;
        });
        if (!drop) {
            block.append(item);
            block += L'\0';
        }
    }
    FreeEnvironmentStringsW(all);
    block += L'\0';
    return block;
}

}  // namespace

namespace {

// The child and everything it starts live in this job; closing the job's
// last handle kills them all, so no path leaves a merge program running.
UniqueHandle KillingJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job)
        return {};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        return {};
    return job;
}

struct Pipe {
    UniqueHandle read;
    UniqueHandle write;  // inheritable: the child's stdout and stderr
};

bool MakePipe(Pipe& pipe) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    pipe.read.reset(readEnd);
    pipe.write.reset(writeEnd);
    return SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) != 0;
}

// Starts the child suspended inside job, handing it only the handles in
// inherited, then lets it run.
bool Start(const std::wstring& application, std::wstring& line, std::wstring& environment,
           HANDLE input, HANDLE output, HANDLE job, UniqueHandle& process) {
    HANDLE inherited[] = {input, output};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> listBuffer(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        return false;
    std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&DeleteProcThreadAttributeList)> owner(
        list, DeleteProcThreadAttributeList);
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, nullptr, nullptr))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                        EXTENDED_STARTUPINFO_PRESENT;
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                        environment.data(), nullptr, &startup.StartupInfo, &info))
        return false;
    process.reset(info.hProcess);
    UniqueHandle thread(info.hThread);
    if (!AssignProcessToJobObject(job, info.hProcess)) {
        TerminateProcess(info.hProcess, 1);
        return false;
    }
    ResumeThread(info.hThread);
    return true;
}

// Takes what the child has written so far; false once every writer is gone.
bool Drain(HANDLE pipe, std::size_t maxOutput, std::string& output) {
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0)
            return true;
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) ||
            got == 0)
            return false;
        const std::size_t room = maxOutput - std::min(maxOutput, output.size());
        output.append(buffer, std::min<std::size_t>(room, got));
    }
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options, const std::function<bool()>& stop) {
    ChildResult result;
    std::wstring application;
    std::wstring line;
    if (!CommandLine(Widen(program), args, application, line))
        return result;
    std::wstring environment = EnvironmentBlock(options.dropVariables);
    Pipe pipe;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr));
    UniqueHandle job = KillingJob();
    UniqueHandle process;
    if (input.get() == INVALID_HANDLE_VALUE || !job || !MakePipe(pipe) ||
        !Start(application, line, environment, input.get(), pipe.write.get(), job.get(), process))
        return result;
    result.started = true;
    // Our copy of the write end would keep the pipe from reporting its end.
    pipe.write.reset();
    input.reset();

    const DWORD sliceMs = static_cast<DWORD>(options.slice.count());
    bool open = true;
    for (;;) {
        if (stop()) {
            TerminateJobObject(job.get(), 1);
            WaitForSingleObject(process.get(), INFINITE);
            result.stopped = true;
            result.exitStatus = -1;
            return result;
        }
        if (open)
            open = Drain(pipe.read.get(), options.maxOutput, result.output);
        // Short waits while output flows, the full slice once it is quiet.
        if (WaitForSingleObject(process.get(), open ? 20 : sliceMs) == WAIT_OBJECT_0)
            break;
    }
    if (open)
        Drain(pipe.read.get(), options.maxOutput, result.output);
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code))
        result.exitStatus = static_cast<int>(code);
    // Closing the job kills whatever the child left running.
    return result;
}

std::vector<std::string> Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

unsigned long ProcessId() {
    return GetCurrentProcessId();
}

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        DWORD mode = 0;
        if (handle != nullptr && GetConsoleMode(handle, &mode))
            SetConsoleMode(handle,
                           mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

namespace {

HANDLE ConsoleHandle(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

// _isatty is also true for the NUL device; only a console has a console mode.
bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(ConsoleHandle(stream), &mode) != 0;
}

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(ConsoleHandle(stream), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

namespace {

// Counted by the console's handler thread, taken by WaitForInterrupt.
HANDLE interruptSemaphore = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    ReleaseSemaphore(interruptSemaphore, 1, nullptr);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: give the run the time the
        // system allows (5 s) to cancel and write its records.
        Sleep(4500);
    }
    return TRUE;
}

}  // namespace

void CatchInterrupts() {
    if (interruptSemaphore == nullptr)
        interruptSemaphore = CreateSemaphoreW(nullptr, 0, 1000, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool WaitForInterrupt(std::chrono::milliseconds wait) {
    if (interruptSemaphore == nullptr) {
        Sleep(static_cast<DWORD>(wait.count()));
        return false;
    }
    return WaitForSingleObject(interruptSemaphore, static_cast<DWORD>(wait.count())) ==
           WAIT_OBJECT_0;
}

int CatchTerminationRequests() {
    return -1;
}

void DrainTerminationRequests(int) {}

void ReleaseTerminationRequests() {}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

}  // namespace kestrane::platform
