// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/net/HttpExchange.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "client/SafeFiles.h"
#include "client/net/Retry.h"
#include "util/Ascii.h"
#include "util/Platform.h"
#include "util/Printable.h"
#include "util/UniqueFd.h"

namespace kestrane {

namespace {

// ---- The run's share: cookies (the server session), DNS and the connection
// cache, used by every exchange of every worker of the run.

bool GlobalInit() {
    static const bool initialised = [] {
        return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }();
    return initialised;
}

// ---- RAII owners of the handles of one exchange.

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Keeps the easy handle attached to the multi handle for the length of a scope.
class Attached {
  public:
    Attached(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        ok_ = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    }
    ~Attached() {
        if (ok_)
            curl_multi_remove_handle(multi_, easy_);
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    bool ok() const { return ok_; }

  private:
    CURLM* multi_;
    CURL* easy_;
    bool ok_;
};

// Writes all of data, across short writes and interrupted calls.
bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Why a transfer stopped before curl finished it on its own.
enum class Stop { None, Cancel, Abort, SaveFailed, WriteFailed, TooLarge };

struct Transfer {
    ClientContext* ctx;
    bool toFile;
    UniqueFd* file;  // file mode only
    std::string* text;
    std::size_t written = 0;             // file mode; a continued file counts from its start
    std::size_t maxFile = kMaxPageFile;  // file mode
    std::size_t maxText = kMaxTextPage;  // text mode
    bool received = false;
    Stop stop = Stop::None;
    // A continued file (HttpExtra::resumeFile): the offset asked for, the
    // answer's header fields, and whether the answer continues the file.
    std::size_t resumeAt = 0;
    const char* path = nullptr;
    CURL* easy = nullptr;
    const HttpHeaders* fields = nullptr;
    bool decided = false;
    bool continued = false;
};

// A 206 whose Content-Range starts where the kept file ends continues it.
bool ContinuesAt(CURL* easy, const HttpHeaders& fields, std::size_t offset) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 206)
        return false;
    const std::string want = "bytes " + std::to_string(offset) + "-";
    const std::optional<std::string> range = HeaderValue(fields, "Content-Range");
    return range && range->starts_with(want);
}

// The kept part is not continued: the file is made afresh (a descriptor
// open for appending may not be allowed to cut the file).
bool StartOver(Transfer& t) {
    *t.file = UniqueFd();  // closed first: an open file may not be removed
    *t.file = CreateFreshFile(t.path);
    t.written = 0;
    return t.file->valid();
}

// Settles, at the first byte of the body, whether a continued file is
// appended to or written again from its start.
bool DecideContinuation(Transfer& t) {
    if (t.resumeAt == 0 || t.decided)
        return true;
    t.decided = true;
    t.continued = ContinuesAt(t.easy, *t.fields, t.resumeAt);
    if (t.continued)
        return true;
    return StartOver(t);
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (t.ctx->aborted()) {
        t.stop = Stop::Abort;
        return 0;
    }
    if (t.toFile && !t.file->valid()) {
        t.stop = Stop::SaveFailed;
        return 0;
    }
    // A chunk read after a confirmed cancel is dropped.
    if (t.ctx->cancelRequested()) {
        t.stop = Stop::Cancel;
        return 0;
    }
    if (n == 0)
        return 0;
    t.ctx->moved();
    if (t.toFile) {
        if (!DecideContinuation(t)) {
            t.stop = Stop::WriteFailed;
            return 0;
        }
        if (t.written + n > t.maxFile) {
            t.stop = Stop::TooLarge;
            return 0;
        }
        t.written += n;
        if (!WriteAll(t.file->get(), data, n)) {
            t.stop = Stop::WriteFailed;
            return 0;
        }
    } else {
        // Text pages keep each chunk only up to its first zero byte.
        const void* zero = std::memchr(data, '\0', n);
        const std::size_t keep =
            zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : n;
        if (t.text->size() + keep > t.maxText) {
            t.stop = Stop::TooLarge;
            return 0;
        }
        t.text->append(data, keep);
    }
    t.received = true;
    t.ctx->transfer.Bytes += static_cast<long long>(n);
    t.ctx->noteTransfer();
    return n;
}

// The run's proxy text "HTTP=HTTP://ip:port" as a curl proxy URL.
std::string ProxyUrl(const std::string& proxy) {
    std::string p = proxy;
    if (p.size() >= 5 && strncasecmp(p.c_str(), "HTTP=", 5) == 0)
        p.erase(0, 5);
    if (p.size() >= 7 && strncasecmp(p.c_str(), "http://", 7) == 0)
        p = "http://" + p.substr(7);
    return p;
}

bool IsHttpUrl(const std::string& url) {
    return strncasecmp(url.c_str(), "http://", 7) == 0;
}

// Bytes that may not stand in a request line are percent-encoded; everything
// else (reserved characters, existing escapes) is left as the page wrote it.
std::string RequestSafeUrl(const std::string& url) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
            c == '`' || c == '{' || c == '|' || c == '}') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool IsConnectFailure(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
           code == CURLE_COULDNT_RESOLVE_PROXY;
}

