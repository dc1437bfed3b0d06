// SPDX-License-Identifier: GPL-3.0-or-later
// The user-facing texts of the client, exactly as the user sees them.
#pragma once

namespace kestrane::msg {

inline constexpr const char* kCancelled = "Downloading cancelled.";
inline constexpr const char* kSaveFailed = " Failed to save PDF, please check the save path.";
inline constexpr const char* kDownloadFailed = " Failed to Download, please try again.";
inline constexpr const char* kConnectFailed = " Failed to connect, please check the network.";
inline constexpr const char* kNoSuchPatent = " Failed to Download, the patent doesn't exist.";
inline constexpr const char* kNoPdfFor = "No PDF for ";
inline constexpr const char* kFinished = "Downloading finished.";

// The line after a failed session of the classic source at its built-in
// address, whose interface the publication server no longer serves: one for
// each front end, saying how to choose another source there.
inline constexpr const char* kInterfaceGoneCli =
    "The publication server no longer offers this interface: choose another source with "
    "--source (kestrane-cli --help lists them).";
inline constexpr const char* kInterfaceGoneWindow =
    "The publication server no longer offers this interface: choose another source with the "
    "source link at the top of the window.";

}  // namespace kestrane::msg
