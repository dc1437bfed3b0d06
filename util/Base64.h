// SPDX-License-Identifier: GPL-3.0-or-later
// Base64 with '=' padding, as HTTP Basic credentials and OPS's token request
// carry them.
#pragma once

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <string>
#include <string_view>

namespace kestrane::base64 {

inline std::string Encode(std::string_view in) {
    namespace it = boost::archive::iterators;
    using Encoder = it::base64_from_binary<it::transform_width<const char*, 6, 8>>;
    std::string out(Encoder(in.data()), Encoder(in.data() + in.size()));
    out.append((3 - in.size() % 3) % 3, '=');
    return out;
}

}  // namespace kestrane::base64
