#include <cstdlib>

#include "client/ClientContext.h"

namespace kestrane {

std::string DefaultServerBase() {
    const char* env = std::getenv("KESTRANE_SERVER_BASE");
    std::string base = (env != nullptr && *env != '\0') ? env : "http://depatisnet.dpma.de";
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

}  // namespace kestrane