// Collects the header fields of the final response (a redirect starts over).
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& fields = *static_cast<std::vector<std::pair<std::string, std::string>>*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        fields.clear();
        return n;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return n;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    fields.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return n;
}

void SetRequestOptions(CURL* h, const ClientContext& ctx, const std::string& target) {
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    if (ctx.Share) {
        curl_easy_setopt(h, CURLOPT_SHARE, static_cast<CURLSH*>(ctx.Share->Handle()));
    } else {
        // Nothing to keep a connection in: it would linger in this thread's multi handle.
        curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    }
    curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
}

// The headers must outlive the exchange: the caller keeps the list.
HeaderList SetVerb(CURL* h, std::string_view verb, std::string_view body, const HttpExtra* extra) {
    HeaderList headers(curl_slist_append(nullptr, kAcceptLanguage));
    bool ownContentType = false;
    if (extra != nullptr) {
        for (const std::string& field : extra->headers) {
            headers.reset(curl_slist_append(headers.release(), field.c_str()));
            ownContentType = ownContentType || strncasecmp(field.c_str(), "Content-Type:", 13) == 0;
        }
        if (extra->responseHeaders != nullptr) {
            extra->responseHeaders->clear();
            curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
            curl_easy_setopt(h, CURLOPT_HEADERDATA, extra->responseHeaders);
        }
    }
    if (verb == "POST") {
        // The form travels in the query string; no content type is declared.
        if (!ownContentType)
            headers.reset(curl_slist_append(headers.release(), "Content-Type:"));
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, std::string(body).c_str());
    } else if (verb != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, std::string(verb).c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    return headers;
}

// The proxy access type names the proxy for the http scheme; type 0 leaves
// the system's proxy variables in force.
void SetProxy(CURL* h, const ClientContext& ctx, const std::string& url, const HttpExtra* extra) {
    if (ctx.AccessType == kProxyAccessType && !ctx.Proxy.empty()) {
        const bool proxied = IsHttpUrl(url) || (extra != nullptr && extra->proxyEveryScheme);
        curl_easy_setopt(h, CURLOPT_PROXY, proxied ? ProxyUrl(ctx.Proxy).c_str() : "");
    }
}

// Runs the transfer to its end, polling in short slices so that a cancel or
// a stop is honoured within a fraction of a second even while the server
// stays silent. nullopt when the handle could not be attached.
std::optional<CURLcode> Perform(CURLM* multi, CURL* h, const ClientContext& ctx,
                                Transfer& transfer) {
    CURLcode result = CURLE_OK;
    Attached attached(multi, h);
    if (!attached.ok())
        return std::nullopt;
    int running = 1;
    while (running != 0) {
        if (ctx.aborted()) {
            transfer.stop = Stop::Abort;
            break;
        }
        if (ctx.cancelRequested()) {
            transfer.stop = Stop::Cancel;
            break;
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (running != 0)
            curl_multi_poll(multi, nullptr, 0, static_cast<int>(kPollSlice.count()), nullptr);
    }
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
        if (m->msg == CURLMSG_DONE)
            result = m->data.result;
    }
    return result;
}

// What the exchange amounts to once it has ended; text is the page in text
// mode; raw: an answer with a status counts as it came (HttpExtra::rawText).
// judged: the source's reading of the text decided it.
FailureKind TryFailure(const Transfer& transfer, CURLcode result, const std::string* text, bool raw,
                       const HttpExtra* extra, bool& judged) {
    judged = false;
    switch (transfer.stop) {
        case Stop::Cancel:
            return FailureKind::Cancelled;
        case Stop::SaveFailed:
        case Stop::WriteFailed:
            // WriteFailed: the disk filled up or the folder went away under us.
            return FailureKind::SaveFailed;
        case Stop::Abort:
            return FailureKind::DownloadFailed;
        case Stop::TooLarge:
            return FailureKind::TooLarge;
        case Stop::None:
            break;
    }
    if (result == CURLE_FILESIZE_EXCEEDED)
        return FailureKind::TooLarge;
    if (result != CURLE_OK) {
        // A response cut short is not a document; report it rather than save half of it.
        return (IsConnectFailure(result) && !transfer.received) ? FailureKind::Connect
                                                                : FailureKind::DownloadFailed;
    }
    if (raw)
        return FailureKind::None;
    if (!transfer.received)
        return FailureKind::Connect;
    if (text != nullptr && extra != nullptr && extra->judgeText) {
        const FailureKind kind = extra->judgeText(*text);
        judged = kind != FailureKind::None;
        return kind;
    }
    return FailureKind::None;
}

}  // namespace

