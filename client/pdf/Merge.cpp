// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/Merge.h"

#include <exception>
#include <filesystem>

#include "client/ClientContext.h"
#include "util/Platform.h"

namespace kestrane {

namespace fs = std::filesystem;

namespace {

bool Aborted(const std::atomic<bool>* abort) {
    return abort != nullptr && abort->load(std::memory_order_acquire);
}

// What ends a merge early: the worker's stop, or a confirmed cancel, which
// must not wait for a slow or hung merge program either.
struct StopFlags {
    const std::atomic<bool>* abort;
    const std::atomic<bool>* cancel;
    bool Set() const { return Aborted(abort) || Aborted(cancel); }
};

// pdftk reads an argument such as "A=x.pdf" as a handle and a bare "cat" or
// "-" as a keyword or a stream; an absolute path is only ever a file.
std::string FileArgument(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(platform::PathFromUtf8(path), ec);
    return ec ? path : platform::Utf8FromPath(absolute);
}

bool NonEmptyFile(const std::string& path) {
    std::error_code ec;
    const fs::path file = platform::PathFromUtf8(path);
    if (!fs::is_regular_file(file, ec))
        return false;
    const auto size = fs::file_size(file, ec);
    return !ec && size > 0;
}

MergeResult Merge(const std::string& program, const std::vector<std::string>& pageFiles,
                  const std::string& outputFile, StopFlags abort) {
    MergeResult result;
    if (abort.Set()) {
        result.stopped = true;
        return result;
    }
    const std::string path = FindProgram(program);
    if (path.empty())
        return result;

    std::vector<std::string> args;
    args.reserve(pageFiles.size() + 4);
    for (const std::string& page : pageFiles) args.push_back(FileArgument(page));
    args.insert(args.end(), {"cat", "output", FileArgument(outputFile), "dont_ask"});
    platform::ChildOptions options;
    // Java prints "Picked up ..." for these, which would fail every merge.
    options.dropVariables = {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS"};
    options.slice = kPollSlice;
    const platform::ChildResult child =
        platform::RunChild(path, args, options, [&abort] { return abort.Set(); });
    result.started = child.started;
    result.stopped = child.stopped;
    result.exitStatus = child.exitStatus;
    result.output = child.output;
    if (child.stopped) {
        std::error_code ec;
        fs::remove(platform::PathFromUtf8(outputFile), ec);
        return result;
    }
    result.outputWritten = child.started && NonEmptyFile(outputFile);
    return result;
}

}  // namespace

bool MergeResult::ok() const {
    return started && !stopped && exitStatus == 0 && output.empty() && outputWritten;
}

std::string FindProgram(const std::string& program) {
    return platform::FindProgram(program);
}

MergeResult RunPdftk(const std::string& program, const std::vector<std::string>& pageFiles,
                     const std::string& outputFile, const std::atomic<bool>* abort,
                     const std::atomic<bool>* cancel) {
    try {
        return Merge(program, pageFiles, outputFile, StopFlags{abort, cancel});
    } catch (const std::exception&) {
        // Out of memory while building the argument list; the child, if any,
        // has been killed and reaped by the time we get here.
        return MergeResult{};
    }
}

}  // namespace kestrane
