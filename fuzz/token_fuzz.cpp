// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the EPO OPS token answer reader on arbitrary bytes. An
// answer may be nested to any depth; a token taken must be one printable word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/sources/ops/OpsSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string token;
    if (kestrane::ParseTokenAnswer(std::string_view(reinterpret_cast<const char*>(data), size),
                                   token)) {
        for (const char c : token) {
            if (c < 0x21 || c > 0x7E)
                std::abort();
        }
    }
    return 0;
}
