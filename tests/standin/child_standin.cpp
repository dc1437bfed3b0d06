// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-child-standin: a child process for the platform layer's tests.
//
//   kestrane-child-standin echo ARG...   prints each argument on a line of its own, exits 3
//   kestrane-child-standin tick FILE     appends a byte to FILE every 20 ms, forever
//   kestrane-child-standin hang FILE     runs "tick FILE" through the system's shell, so that
//                                        the family is three processes deep (paths without blanks)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "util/Platform.h"

namespace platform = kestrane::platform;

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::Arguments(argc, argv);
    if (args.size() >= 2 && args[1] == "echo") {
        for (std::size_t i = 2; i < args.size(); ++i) std::printf("%s\n", args[i].c_str());
        return 3;
    }
    if (args.size() != 3)
        return 2;
    if (args[1] == "tick") {
        std::string reason;
        const int fd = platform::OpenForAppend(args[2], reason);
        for (;;) {
            platform::WriteAll(fd, "x");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (args[1] == "hang") {
        std::printf("started\n");
        std::fflush(stdout);
        return std::system((args[0] + " tick " + args[2]).c_str());
    }
    return 2;
}
