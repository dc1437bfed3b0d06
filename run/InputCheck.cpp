// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/InputCheck.h"

#include <filesystem>
#include <system_error>

#include "client/ClientContext.h"
#include "client/SafeFiles.h"
#include "util/Platform.h"
#include "util/Printable.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

InputCheck Refuse(Refusal refused, std::string message, BoxKind box = BoxKind::Info) {
    InputCheck check;
    check.Ok = false;
    check.Message = std::move(message);
    check.Refused = refused;
    check.Box = box;
    return check;
}

// The run removes its temporary folder with everything in it, so it must be
// one the run made: "temp" when this check created it; otherwise a fresh
// folder beside it, so that a "temp" of the user's, of another run or a link
// is never written into or removed. "" when none could be made: the run then
// fails to save its pages, as it would in a folder that cannot be written.
std::string RunTempFolder(const std::string& folder, bool madeTemp, std::error_code& ec) {
    if (madeTemp)
        return folder + "/temp/";
    if (!fs::exists(fs::symlink_status(platform::PathFromUtf8(folder + "/temp"), ec)))
        return "";
    return CreateUniqueFolder(folder + "/temp.kestrane-");
}

}  // namespace

bool HoldsControlCharacter(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c < 0x20 || c == 0x7F || c1)
            return true;
    }
    return false;
}

std::string TrimRight(std::string text) {
    const std::size_t keep = text.find_last_not_of(" \t\r\n\v\f");
    text.erase(keep == std::string::npos ? 0 : keep + 1);
    return text;
}

bool IsAsciiPath(const std::string& path) {
    for (const char c : path) {
        if ((static_cast<unsigned char>(c) & 0x80u) != 0)
            return false;
    }
    return true;
}

InputCheck CheckDownloadInput(const DownloadRequest& request) {
    try {
        std::vector<std::string> numbers;
        int tasks = 0;
        for (const std::string& raw : request.Lines) {
            // The list control hands over at most 1023 characters of a line.
            std::string line = TrimRight(raw.substr(0, kMaxLineLength));
            if (line.empty())
                continue;
            if (++tasks > kMaxTasks)
                return Refuse(Refusal::TooMany, "Max tasks is 20!");
            numbers.push_back(std::move(line));
        }
        if (tasks == 0)
            return Refuse(Refusal::NoNumbers, "Please input patents.");
        // A line break or a NUL inside a number would forge or break records
        // in dl.log and reach the terminal raw.
        for (const std::string& number : numbers) {
            if (HoldsControlCharacter(number)) {
                return Refuse(Refusal::ControlCharacter,
                              "The number \"" + Printable(number) +
                                  "\" holds a control character; please remove it.");
            }
        }

        const std::string& folder = request.SaveFolder;
        if (folder.empty())
            return Refuse(Refusal::NoFolder, "Please choose a path to keep documents.");
        std::error_code ec;
        if (!fs::is_directory(platform::PathFromUtf8(folder), ec))
            return Refuse(Refusal::MissingFolder, "The path doesn't exist.");
        if (!IsAsciiPath(folder)) {
            return Refuse(Refusal::NotAscii,
                          "Please make sure the path uses only alphanumeric character!",
                          BoxKind::AppWarning);
        }

        // Made before the proxy is examined, so a run refused for its proxy
        // still leaves the folder; a failure shows later, when pages are saved.
        const bool madeTemp = CreateFolderExclusively(folder + "/temp");

        std::string proxy;
        int accessType = 0;
        if (request.UseProxy) {
            if (request.ProxyIp.empty() || request.ProxyPort.empty()) {
                return Refuse(Refusal::NoProxyAddress, "Please input server IP and server port.");
            }
            proxy = "HTTP=HTTP://" + request.ProxyIp + ":" + request.ProxyPort;
            accessType = kProxyAccessType;
        }

        InputCheck check;
        check.Ok = true;
        check.Job.PatentNumbers = std::move(numbers);
        check.Job.SaveFolder = folder + "/";
        check.Job.TempFolder = RunTempFolder(folder, madeTemp, ec);
        check.Job.Proxy = std::move(proxy);
        check.Job.AccessType = accessType;
        return check;
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here; refuse rather than start half a run.
        return Refuse(Refusal::Other, e.what());
    }
}

}  // namespace kestrane
