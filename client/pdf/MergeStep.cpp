// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/MergeStep.h"

#include <cstdlib>

#include "client/pdf/QpdfMerge.h"

namespace kestrane {

bool IsBuiltInMerge(const std::string& program) {
    return program.empty() || program == kBuiltInMerge;
}

std::string ChooseMergeProgram(const std::string& commandLine, const std::string& setting) {
    if (!commandLine.empty())
        return commandLine;
    if (const char* env = std::getenv(kMergeProgramVariable); env != nullptr && *env != '\0')
        return env;
    return setting;
}

std::string MergeProgramPath(const std::string& program) {
    return IsBuiltInMerge(program) ? std::string() : FindProgram(program);
}

MergeResult MergePageFiles(const std::string& program, const std::vector<std::string>& pageFiles,
                           const std::string& outputFile, const std::atomic<bool>* abort,
                           const std::atomic<bool>* cancel) {
    if (IsBuiltInMerge(program))
        return QpdfMerge(pageFiles, outputFile, abort, cancel);
    return RunPdftk(program, pageFiles, outputFile, abort, cancel);
}

}  // namespace kestrane