std::optional<std::string> HeaderValue(const HttpHeaders& headers, std::string_view name) {
    std::optional<std::string> joined;
    for (const auto& [key, value] : headers) {
        if (ascii::EqualsIgnoringCase(key, name))
            joined = joined ? *joined + ", " + value : value;
    }
    return joined;
}

struct HttpShare::Impl {
    Impl() {
        (void)GlobalInit();
        share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::Lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::Unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~Impl() { curl_share_cleanup(share); }

    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Impl*>(self)->locks[Index(data)].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Impl*>(self)->locks[Index(data)].unlock();
    }
    static std::size_t Index(curl_lock_data data) {
        const auto i = static_cast<std::size_t>(data);
        return i < kSlots ? i : 0;
    }
    static constexpr std::size_t kSlots = CURL_LOCK_DATA_LAST;
    CURLSH* share;
    // One lock per kind of shared data, taken by libcurl from any worker thread.
    std::array<std::mutex, kSlots> locks;
};

HttpShare::HttpShare() : impl_(std::make_unique<Impl>()) {}
HttpShare::~HttpShare() = default;
void* HttpShare::Handle() const {
    return impl_->share;
}

// A link comes from a server page: its control bytes are shown escaped, so
// that no page can drive the terminal the echo goes to.
void EchoRequestLine(const std::string& url) {
    const std::string line = Printable(url) + "\r\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

namespace {

// The size of a kept file worth continuing, else 0 (none, empty, not a
// plain file, or already at the cap).
std::size_t KeptSize(const char* path, std::size_t cap) {
    if (!IsPlainFile(path))
        return 0;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(platform::PathFromUtf8(path), ec);
    return ec || size >= cap ? 0 : static_cast<std::size_t>(size);
}

UniqueFd OpenToContinue(const char* path) {
    std::string reason;
    return UniqueFd(platform::OpenForAppend(path, reason));
}

// Asks for the rest of the kept file and collects the answer's header
// fields, to see where the answer starts.
void AskToContinue(CURL* h, Transfer& transfer, const char* path, const HttpExtra* extra,
                   HttpHeaders& fields) {
    const std::string range = std::to_string(transfer.resumeAt) + "-";
    curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());  // copied by libcurl
    transfer.easy = h;
    transfer.path = path;
    transfer.written = transfer.resumeAt;
    if (extra->responseHeaders != nullptr) {
        transfer.fields = extra->responseHeaders;
        return;
    }
    transfer.fields = &fields;
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &fields);
}

// Where the body goes: ResponseText, or the file, opened (or continued
// where a resume asks it) before the body arrives, so an empty body leaves
// an empty file.
void SetBodyTarget(CURL* h, Transfer& transfer, UniqueFd& file, HttpHeaders& fields,
                   const char* filePath, const HttpExtra* extra) {
    if (extra != nullptr && extra->maxText > 0)
        transfer.maxText = std::min(extra->maxText, kMaxTextPage);
    if (extra != nullptr && extra->maxFileBytes > 0)
        transfer.maxFile = extra->maxFileBytes;
    if (transfer.toFile && filePath != nullptr) {
        const bool resume = extra != nullptr && extra->resumeFile;
        transfer.resumeAt = resume ? KeptSize(filePath, transfer.maxFile) : 0;
        file = transfer.resumeAt > 0 ? OpenToContinue(filePath) : CreateFreshFile(filePath);
        if (transfer.resumeAt > 0)
            AskToContinue(h, transfer, filePath, extra, fields);
    }
    transfer.file = &file;
    if (extra != nullptr && extra->maxFileBytes > 0) {
        // A body announced beyond the cap fails before any of it is written.
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(extra->maxFileBytes));
    }
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
}

