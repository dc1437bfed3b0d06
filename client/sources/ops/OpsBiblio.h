// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the bibliographic answer of EPO OPS
// (published-data/publication/docdb/{id}/biblio).
#pragma once

#include <cstddef>
#include <string>

#include "client/Biblio.h"

namespace kestrane {

// Answers larger than this are not read (a real one is a few kilobytes).
inline constexpr std::size_t kMaxBiblioAnswer = 4 * 1024 * 1024;

// The first exchange document of the answer: titles by language, applicants
// and inventors as filed (the "original" spelling, else OPS's own), the
// docdb publication number and date, the IPC classes. Elements are matched
// by namespace and local name; the tree is walked without recursion and no
// deeper than a real answer goes. False when the answer is not such a
// document (or too large); info is then left empty.
bool ParseOpsBiblio(const std::string& xml, Biblio& info);

// "H01L  21/00        20060101AFI20051008RMEP" -> "H01L 21/00"; "" when it
// does not read as an IPC class.
std::string IpcClass(std::string_view text);

}  // namespace kestrane
