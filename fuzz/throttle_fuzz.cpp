// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: EPO OPS's X-Throttling-Control header and Retry-After, as
// a hostile server may send them: the reader keeps only known services and
// every wait it derives stays a sane duration.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/sources/ops/OpsThrottle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto readings = kestrane::ParseThrottlingControl(text);
    for (const auto& [name, reading] : readings) {
        if (reading.allowance < 0)
            std::abort();
    }
    // The header's first line as the Retry-After of the same answer.
    const std::string_view retry = text.substr(0, text.find('\n'));
    kestrane::OpsThrottle throttle;
    const auto now = kestrane::OpsClock::now();
    throttle.Observe(text, kestrane::ParseRetryAfterMs(retry), now);
    for (const char* service : {"images", "retrieval", "inpadoc", "other", "search"}) {
        if (throttle.Reserve(service, now) < kestrane::OpsClock::duration::zero())
            std::abort();
    }
    return 0;
}
