// SPDX-License-Identifier: GPL-3.0-or-later
// Build-time writer of what the programs' option tables feed outside the
// programs: a man page's OPTIONS and ENVIRONMENT sections and a bash
// completion script.
//   kestrane-make-docs man PROGRAM TEMPLATE.scd OUT.scd
//   kestrane-make-docs completion PROGRAM OUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/CliDocs.h"
#include "server/ServerDocs.h"
#ifdef KESTRANE_WINDOW_DOCS
#include "app/WindowDocs.h"
#endif

namespace {

using kestrane::docs::ProgramDocs;

const ProgramDocs* Program(const std::string& name) {
    if (name == "kestrane-cli")
        return &kestrane::cli::CliDocs();
    if (name == "kestrane-pubserver")
        return &kestrane::pubserver::ServerDocs();
#ifdef KESTRANE_WINDOW_DOCS
    if (name == "kestrane")
        return &kestrane::app::WindowDocs();
#endif
    return nullptr;
}

bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    const ProgramDocs* docs = argc > 2 ? Program(argv[2]) : nullptr;
    if (docs == nullptr || (mode == "man" && argc != 5) || (mode == "completion" && argc != 4)) {
        std::cerr << "usage: kestrane-make-docs man PROGRAM TEMPLATE OUT\n"
                     "       kestrane-make-docs completion PROGRAM OUT\n";
        return 2;
    }
    if (mode == "completion")
        return Write(argv[3], kestrane::docs::BashCompletion(*docs)) ? 0 : 1;
    std::ifstream in(argv[3], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string page = text.str();
    if (!in.is_open() || !kestrane::docs::FillManTemplate(*docs, page)) {
        std::cerr << "kestrane-make-docs: " << argv[3] << " lacks @OPTIONS@ or @ENVIRONMENT@\n";
        return 1;
    }
    return Write(argv[4], page) ? 0 : 1;
}
