// SPDX-License-Identifier: GPL-3.0-or-later
#include "docs/options/SourceDocs.h"

#include "client/sources/Registry.h"

namespace kestrane::docs {

namespace {

std::string Text(std::string_view text) {
    return std::string(text);
}

}  // namespace

std::vector<std::string> SourceIds() {
    std::vector<std::string> ids;
    for (const sources::SourceEntry& entry : sources::All()) ids.push_back(Text(entry.Id));
    return ids;
}

OptionDoc SourceOption() {
    OptionDoc option("--source", "", "Where documents come from: " + sources::ChoicesText(), "",
                     Complete::Words);
    std::string man =
        "Where the documents come from (default: the settings file's choice, "
        "else *" +
        Text(sources::All().front().Id) + "*):\n";
    for (const sources::SourceEntry& entry : sources::All()) {
        const bool first = option.Words.empty();
        option.Value.append(first ? "" : "|").append(entry.Id);
        option.Words.append(first ? "" : " ").append(entry.Id);
        man.append("*").append(entry.Id).append("* (").append(entry.Label).append("): ");
        man.append(entry.Help).append("\n");
    }
    option.Man = man + "A source's address and keys come from *ENVIRONMENT* or *FILES*.";
    return option;
}

namespace {

bool KeepsPages(const sources::SourceEntry& entry) {
    return entry.Resume == sources::Keeps::Pages;
}
bool KeepsPart(const sources::SourceEntry& entry) {
    return entry.Resume == sources::Keeps::WholeDocPart;
}
int Count(bool (*pick)(const sources::SourceEntry&)) {
    int n = 0;
    for (const sources::SourceEntry& entry : sources::All()) n += pick(entry) ? 1 : 0;
    return n;
}
// "the X source", "The X and Y sources".
std::string TheSources(bool (*pick)(const sources::SourceEntry&), const char* the = "the") {
    return the + (" " + sources::NamesWhere(pick)) + (Count(pick) == 1 ? " source" : " sources");
}

}  // namespace

std::string ResumeMan() {
    std::string man =
        "Keep the pages of a document that does not finish (a cancel, a used-up\n"
        "quota, a dropped line) in the save folder under\n"
        ".kestrane/partial/_SOURCE_/_NUMBER_/, with each page's size and SHA-256,\n"
        "and take them up in a later run with *--continue*: each kept page is\n"
        "checked again (it must open as a one-page PDF and match its digest) and\n"
        "only the missing or damaged pages are fetched. Kept pages are never used\n"
        "for another source, another document or another page count. The folder\n"
        "goes when the document is saved.";
    if (Count(&KeepsPages) > 0)
        man += " With " + TheSources(&KeepsPages) + " this works\npage by page.";
    if (Count(&KeepsPart) > 0) {
        man += " " + TheSources(&KeepsPart, "The") +
               (Count(&KeepsPart) == 1 ? " fetches" : " fetch") +
               " a\nwhole document at once: its part that came is kept with the source and\n"
               "the id asked for, and the next run asks only for the rest (an HTTP Range\n"
               "request) when the server answers it with 206, else it starts over. A\n"
               "kept part is never used for another source or id, and the finished file\n"
               "is checked as any download before it is saved.";
    }
    return man;
}

std::string BiblioHelp() {
    std::string help =
        "Read each number's title, applicants, inventors, date and IPC classes where the "
        "source has them";
    if (const std::string cost = sources::BiblioCostText("one request more per number");
        !cost.empty())
        help += " (" + cost + ")";
    return help + ", for the report and the saved PDF's document information";
}

std::string BiblioMan() {
    std::vector<std::string> hows;
    for (const sources::SourceEntry& entry : sources::All()) {
        if (!entry.Biblio.empty())
            hows.push_back(Text(entry.Name) + " " + Text(entry.Biblio));
    }
    std::string man =
        "Read each number's title (German and English where both exist),\n"
        "applicants, inventors, publication date and IPC classes where the source\n"
        "has them";
    for (std::size_t i = 0; i < hows.size(); ++i) man += (i == 0 ? ": " : ";\n") + hows[i];
    return man +
           ".\nThey go into the report and into the saved PDF's document information\n"
           "(Title, Author = applicants, Subject = the publication number, Keywords =\n"
           "IPC), appended after the merged bytes, which stay as they were.";
}

std::vector<EnvDoc> SourceEnvironment() {
    std::vector<EnvDoc> env;
    for (const sources::SourceEntry& entry : sources::All()) {
        const std::string name = Text(entry.Name);
        if (!entry.BaseEnv.empty()) {
            env.push_back({Text(entry.BaseEnv),
                           name + " address (default " + Text(entry.DefaultBase) + ")",
                           "The " + name + " address (default " + Text(entry.DefaultBase) +
                               "): a mirror, or the stand-in\n*kestrane-pubserver*(1)."});
        }
        for (const sources::SettingKey& key : entry.Keys) {
            if (key.EnvVar.empty())
                continue;
            // The dialog's label, which names the source ("OPS consumer key").
            const std::string what = Text(key.Label);
            env.push_back({Text(key.EnvVar), what + " (else the settings file)",
                           what + "; it takes precedence over the settings file." +
                               (key.Secret ? " It is never printed or logged." : "")});
        }
    }
    return env;
}

}  // namespace kestrane::docs
