// SPDX-License-Identifier: GPL-3.0-or-later
// One HTTP exchange with the publication server, on libcurl.
//
// Every exchange uses a fresh easy handle; the run's HttpShare carries the
// cookies (the server session lives there), DNS and open connections, so
// keep-alive works across exchanges.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
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
// A page file beyond this size fails the exchange instead of filling the disk.
inline constexpr std::size_t kMaxPageFile = kMaxTextPage;

// An answer's header fields as they came (name, value), in order.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;
// A header's value, its name compared without case; one given twice reads
// comma-joined. None when the answer lacks it.
[[nodiscard]] std::optional<std::string> HeaderValue(const HttpHeaders& headers,
                                                     std::string_view name);

// What the exchanges of one run share, from any thread: cookies (the server
// session), DNS, open connections and TLS sessions. Owned by the run (and by
// each test that needs one), so nothing of it outlives its owners.
class HttpShare {
  public:
    HttpShare();
    ~HttpShare();
    HttpShare(const HttpShare&) = delete;
    HttpShare& operator=(const HttpShare&) = delete;
    // The CURLSH handle.
    void* Handle() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What a service beyond the publication server needs of an exchange. Every
// field is optional; without it an exchange is the plain one the publication server gets.
struct HttpExtra {
    // Sent as they stand ("Name: value"); a Content-Type here replaces the
    // empty one of a plain POST. May hold credentials: never echoed.
    std::vector<std::string> headers;
    // Filled with the final response's header fields (name, value), in order.
    HttpHeaders* responseHeaders = nullptr;
    // The body is kept as it came: no no-match check, and an answer with a
    // status but an empty body is a success (its status tells the rest).
    bool rawText = false;
    // The proxy named for http carries https too (a service only served over https).
    bool proxyEveryScheme = false;
    // Sent instead of the publication server's browser identity (a service
    // that wants an honest name). May be null.
    const char* userAgent = nullptr;
    // A file body may grow to this many bytes instead of kMaxPageFile (0):
    // a whole document is larger than one page.
    std::size_t maxFileBytes = 0;
    // False: a redirect is not followed but answered with its own status and
    // Location (responseHeaders), for a service whose redirects mean a refusal.
    bool followRedirects = true;
    // A text body beyond this many bytes fails the exchange (TooLarge); 0 or
    // more than kMaxTextPage: kMaxTextPage.
    std::size_t maxText = 0;
    // The source's reading of a whole text answer: FailureKind::None when it
    // is an answer, else what it amounts to (the publication server's
    // no-match notice). Such a failure is final: it is the server's word on
    // the request, not trouble on the line. The exchange itself reads no content.
    std::function<FailureKind(const std::string& text)> judgeText;
    // File mode: the file at filePath is continued from its current size with
    // "Range: bytes=N-". A 206 from that offset appends to it; any other
    // answer rewrites it from byte 0; after a 416 or any status but 200 and
    // 206, the exchange is sent once more without Range (unless
    // resumeOnceMore is false: a paced caller sends that one itself). The
    // size caps count the whole file. A missing or empty file is a plain download.
    bool resumeFile = false;
    bool resumeOnceMore = true;
};

// What one try of an exchange came to.
struct HttpTry {
    FailureKind failure = FailureKind::None;
    long status = 0;         // the final HTTP status; 0 when no response came
    bool transient = false;  // trouble on the line or at the server: worth another try
};

// One try, for a source that reads every answer itself and sends through the
// retry engine (client/net/Retry.h): ctx.OnRequest sees the url, the body
// goes as SendHttpRequest's, the run's last request is marked; no waits, no
// retries.
[[nodiscard]] HttpTry SendHttpOnce(ClientContext& ctx, std::string_view verb,
                                   const std::string& url, std::string_view body,
                                   std::string& ResponseText, const char* filePath, int ToFile,
                                   const HttpExtra* extra = nullptr);

// Performs one exchange. Text mode (ToFile == 0) collects the body in
// ResponseText (extra->judgeText reads it); file mode streams the body into
// filePath. Returns no failure when a body arrived and none applies, else the
// failure. ctx.OnRequest sees the url first. A
// transient failure is tried again as the run's retry rules say (none by default).
// When status is given it receives the final HTTP status code (0 when no
// response came); the result itself never depends on it.
[[nodiscard]] Failure SendHttpRequest(ClientContext& ctx, std::string_view verb,
                                      const std::string& url, std::string_view body,
                                      std::string& ResponseText, const char* filePath, int ToFile,
                                      long* status = nullptr, const HttpExtra* extra = nullptr);

// The echo of a request: the url and CR LF on stdout, one write.
// The front ends install it as ClientContext::OnRequest (RunOptions::OnRequest).
void EchoRequestLine(const std::string& url);

}  // namespace kestrane
