// SPDX-License-Identifier: GPL-3.0-or-later
// What the help of every front end says about the document sources: the
// choice of source and each source's environment variables, taken from the
// sources themselves so that a new source appears without further edits.
#pragma once

#include <string>
#include <vector>

#include "docs/options/OptionDocs.h"

namespace kestrane::docs {

// The ids --source takes ("classic", "ops", ...), the default first.
std::vector<std::string> SourceIds();

// --source ID with every source's id, summary and paragraph.
OptionDoc SourceOption();

// --continue's paragraph: what is kept of an unfinished document, by source.
std::string ResumeMan();
// --biblio's texts: which sources have the data, and at what cost.
std::string BiblioHelp();
std::string BiblioMan();

// Each source's environment variables: its address, then its keys.
std::vector<EnvDoc> SourceEnvironment();

}  // namespace kestrane::docs
