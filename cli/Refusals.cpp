// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Refusals.h"

#include <filesystem>
#include <system_error>

#include "util/Printable.h"

namespace kestrane::cli {

namespace fs = std::filesystem;

namespace {

std::string MissingFolderLine(const std::string& folder, const RefusedInput& given) {
    const std::string shown = "Save folder " + Printable(folder);
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (fs::exists(status))
        return shown + " is a file, not a folder";
    if (!given.createFailure.empty())
        return "Could not make the save folder " + Printable(folder) + " (" + given.createFailure +
               ")";
    if (status.type() == fs::file_type::not_found)
        return shown + " does not exist (--create-folder makes it)";
    return shown + " cannot be looked into (" + ec.message() + ")";
}

std::string ProxyLine(const std::string& proxy, const DownloadRequest& request) {
    const std::string lacks = request.ProxyIp.empty() ? "the IP address" : "the port";
    return "--proxy " + Printable(proxy) + " lacks " + lacks + "; give it as IP:PORT";
}

}  // namespace

std::string NamedRefusal(const InputCheck& check, const DownloadRequest& request,
                         const RefusedInput& given) {
    switch (check.Refused) {
        case Refusal::TooMany:
            return (given.numbersCut ? std::string("More than ") + std::to_string(kMaxTasks)
                                     : std::to_string(given.numbers)) +
                   " numbers given, at most " + std::to_string(kMaxTasks) +
                   " per run; --batch takes longer lists";
        case Refusal::NoNumbers:
            return "No numbers given: name them after the options or in a file with -i "
                   "(see kestrane-cli --help)";
        case Refusal::NoFolder:
            return "The save folder given with -o is empty";
        case Refusal::MissingFolder:
            return MissingFolderLine(request.SaveFolder, given);
        case Refusal::NotAscii:
            return "Save folder " + Printable(request.SaveFolder) + " is not a plain ASCII path";
        case Refusal::NoProxyAddress:
            return ProxyLine(given.proxy, request);
        case Refusal::None:
        case Refusal::ControlCharacter:
        case Refusal::Other:
            break;
    }
    return {};
}

std::string MakeSaveFolder(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    return ec ? ec.message() : std::string();
}

}  // namespace kestrane::cli