// What the try came to once the transfer has ended with result.
HttpTry Conclude(CURL* h, Transfer& transfer, CURLcode result, const UniqueFd& file,
                 const HttpExtra* extra, bool* rangeRefused) {
    HttpTry attempt;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &attempt.status);
    if (transfer.toFile && !file.valid()) {
        attempt.failure = FailureKind::SaveFailed;
        return attempt;
    }
    // No body came to settle it: unless the answer continues the file, what
    // is kept of it must not pass for this answer's body.
    if (!DecideContinuation(transfer)) {
        attempt.failure = FailureKind::SaveFailed;
        return attempt;
    }
    if (rangeRefused != nullptr)
        *rangeRefused = transfer.resumeAt > 0 && !transfer.continued && attempt.status != 0 &&
                        attempt.status != 200;
    const bool raw = extra != nullptr && extra->rawText && attempt.status != 0;
    bool judged = false;
    attempt.failure =
        TryFailure(transfer, result, transfer.toFile ? nullptr : transfer.text, raw, extra, judged);
    // The server's own trouble, or the line's: not an answer about the number.
    // A caller that reads the status itself (raw) decides about a 5xx itself.
    const bool cutOff =
        transfer.stop == Stop::None && result != CURLE_OK && result != CURLE_FILESIZE_EXCEEDED;
    const bool serverError =
        !raw && attempt.status >= 500 && transfer.stop == Stop::None && !judged;
    attempt.transient = attempt.failure == FailureKind::Connect || cutOff || serverError;
    return attempt;
}

// The exchange itself, once.
HttpTry Exchange(ClientContext& ctx, std::string_view verb, const std::string& url,
                 std::string_view body, std::string& ResponseText, const char* filePath, int ToFile,
                 const HttpExtra* extra, bool* rangeRefused = nullptr) {
    ResponseText.clear();
    EasyHandle easy(GlobalInit() ? curl_easy_init() : nullptr);
    // One multi handle per thread serves all of its exchanges (one at a time),
    // which spares a socket pair and its set-up on every request.
    thread_local MultiHandle multi(curl_multi_init());
    if (!easy || !multi)
        return {FailureKind::DownloadFailed};
    CURL* h = easy.get();
    const std::string target = RequestSafeUrl(url);
    SetRequestOptions(h, ctx, target);
    const HeaderList headers = SetVerb(h, verb, body, extra);
    SetProxy(h, ctx, url, extra);
    if (extra != nullptr && extra->userAgent != nullptr)
        curl_easy_setopt(h, CURLOPT_USERAGENT, extra->userAgent);
    if (extra != nullptr && !extra->followRedirects)
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);

    Transfer transfer{&ctx, ToFile != 0, nullptr, &ResponseText};
    UniqueFd file;
    HttpHeaders fields;
    SetBodyTarget(h, transfer, file, fields, filePath, extra);
    const std::optional<CURLcode> result = Perform(multi.get(), h, ctx, transfer);
    if (!result)
        return {FailureKind::DownloadFailed};
    return Conclude(h, transfer, *result, file, extra, rangeRefused);
}

}  // namespace

HttpTry SendHttpOnce(ClientContext& ctx, std::string_view verb, const std::string& url,
                     std::string_view body, std::string& ResponseText, const char* filePath,
                     int ToFile, const HttpExtra* extra) {
    ResponseText.clear();
    if (ctx.OnRequest)
        ctx.OnRequest(url);
    if (ctx.cancelRequested())
        return HttpTry{FailureKind::Cancelled, 0, false};
    ctx.transfer.Requests += 1;
    bool rangeRefused = false;
    HttpTry attempt =
        Exchange(ctx, verb, url, body, ResponseText, filePath, ToFile, extra, &rangeRefused);
    // A server that refuses the range (416) or answers it otherwise is asked
    // once more for the whole body.
    if (rangeRefused && extra->resumeOnceMore && attempt.failure != FailureKind::Cancelled &&
        !ctx.cancelRequested()) {
        HttpExtra whole = *extra;
        whole.resumeFile = false;
        if (ctx.OnRequest)
            ctx.OnRequest(url);
        ctx.transfer.Requests += 1;
        attempt = Exchange(ctx, verb, url, body, ResponseText, filePath, ToFile, &whole);
    }
    if (ctx.LastRequest)
        ctx.LastRequest->Mark();
    return attempt;
}

Failure SendHttpRequest(ClientContext& ctx, std::string_view verb, const std::string& url,
                        std::string_view body, std::string& ResponseText, const char* filePath,
                        int ToFile, long* status, const HttpExtra* extra) {
    ResponseText.clear();
    if (status != nullptr)
        *status = 0;
    Tries tries;
    tries.Once = [&] {
        const HttpTry attempt =
            SendHttpOnce(ctx, verb, url, body, ResponseText, filePath, ToFile, extra);
        if (status != nullptr)
            *status = attempt.status;
        // A server error with a page counts as an answer once no try is left.
        if (attempt.transient)
            return Verdict::Retry({attempt.failure, {}});
        if (attempt.failure != FailureKind::None)
            return Verdict::Final({attempt.failure, {}});
        return Verdict::Done();
    };
    // The publication server is asked once per request unless the run says otherwise.
    return RunTries(ctx, RunRetryRules(ctx, 0), tries);
}

}  // namespace kestrane
