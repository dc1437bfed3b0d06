// SPDX-License-Identifier: GPL-3.0-or-later
// The program's start-up: the single-instance guard, then the main window.
#pragma once

namespace kestrane::app {

// Runs the program (a QApplication must exist) until the main window closes; returns the exit
// status. A second copy asks the first to come to the front and returns 0 at once.
//
// Demo and screenshot hook: KESTRANE_AUTORUN="NUMBER NUMBER ..." types the
// numbers into the list (one per line) and presses Download once the window
// is up; KESTRANE_AUTORUN_FOLDER, when set, is typed into the save folder box
// first. The server is chosen as always (KESTRANE_SERVER_BASE).
int RunKestrane();

}  // namespace kestrane::app
