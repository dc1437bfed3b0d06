// SPDX-License-Identifier: GPL-3.0-or-later
// The merge step: a document's page files, in order, into one PDF, by one of
// two engines. The built-in one merges in-process with qpdf (client/QpdfMerge.h);
// the other runs an outside program that follows pdftk's command line
// (client/Merge.h): "PAGE... cat output FILE dont_ask", silent on success.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "client/pdf/Merge.h"

namespace kestrane {

// The environment variable that chooses the merge program.
inline constexpr const char* kMergeProgramVariable = "KESTRANE_MERGE_PROGRAM";
// The name that stands for the built-in engine wherever a merge program is chosen.
inline constexpr const char* kBuiltInMerge = "qpdf";

// True for "" and "qpdf": the in-process engine. Anything else names an outside
// program (a name looked up beside our executable, then in PATH, or a path).
bool IsBuiltInMerge(const std::string& program);

// The merge program a front end hands to the run (RunOptions::MergeProgram),
// first of: the command line's choice, KESTRANE_MERGE_PROGRAM, the settings
// file's [merge] program= value, the built-in engine (""). An empty value
// means "not chosen here".
std::string ChooseMergeProgram(const std::string& commandLine, const std::string& setting);

// Where an outside merge program would be found: "" for the built-in engine
// or a program that is nowhere (see FindProgram).
std::string MergeProgramPath(const std::string& program);

// Merges pageFiles into outputFile with the engine that program names. The
// caller writes outputFile in the temporary folder and renames it over the
// merged file once result.ok(); on a stop (*abort set) the call returns
// within a second with result.stopped and no output file. A confirmed cancel
// (*cancel, may be null) stops either engine the same way.
MergeResult MergePageFiles(const std::string& program, const std::vector<std::string>& pageFiles,
                           const std::string& outputFile, const std::atomic<bool>* abort,
                           const std::atomic<bool>* cancel = nullptr);

}  // namespace kestrane
