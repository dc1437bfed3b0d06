// SPDX-License-Identifier: GPL-3.0-or-later
// The Download command's input checks, shared by every front end.
#pragma once

#include <string>
#include <vector>

#include "run/RunController.h"

namespace kestrane {

struct DownloadRequest {
    std::vector<std::string> Lines;  // the patent list, line by line, as typed
    std::string SaveFolder;          // as typed, not trimmed
    bool UseProxy = false;
    std::string ProxyIp;
    std::string ProxyPort;
};

enum class BoxKind {
    Info,        // caption "Info", OK, no icon
    AppWarning,  // caption = application name, OK, warning icon
};

// Which check refused the input, for a front end that names what was refused.
enum class Refusal {
    None,
    TooMany,           // more than kMaxTasks numbers
    NoNumbers,         // not one number
    ControlCharacter,  // a number holds a control character
    NoFolder,          // the save folder is empty
    MissingFolder,     // the save folder does not exist or is no folder
    NotAscii,          // the save folder's path is not plain ASCII
    NoProxyAddress,    // the proxy lacks its IP or its port
    Other,             // memory ran out
};

struct InputCheck {
    bool Ok = false;
    std::string Message;  // when !Ok
    Refusal Refused = Refusal::None;
    BoxKind Box = BoxKind::Info;
    JobInput Job;  // when Ok
};

inline constexpr int kMaxTasks = 20;
inline constexpr std::size_t kMaxLineLength = 1023;

// Checks in the command's order; creates SaveFolder + "/temp/" before the proxy
// check. The job's TempFolder is always a folder the check created: "temp/",
// or a fresh "temp.kestrane-XXXXXX/" when "temp" already stood there.
[[nodiscard]] InputCheck CheckDownloadInput(const DownloadRequest& request);

// Drops trailing blanks, tabs, CR, LF, VT and FF; keeps leading ones.
std::string TrimRight(std::string text);

// True when text holds a C0 control character, DEL, or a C1 control
// character in UTF-8 (U+0080 to U+009F).
bool HoldsControlCharacter(const std::string& text);

// True when every byte is below 0x80.
bool IsAsciiPath(const std::string& path);

}  // namespace kestrane
