// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the EPO OPS images inquiry reader on arbitrary bytes. An
// inquiry may be deep, huge or malformed; the reader must neither crash nor
// recurse, and what it takes must be a usable document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/Source.h"
#include "client/sources/ops/OpsSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string xml(reinterpret_cast<const char*>(data), size);
    kestrane::FoundDocument found;
    if (kestrane::ParseImagesInquiry(xml, found) && (found.link.empty() || found.pageCount < 1))
        std::abort();
    return 0;
}
