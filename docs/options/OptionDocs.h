// SPDX-License-Identifier: GPL-3.0-or-later
// One description of a program's options and environment variables, from
// which its --help, its man page's OPTIONS and ENVIRONMENT sections and its
// bash completion are all written, so that none of them can fall behind the
// others. Each program keeps its table beside its code (cli/CliDocs.h,
// app/WindowDocs.h, server/ServerDocs.h); docs/options/make-docs writes the
// man page sections and the completion from those tables at build time.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestrane::docs {

// What bash offers after an option that takes a value.
enum class Complete {
    Nothing,      // a number, an address: nothing sensible to offer
    Folder,       // folders
    File,         // files
    FileOrStdin,  // files, and "-" for standard input
    Command,      // programs in PATH
    Words,        // the words of OptionDoc::Words
};

struct OptionDoc {
    OptionDoc(std::string names, std::string value, std::string help, std::string man = "",
              Complete completion = Complete::Nothing)
        : Names(std::move(names)),
          Value(std::move(value)),
          Help(std::move(help)),
          Man(std::move(man)),
          Completion(completion) {}

    std::string Names;  // as the parser takes them: "-o,--output"
    std::string Value;  // the value's name in the help: "DIR"; "" for a flag
    std::string Help;   // --help's text: one or two sentences, plain
    std::string Man;    // the man page's paragraph (scdoc markup); "" repeats Help
    Complete Completion = Complete::Nothing;
    std::string Words;  // for Complete::Words: the choices, blank-separated
};

struct EnvDoc {
    std::string Names;  // one variable, or several sharing a text: "KESTRANE_OPS_KEY, ..._SECRET"
    std::string Help;   // --help's text, plain
    std::string Man;    // the man page's paragraph (scdoc markup); "" repeats Help
};

struct ProgramDocs {
    std::string Program;  // "kestrane-cli"
    std::vector<OptionDoc> Options;
    std::vector<EnvDoc> Environment;
};

// The option of docs whose names hold name ("--output"), or null.
const OptionDoc* FindOption(const ProgramDocs& docs, const std::string& name);
// "-o, --output DIR": how the help and the man page show an option.
std::string ShownNames(const OptionDoc& option);

// --help's "Options:" and "Environment:" sections, wrapped to 80 columns.
std::string HelpOptions(const ProgramDocs& docs);
std::string HelpEnvironment(const ProgramDocs& docs);

// The man page's option and environment entries, in scdoc.
std::string ManOptions(const ProgramDocs& docs);
std::string ManEnvironment(const ProgramDocs& docs);

// A man page template with the lines "@OPTIONS@" and "@ENVIRONMENT@" filled
// in; false (text unchanged) when the placeholder of a section with entries is missing.
bool FillManTemplate(const ProgramDocs& docs, std::string& text);

// A bash completion script for docs.Program.
std::string BashCompletion(const ProgramDocs& docs);

}  // namespace kestrane::docs
