// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the settings file reader on arbitrary bytes (a file may
// be damaged or planted). Whatever it reads must be written back so that it
// reads the same: saving settings never changes another key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kestrane::Settings read =
        kestrane::ParseSettingsText(std::string_view(reinterpret_cast<const char*>(data), size));
    const kestrane::Settings again = kestrane::ParseSettingsText(kestrane::SettingsText(read));
    if (again.Sections() != read.Sections())
        std::abort();
    return 0;
}
