// SPDX-License-Identifier: GPL-3.0-or-later
#include "docs/options/OptionDocs.h"

#include <sstream>

namespace kestrane::docs {

namespace {

constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kTextColumn = 25;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// text's words in lines of at most width columns.
std::vector<std::string> Wrap(const std::string& text, std::size_t width) {
    std::vector<std::string> lines;
    std::string line;
    for (const std::string& word : Split(text, ' ')) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// "  head   text..." with the text wrapped in its column; a head too wide for
// its column stands on a line of its own.
std::string Entry(const std::string& head, const std::string& text) {
    std::string out = "  " + head;
    const std::vector<std::string> lines = Wrap(text, kHelpWidth - kTextColumn);
    if (lines.empty())
        return out + "\n";
    if (out.size() + 1 > kTextColumn)
        out += "\n" + std::string(kTextColumn, ' ');
    else
        out += std::string(kTextColumn - out.size(), ' ');
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i == 0 ? "" : std::string(kTextColumn, ' ')) + lines[i] + "\n";
    return out;
}

// Plain text as scdoc reads it literally.
std::string ScdocEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '_' || c == '*' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// A paragraph under a man page entry: every line indented by a tab.
std::string Indented(const std::string& paragraph) {
    std::string out;
    for (const std::string& line : Split(paragraph, '\n')) out += "\t" + line + "\n";
    return out;
}

std::string AllNames(const OptionDoc& option) {
    std::string names;
    for (const std::string& name : Split(option.Names, ',')) names += " " + name;
    return names.empty() ? names : names.substr(1);
}

std::string CaseLabel(const OptionDoc& option) {
    std::string label;
    for (const std::string& name : Split(option.Names, ','))
        label += (label.empty() ? "" : " | ") + name;
    return label;
}

std::string CompletionCase(const OptionDoc& option) {
    const std::string head = "        " + CaseLabel(option) + ")\n";
    const std::string tail = "            return\n            ;;\n";
    switch (option.Completion) {
        case Complete::Folder:
            return head + "            _filedir -d\n" + tail;
        case Complete::File:
            return head + "            _filedir\n" + tail;
        case Complete::FileOrStdin:
            return head + "            _filedir\n" +
                   "            [[ $cur == - || -z $cur ]] && COMPREPLY+=(-)\n" + tail;
        case Complete::Command:
            return head + "            COMPREPLY=($(compgen -c -- \"$cur\"))\n" + tail;
        case Complete::Words:
            return head + "            COMPREPLY=($(compgen -W '" + option.Words +
                   "' -- \"$cur\"))\n" + tail;
        case Complete::Nothing:
            return head + tail;
    }
    return {};
}

}  // namespace

const OptionDoc* FindOption(const ProgramDocs& docs, const std::string& name) {
    for (const OptionDoc& option : docs.Options) {
        for (const std::string& each : Split(option.Names, ',')) {
            if (each == name)
                return &option;
        }
    }
    return nullptr;
}

std::string ShownNames(const OptionDoc& option) {
    std::string shown;
    for (const std::string& name : Split(option.Names, ','))
        shown += (shown.empty() ? "" : ", ") + name;
    return option.Value.empty() ? shown : shown + " " + option.Value;
}

std::string HelpOptions(const ProgramDocs& docs) {
    std::string out = "Options:\n";
    for (const OptionDoc& option : docs.Options) out += Entry(ShownNames(option), option.Help);
    return out;
}

std::string HelpEnvironment(const ProgramDocs& docs) {
    if (docs.Environment.empty())
        return {};
    std::string out = "Environment:\n";
    for (const EnvDoc& env : docs.Environment) out += Entry(env.Names, env.Help);
    return out;
}

std::string ManOptions(const ProgramDocs& docs) {
    std::string out;
    for (const OptionDoc& option : docs.Options) {
        std::string head;
        for (const std::string& name : Split(option.Names, ','))
            head += (head.empty() ? "" : ", ") + name;
        head = "*" + head + "*";
        if (!option.Value.empty())
            head += " _" + ScdocEscape(option.Value) + "_";
        out += (out.empty() ? "" : "\n") + head + "\n" +
               Indented(option.Man.empty() ? ScdocEscape(option.Help) : option.Man);
    }
    return out;
}

std::string ManEnvironment(const ProgramDocs& docs) {
    std::string out;
    for (const EnvDoc& env : docs.Environment) {
        std::string head;
        for (const std::string& name : Split(env.Names, ',')) {
            const std::string trimmed = name.substr(name.find_first_not_of(' '));
            head += (head.empty() ? "" : ", ") + ("*" + trimmed + "*");
        }
        out += (out.empty() ? "" : "\n") + head + "\n" +
               Indented(env.Man.empty() ? ScdocEscape(env.Help) : env.Man);
    }
    return out;
}

bool FillManTemplate(const ProgramDocs& docs, std::string& text) {
    const std::pair<std::string, std::string> parts[] = {{"@OPTIONS@\n", ManOptions(docs)},
                                                         {"@ENVIRONMENT@\n", ManEnvironment(docs)}};
    std::string filled = text;
    for (const auto& [placeholder, section] : parts) {
        const std::size_t at = filled.find(placeholder);
        if (at == std::string::npos && section.empty())
            continue;
        if (at == std::string::npos)
            return false;
        filled.replace(at, placeholder.size(), section);
    }
    text = std::move(filled);
    return true;
}

std::string BashCompletion(const ProgramDocs& docs) {
    std::string function = "_";
    for (const char c : docs.Program) function += (c == '-' ? '_' : c);
    std::string cases;
    std::string offered;
    for (const OptionDoc& option : docs.Options) {
        if (!option.Value.empty())
            cases += CompletionCase(option);
        offered.append(offered.empty() ? "" : " ").append(AllNames(option));
    }
    return "# bash completion for " + docs.Program +
           "                        -*- shell-script -*-\n"
           "# Written at build time from the program's option table (docs/options).\n\n" +
           function +
           "()\n{\n    local cur prev words cword\n    _init_completion || return\n\n"
           "    case $prev in\n" +
           cases +
           "    esac\n\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W '" +
           offered +
           "' -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    # Arguments that are not options are not completed.\n"
           "} &&\n"
           "    complete -F " +
           function + " " + docs.Program + "\n\n# ex: filetype=sh\n";
}

}  // namespace kestrane::docs
