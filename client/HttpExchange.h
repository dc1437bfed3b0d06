// One HTTP exchange with the publication server, on libcurl.
//
// Every exchange uses a fresh easy handle; one process-wide share carries the
// cookies (the server session lives there), DNS and open connections, so
// keep-alive works across exchanges.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ClientContext.h"

namespace kestrane {

inline constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)";
inline constexpr const char* kAcceptLanguage = "Accept-Language: en-us,en;q=0.5";
// Text pages beyond this size fail the exchange instead of exhausting memory.
inline constexpr std::size_t kMaxTextPage = 64u * 1024u * 1024u;

// What a service beyond the publication server needs of an exchange. Every
// field is optional; without it an exchange is exactly the designed one.
struct HttpExtra {
    // Sent as they stand ("Name: value"); a Content-Type here replaces the
    // designed empty one of a POST. May hold credentials: never echoed.
    std::vector<std::string> headers;
    // Filled with the final response's header fields (name, value), in order.
    std::vector<std::pair<std::string, std::string>>* responseHeaders = nullptr;
    // Text mode keeps the body as it came: no no-match check, and a response
    // with a status but an empty body is a success (its status tells the rest).
    bool rawText = false;
    // The proxy named for http carries https too (a service only served over https).
    bool proxyEveryScheme = false;
};

// Performs one exchange. Text mode (ToFile == 0) collects the body in
// ResponseText and applies PageHasMatches; file mode streams the body into
// filePath. Returns 1 when a body arrived and no failure applies, else 0 with
// the reason in ctx.MessageText. Echoes the url and CR LF to stdout.
// When status is given it receives the final HTTP status code (0 when no
// response came); the result itself never depends on it.
int SendHttpRequest(ClientContext& ctx, std::string_view verb, const std::string& url,
                    std::string_view body, std::string& ResponseText, const char* filePath,
                    int ToFile, long* status = nullptr, const HttpExtra* extra = nullptr);

// False when the page carries the server's no-match notice.
bool PageHasMatches(const std::string& text);

// Forgets the process-wide cookies and connections (tests start from a clean slate).
void ResetHttpShare();

}  // namespace kestrane
