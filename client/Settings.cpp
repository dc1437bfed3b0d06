// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/Settings.h"

#include <sys/stat.h>
#include <unistd.h>  // read(): the C runtime has it on Windows too

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "util/Platform.h"
#include "util/UniqueFd.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::pair<std::string, std::string> Split(const std::string& sectionKey) {
    const auto dot = sectionKey.find('.');
    if (dot == std::string::npos)
        return {"", sectionKey};
    return {sectionKey.substr(0, dot), sectionKey.substr(dot + 1)};
}

}  // namespace

std::string Settings::Get(const std::string& sectionKey) const {
    const auto [section, key] = Split(sectionKey);
    const auto s = sections_.find(section);
    if (s == sections_.end())
        return {};
    const auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

void Settings::Set(const std::string& sectionKey, const std::string& value) {
    const auto [section, key] = Split(sectionKey);
    sections_[section][key] = value;
}

std::string SettingsPath() {
    return platform::SettingsFolder() + "/kestrane.conf";
}

Settings ParseSettingsText(std::string_view text) {
    Settings values;
    std::string section;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string line = Trim(std::string(text.substr(0, end)));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = Trim(line.substr(1, line.size() - 2));
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        values.SetIn(section, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
    return values;
}

SettingsLoad LoadSettings(const std::string& path) {
    SettingsLoad load;
    // Looked at before it is opened: opening a FIFO or a device planted at
    // the path would hold the program at its start.
    std::error_code ec;
    const fs::file_status status = fs::status(platform::PathFromUtf8(path), ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        load.Error = "The settings file " + path + " is not a regular file.";
        return load;
    }
    UniqueFd fd(platform::OpenForReading(path));
    if (!fd) {
        if (errno == ENOENT) {
            load.Ok = true;
            return load;
        }
        load.Error = "Cannot read the settings file " + path + ": " + std::strerror(errno) + ".";
        return load;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        load.Error = "The settings file " + path + " is not a regular file.";
        return load;
    }
    // Read all the same, so that saving over it keeps the keys of others.
    const platform::Exposure exposure = platform::ExposureOf(fd.get(), path);
    const bool exposed = !exposure.what.empty();
    if (exposed) {
        load.Error = "The settings file " + path + " may be read or changed by others (" +
                     exposure.what +
                     ") and holds the EPO OPS secret; it is not used. Run: " + exposure.mend;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text.size() > (1u << 20)) {
            load.Error = "Cannot read the settings file " + path + ".";
            return load;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    load.Values = ParseSettingsText(text);
    load.Ok = !exposed;
    return load;
}

std::string MergeProgramSetting() {
    const SettingsLoad load = LoadSettings(SettingsPath());
    return load.Ok ? load.Values.MergeProgram() : std::string();
}

std::string SettingsText(const Settings& settings) {
    std::string text = "# Kestrane settings. Holds the EPO OPS secret: keep it mode 0600.\n";
    for (const auto& [section, keys] : settings.Sections()) {
        text += "\n[" + section + "]\n";
        for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    }
    return text;
}

std::string SaveSettings(const std::string& path, const Settings& settings) {
    for (const auto& [section, keys] : settings.Sections()) {
        for (const auto& [key, value] : keys) {
            // One line per value: a line break would start a key of its own.
            if (value.find_first_of("\r\n") != std::string::npos)
                return "A setting may not hold a line break.";
        }
    }
    const std::string text = SettingsText(settings);
    const fs::path target = platform::PathFromUtf8(path);
    std::error_code ec;
    // Only a folder made here is made private: one that stands (perhaps a
    // link to a folder the user shares on purpose) is left as it is.
    if (target.has_parent_path() && !fs::exists(target.parent_path(), ec)) {
        const fs::path folder = target.parent_path();
        fs::create_directories(folder.parent_path(), ec);
        platform::CreateFolder(platform::Utf8FromPath(folder), platform::Access::Private);
    }
    const std::string temp = path + ".tmp." + std::to_string(platform::ProcessId());
    UniqueFd fd(platform::CreateNewFile(temp, platform::Access::Private));
    if (!fd)
        return "Cannot write " + temp + ": " + std::strerror(errno) + ".";
    const bool written = platform::WriteAll(fd.get(), text) && platform::Flush(fd.get());
    fd.reset();
    if (!written || !platform::MoveReplacing(temp, path)) {
        const std::string error = std::strerror(errno);
        fs::remove(platform::PathFromUtf8(temp), ec);
        return "Cannot write " + path + ": " + error + ".";
    }
    return {};
}

}  // namespace kestrane
