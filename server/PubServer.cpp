// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/PubServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "server/DpmaServer.h"
#include "server/GoogleServer.h"
#include "server/Hostile.h"
#include "server/OpsServer.h"
#include "server/Pages.h"
#include "util/UniqueFd.h"

namespace kestrane::pubserver {

namespace {

using namespace std::chrono_literals;

constexpr int kReadTimeoutMs = 10000;
constexpr int kWriteTimeoutMs = 10000;
constexpr int kIdleTimeoutMs = 30000;  // how long an idle keep-alive connection stays open
constexpr auto kDripPause = 50ms;
constexpr size_t kDripPieces = 40;             // a dripped body arrives in about this many pieces
constexpr size_t kPdfCacheLimit = 256u << 20;  // bytes of generated PDFs kept
constexpr const char* kHtml = "text/html; charset=UTF-8";
// Retitles the terminal, clears it and prints a line that looks like a record.
constexpr const char* kEscapes =
    "&amp;x=\x1b]0;owned\x07\x1b[2J\r\n2009-12-14 09:30:05 DE1 Success";
constexpr const char* kPdf = "application/pdf";

// The hostile page of a page-shaped fault.
std::shared_ptr<const std::string> HostilePage(FaultKind kind) {
    switch (kind) {
        case FaultKind::Deep:
            return hostile::DeepChainPdf(60000);
        case FaultKind::Bomb:
            return hostile::ObjectStreamBombPdf(1ull << 30);
        default:
            return hostile::ManyObjectsPdf(1000000);
    }
}

// A large shared body, sent without a copy.
void SetShared(httplib::Response& res, std::shared_ptr<const std::string> data, const char* type) {
    res.set_content_provider(
        data->size(), type, [data](size_t offset, size_t length, httplib::DataSink& sink) {
            return sink.write(data->data() + offset, std::min(length, data->size() - offset));
        });
}

// True when fd becomes ready (or hung up) within timeoutMs; -1 waits for ever.
bool WaitFd(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

void AddressOf(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if ((peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) != 0)
        return;
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (::getnameinfo(sa, len, host, sizeof host, serv, sizeof serv,
                      NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(serv);
    }
}

// One accepted TCP connection as httplib reads and writes it. Reads are
// buffered because httplib reads a request line one byte at a time.
class SocketStream final : public httplib::Stream {
  public:
    explicit SocketStream(int fd) : fd_(fd) {}

    bool HasBuffered() const { return begin_ < end_; }

    bool is_readable() const override {
        return HasBuffered() || WaitFd(fd_, POLLIN, kReadTimeoutMs);
    }
    bool is_writable() const override { return WaitFd(fd_, POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (!HasBuffered()) {
            if (!WaitFd(fd_, POLLIN, kReadTimeoutMs))
                return -1;
            ssize_t n;
            do {
                n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_.data() + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        ssize_t n;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(fd_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(fd_, false, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    int fd_;
    std::array<char, 16384> buffer_{};
    size_t begin_ = 0;
    size_t end_ = 0;
};

// httplib parses, routes and writes; our own accept and keep-alive loop drives
// it, so that Stop() can shut every connection down at once (httplib's own
// loop lets an idle keep-alive connection hold up its stop for seconds).
class HttpCore : public httplib::Server {
  public:
    bool ServeOne(httplib::Stream& stream, bool& connectionClosed,
                  const std::function<void(httplib::Request&)>& setup) {
        return process_request(stream, false, connectionClosed, setup);
    }
    // httplib stops writing response bodies once it sees no listening socket.
    void SetListening(int fd) { svr_sock_ = fd; }
};

struct Connection {
    UniqueFd fd;              // reset by the connection's own thread, under Impl::mu
    std::thread thread;       // set and joined under the accept thread's control
    bool done = false;        // guarded by Impl::mu
    bool sawRequest = false;  // the connection's own thread only
};

// The connection whose thread is running; the handlers run on that thread.
thread_local Connection* tlsConnection = nullptr;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

int ToInt(const std::optional<std::string>& text, int fallback) {
    int value = fallback;
    if (!text)
        return fallback;
    const char* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data(), end, value);
    return ec == std::errc() && ptr == end ? value : fallback;
}

// An absolute-form target ("http://host:port/path") names the same resource as its path.
std::string OriginPath(const std::string& path) {
    std::string lower = path.substr(0, 8);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t start = StartsWith(lower, "http://") ? 7 : StartsWith(lower, "https://") ? 8 : 0;
    if (start == 0)
        return path;
    const size_t slash = path.find('/', start);
    return slash == std::string::npos ? "/" : path.substr(slash);
}

// A body-less request without Content-Length has length zero, but httplib would
// wait for the connection to close; compression would merge dripped pieces.
void PrepareRequest(httplib::Request& req) {
    req.headers.erase("Accept-Encoding");
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
        req.headers.emplace("Content-Length", "0");
}

struct Entry {
    std::vector<pages::Document> docs;
    bool selection = false;
    int kb = 0;  // padding of its page PDFs
};

bool IsSelectionFault(std::optional<FaultKind> fault) {
    return fault == FaultKind::CountMismatch || fault == FaultKind::HostileNames ||
           fault == FaultKind::ForeignName || fault == FaultKind::TwinNames ||
           fault == FaultKind::NoHits;
}

// The links of a selection page: one per document, named by its docIdNormed,
// unless a fault names them otherwise.
std::vector<pages::SelectionLink> SelectionLinks(const Entry& found,
                                                 std::optional<FaultKind> fault) {
    std::vector<pages::SelectionLink> links;
    const int docs = static_cast<int>(found.docs.size());
    if (fault == FaultKind::HostileNames) {
        const char* hostile[] = {"../../evil", "a/b", "..", "x\\y"};
        for (int i = 0; i < 4; ++i) links.push_back({hostile[i], i % docs});
        return links;
    }
    for (int i = 0; i < docs; ++i) {
        const std::string& id =
            found.docs[static_cast<size_t>(fault == FaultKind::TwinNames ? 0 : i)].id;
        links.push_back({pages::EncodeComponent(id), i});
    }
    if (fault == FaultKind::ForeignName)
        links.front().docIdNormed = "keep";
    return links;
}

}  // namespace

struct PubServer::Impl {
    explicit Impl(ServerOptions o) : options(std::move(o)), random(std::random_device{}()) {}

    bool Start();
    void Stop();
    void AcceptLoop();
    void ReapFinished();
    void Serve(Connection* connection);
    void Handle(const httplib::Request& req, httplib::Response& res);
    // Notes the request in the log (and its connection's first); its step and number.
    std::optional<Stage> Note(const httplib::Request& req, const std::string& path,
                              const std::string& query, std::string& number,
                              bool& firstOnConnection, bool& hasSession);
    // The other sources' endpoints (OPS, DPMA, Google); false when none owns path.
    bool HandleOtherSource(const httplib::Request& req, const std::string& path,
                           httplib::Response& res);
    // The publication server's pages of the request chain, after its session step.
    void HandleChain(httplib::Response& res, Stage stage, const std::string& number,
                     const std::string& query);
    // Which step of the request chain a request is, and for which number.
    std::optional<Stage> Classify(const std::string& path, const std::string& query,
                                  RequestLogEntry& entry, std::string& number) const;
    // The first hit's page: a viewer page, or a selection of documents.
    void RespondToHit(httplib::Response& res, std::optional<FaultKind> fault,
                      const std::string& number, const Entry& found);
    void Respond(httplib::Response& res, std::optional<FaultKind> fault, const std::string& number,
                 std::string body, const char* type);
    bool Pause(std::chrono::milliseconds duration);
    void StallUntilStopOrHangup();
    std::optional<FaultKind> FindFault(const std::string& number, Stage stage, int page);
    std::optional<Entry> Lookup(const std::string& number) const;
    std::string NewSession();
    bool HasSession(const httplib::Request& req);
    void Record(const RequestLogEntry& entry);
    std::shared_ptr<const std::string> PagePdf(const pages::Document& doc, int page, int kb);
    // page 0: the whole document in one PDF.
    std::shared_ptr<const std::string> CachedPdf(const pages::Document& doc, int page, int kb);
    EndpointHooks WholeDocumentHooks();

    const ServerOptions options;
    HttpCore http;
    OpsEndpoints ops{options};
    DpmaEndpoints dpma{options};
    GoogleEndpoints google{options};

    // Lifecycle and connections.
    std::mutex mu;
    std::condition_variable stopCv;                      // notified once stopping turns true
    bool stopping = false;                               // guarded by mu; never turns back
    std::atomic<bool> stopFlag{false};                   // stopping, for checks without the lock
    std::list<std::unique_ptr<Connection>> connections;  // guarded by mu
    // Set by Start() before the accept thread exists, reset by Stop() after it is joined.
    UniqueFd listenFd;
    UniqueFd wakeRead;  // becomes readable for good when Stop() begins
    UniqueFd wakeWrite;
    std::thread acceptThread;
    bool started = false;  // the owner's thread only
    std::atomic<int> port{0};

    std::mutex faultMu;
    std::vector<std::pair<std::string, Fault>> faults;  // guarded by faultMu, in the order added

    mutable std::mutex logMu;
    std::vector<RequestLogEntry> log;                      // guarded by logMu
    std::function<void(const RequestLogEntry&)> observer;  // guarded by logMu
    std::atomic<int> connectionCount{0};

    std::mutex sessionMu;
    std::set<std::string> sessions;  // guarded by sessionMu
    std::mt19937_64 random;          // guarded by sessionMu

    std::mutex pdfMu;
    std::map<std::string, std::shared_ptr<const std::string>> pdfCache;  // guarded by pdfMu
    size_t pdfCacheBytes = 0;                                            // guarded by pdfMu
};

bool PubServer::Impl::Start() {
    if (started)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(options.host.c_str(), std::to_string(options.port).c_str(), &hints, &list) !=
        0)
        return false;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, ::freeaddrinfo);
    UniqueFd fd;
    for (addrinfo* ai = list; ai != nullptr && !fd; ai = ai->ai_next) {
        UniqueFd s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!s)
            continue;
        const int one = 1;
        ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(s.get(), ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(s.get(), 128) == 0)
            fd = std::move(s);
    }
    int pipeFds[2];
    if (!fd || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    wakeRead = UniqueFd(pipeFds[0]);
    wakeWrite = UniqueFd(pipeFds[1]);
    std::string ip;
    int boundPort = 0;
    AddressOf(fd.get(), false, ip, boundPort);
    port = boundPort;
    listenFd = std::move(fd);

    http.set_keep_alive_timeout(kIdleTimeoutMs / 1000);
    http.set_keep_alive_max_count(1000);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        Handle(req, res);
    };
    http.Get("[\\s\\S]*", handler);
    http.Post("[\\s\\S]*", handler);
    http.SetListening(listenFd.get());
    started = true;
    acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void PubServer::Impl::Stop() {
    if (!started)
        return;
    {
        std::lock_guard lock(mu);
        stopping = true;
        stopFlag = true;
        // Wakes every connection blocked in a read, a write or a keep-alive wait.
        for (auto& c : connections) {
            if (c->fd)
                ::shutdown(c->fd.get(), SHUT_RDWR);
        }
    }
    stopCv.notify_all();
    http.SetListening(-1);
    const char byte = 1;
    if (wakeWrite)
        (void)!::write(wakeWrite.get(), &byte, 1);
    if (acceptThread.joinable())
        acceptThread.join();
    listenFd.reset();
}

void PubServer::Impl::AcceptLoop() {
    while (!stopFlag) {
        pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno != EINTR)
            break;
        if (stopFlag)
            break;
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            UniqueFd fd(::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (fd) {
                const int one = 1;
                ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::lock_guard lock(mu);
                if (!stopping) {
                    auto c = std::make_unique<Connection>();
                    c->fd = std::move(fd);
                    Connection* raw = c.get();
                    connections.push_back(std::move(c));
                    try {
                        raw->thread = std::thread([this, raw] { Serve(raw); });
                    } catch (const std::system_error&) {
                        connections.pop_back();  // out of threads: this connection is dropped
                    }
                }
            }
        }
        ReapFinished();
    }
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard lock(mu);
        all.swap(connections);
    }
    for (auto& c : all) {
        if (c->thread.joinable())
            c->thread.join();
    }
}

void PubServer::Impl::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(mu);
        for (auto it = connections.begin(); it != connections.end();) {
            auto next = std::next(it);
            if ((*it)->done)
                finished.splice(finished.end(), connections, it);
            it = next;
        }
    }
    for (auto& c : finished) c->thread.join();
}

void PubServer::Impl::Serve(Connection* connection) {
    tlsConnection = connection;
    const int fd = connection->fd.get();
    try {
        SocketStream stream(fd);
        while (!stopFlag) {
            if (!stream.HasBuffered() && !WaitFd(fd, POLLIN, kIdleTimeoutMs))
                break;
            bool closed = false;
            if (!http.ServeOne(stream, closed, PrepareRequest) || closed)
                break;
        }
    } catch (...) {
        // A failed connection ends; the server goes on.
    }
    std::lock_guard lock(mu);
    connection->fd.reset();
    connection->done = true;
}

bool PubServer::Impl::Pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mu);
    if (duration.count() <= 0)
        return !stopping;
    return !stopCv.wait_for(lock, duration, [this] { return stopping; });
}

void PubServer::Impl::StallUntilStopOrHangup() {
    pollfd fds[2] = {{wakeRead.get(), POLLIN, 0}, {-1, POLLRDHUP, 0}};
    if (tlsConnection != nullptr)
        fds[1].fd = tlsConnection->fd.get();
    int r;
    do {
        r = ::poll(fds, 2, -1);
    } while (r < 0 && errno == EINTR);
}

std::optional<FaultKind> PubServer::Impl::FindFault(const std::string& number, Stage stage,
                                                    int page) {
    const bool paged = stage == Stage::Viewer || stage == Stage::Navigation ||
                       stage == Stage::PagePdf || stage == Stage::OpsPage;
    std::lock_guard lock(faultMu);
    for (const auto& [n, f] : faults) {
        if (f.stage != stage)
            continue;
        const bool numberless = stage == Stage::Session || stage == Stage::OpsToken ||
                                stage == Stage::DpmaVersion || stage == Stage::Robots;
        if (!numberless && n != "*" && n != number)
            continue;
        if (paged && f.page != 0 && f.page != page)
            continue;
        return f.kind;
    }
    return std::nullopt;
}

std::optional<Entry> PubServer::Impl::Lookup(const std::string& number) const {
    if (number == kSeveralPages)
        return Entry{{{number, kSeveralPagesCount}}, false, 0};
    if (number == kManyPages)
        return Entry{{{number, kManyPagesCount}}, false, 0};
    if (number == kSelectionNumber)
        return Entry{{{kSelectionDocA, kSelectionDocAPages}, {kSelectionDocB, kSelectionDocBPages}},
                     true,
                     0};
    if (options.syntheticPages > 0 && !number.empty())
        return Entry{{{number, options.syntheticPages}}, false, options.syntheticKb};
    return std::nullopt;
}

std::string PubServer::Impl::NewSession() {
    static const char* kHex = "0123456789ABCDEF";
    std::lock_guard lock(sessionMu);
    std::string id;
    for (int i = 0; i < 32; ++i) id += kHex[random() & 0xF];
    sessions.insert(id);
    return id;
}

bool PubServer::Impl::HasSession(const httplib::Request& req) {
    std::lock_guard lock(sessionMu);
    const size_t count = req.get_header_value_count("Cookie");
    for (size_t i = 0; i < count; ++i) {
        const std::string header = req.get_header_value("Cookie", i);
        std::string_view rest = header;
        while (!rest.empty()) {
            const size_t semi = rest.find(';');
            std::string_view cookie = rest.substr(0, semi);
            while (!cookie.empty() && cookie.front() == ' ') cookie.remove_prefix(1);
            if (StartsWith(cookie, "JSESSIONID=") &&
                sessions.count(std::string(cookie.substr(11))) > 0)
                return true;
            if (semi == std::string_view::npos)
                break;
            rest.remove_prefix(semi + 1);
        }
    }
    return false;
}

void PubServer::Impl::Record(const RequestLogEntry& entry) {
    std::lock_guard lock(logMu);
    log.push_back(entry);
    if (observer) {
        try {
            observer(entry);
        } catch (...) {
            // An observer's failure must not take the request down.
        }
    }
}

std::shared_ptr<const std::string> PubServer::Impl::PagePdf(const pages::Document& doc, int page,
                                                            int kb) {
    return CachedPdf(doc, page, kb);
}

std::shared_ptr<const std::string> PubServer::Impl::CachedPdf(const pages::Document& doc, int page,
                                                              int kb) {
    const std::string key = doc.id + '\n' + std::to_string(page) + '/' + std::to_string(doc.pages) +
                            '/' + std::to_string(kb);
    std::lock_guard lock(pdfMu);
    if (auto it = pdfCache.find(key); it != pdfCache.end())
        return it->second;
    auto pdf = std::make_shared<const std::string>(
        page == 0 ? pages::RenderDocumentPdf(doc.id, doc.pages, kb)
                  : pages::RenderPagePdf(doc.id, page, doc.pages, kb));
    if (pdfCacheBytes + pdf->size() > kPdfCacheLimit) {
        pdfCache.clear();
        pdfCacheBytes = 0;
    }
    pdfCache.emplace(key, pdf);
    pdfCacheBytes += pdf->size();
    return pdf;
}

EndpointHooks PubServer::Impl::WholeDocumentHooks() {
    return EndpointHooks{
        [this](const std::string& n, Stage s) { return FindFault(n, s, 0); },
        [this](httplib::Response& r, std::optional<FaultKind> f, const std::string& n,
               std::string body, const char* type) { Respond(r, f, n, std::move(body), type); },
        [this](const std::string& name, int pages) {
            return CachedPdf({name, pages}, 0, options.syntheticKb);
        },
        [this](const httplib::Request& req) {
            // The Host the client named, so links lead back the way it came.
            const std::string host = req.get_header_value("Host");
            if (host.empty() || host.find_first_of("/?#@ \t") != std::string::npos)
                return "http://127.0.0.1:" + std::to_string(port.load());
            const bool hasPort = host.back() != ']' && host.rfind(':') != std::string::npos;
            return "http://" + host + (hasPort ? "" : ":" + std::to_string(port.load()));
        }};
}

void PubServer::Impl::Respond(httplib::Response& res, std::optional<FaultKind> fault,
                              const std::string& number, std::string body, const char* type) {
    res.status = 200;
    if (!fault) {
        res.set_content(body, type);
        return;
    }
    switch (*fault) {
        case FaultKind::Stall:
            res.set_chunked_content_provider(type, [this](size_t, httplib::DataSink&) {
                StallUntilStopOrHangup();
                return false;
            });
            return;
        case FaultKind::SlowDrip: {
            auto data = std::make_shared<const std::string>(std::move(body));
            const size_t piece = std::max<size_t>(8, data->size() / kDripPieces);
            res.set_chunked_content_provider(type, [this, data, piece](size_t offset,
                                                                       httplib::DataSink& sink) {
                if (offset >= data->size()) {
                    sink.done();
                    return true;
                }
                if (offset > 0 && !Pause(kDripPause))
                    return false;
                return sink.write(data->data() + offset, std::min(piece, data->size() - offset));
            });
            return;
        }
        case FaultKind::EmptyBody:
            res.set_content("", type);
            return;
        case FaultKind::ErrorPage:
            res.status = 500;
            res.set_content(pages::ServerErrorPage(), kHtml);
            return;
        case FaultKind::Truncated: {
            auto data = std::make_shared<const std::string>(std::move(body));
            const size_t half = data->size() / 2;
            // Returning false after half the body makes httplib drop the connection.
            res.set_content_provider(
                data->size(), type, [data, half](size_t offset, size_t, httplib::DataSink& sink) {
                    return offset < half && sink.write(data->data() + offset, half - offset);
                });
            return;
        }
        case FaultKind::HtmlInsteadOfPdf:
            res.set_content(pages::NotAvailablePage(), kHtml);
            return;
        case FaultKind::HugePage: {
            constexpr size_t kHuge = 65u << 20;
            res.set_content_provider(
                kHuge, type, [](size_t offset, size_t length, httplib::DataSink& sink) {
                    static const std::string block(1u << 16, '%');
                    return sink.write(block.data(),
                                      std::min({block.size(), length, kHuge - offset}));
                });
            return;
        }
        case FaultKind::NoMatch:
            res.set_content(pages::NoMatchPage(number), kHtml);
            return;
        case FaultKind::Deep:
        case FaultKind::Bomb:
        case FaultKind::ManyObjects:
            if (std::string_view(type) == kPdf) {
                SetShared(res, HostilePage(*fault), type);
                return;
            }
            res.set_content(body, type);
            return;
        case FaultKind::MissingLink:
        case FaultKind::CountMismatch:
        case FaultKind::HostileNames:
        case FaultKind::ForeignName:
        case FaultKind::TwinNames:
        case FaultKind::NoHits:
        case FaultKind::EscapesInLink:
        case FaultKind::Endless:
        case FaultKind::NotFound:
        case FaultKind::Unauthorized:
        case FaultKind::Quota:
        case FaultKind::Robot:
        case FaultKind::Black:
        case FaultKind::Status401:
        case FaultKind::Status403:
        case FaultKind::Oversize:
        case FaultKind::Busy:
        case FaultKind::Sorry:
        case FaultKind::Offsite:
        case FaultKind::NoRange:
        case FaultKind::TokenRefused:
        case FaultKind::Bulky:
        case FaultKind::Exponent:
        case FaultKind::ServiceFlood:
        case FaultKind::LongWait:
            // Already part of the page.
            res.set_content(body, type);
            return;
    }
}

namespace {

// Sends body as a stream: httplib would cut a plain body by the request's
// Range header on its own, whatever the status.
void SendStreamed(httplib::Response& res, int status, std::string body) {
    const std::string type = res.get_header_value("Content-Type");
    auto data = std::make_shared<const std::string>(std::move(body));
    res.status = status;
    res.body.clear();
    res.set_chunked_content_provider(type.empty() ? "application/octet-stream" : type,
                                     [data](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= data->size()) {
                                             sink.done();
                                             return true;
                                         }
                                         return sink.write(data->data() + offset,
                                                           data->size() - offset);
                                     });
}

}  // namespace

void AnswerRange(const httplib::Request& req, httplib::Response& res,
                 std::optional<FaultKind> fault) {
    const std::string range = req.get_header_value("Range");
    if (range.empty() || res.status != 200 || res.body.empty())
        return;
    constexpr std::string_view kBytes = "bytes=";
    const std::string_view digits =
        range.starts_with(kBytes) && range.ends_with("-")
            ? std::string_view(range).substr(kBytes.size(), range.size() - kBytes.size() - 1)
            : std::string_view();
    const bool plain =
        !digits.empty() && digits.size() <= 15 &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (fault || !plain) {
        SendStreamed(res, 200, std::move(res.body));
        return;
    }
    const size_t from = std::stoull(std::string(digits));
    const size_t size = res.body.size();
    if (from >= size) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        res.set_content("", "text/plain");
        return;
    }
    res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                        std::to_string(size - 1) + "/" + std::to_string(size));
    SendStreamed(res, 206, res.body.substr(from));
}

std::optional<Stage> PubServer::Impl::Note(const httplib::Request& req, const std::string& path,
                                           const std::string& query, std::string& number,
                                           bool& firstOnConnection, bool& hasSession) {
    Connection* connection = tlsConnection;
    firstOnConnection = false;
    if (connection != nullptr && !connection->sawRequest) {
        connection->sawRequest = true;
        firstOnConnection = true;
        ++connectionCount;
    }
    RequestLogEntry entry;
    entry.method = req.method;
    entry.target = req.target;
    entry.path = path;
    entry.userAgent = req.get_header_value("User-Agent");
    entry.acceptLanguage = req.get_header_value("Accept-Language");
    entry.range = req.get_header_value("Range");
    entry.hasSessionCookie = HasSession(req);
    entry.clientPort = req.remote_port;
    const std::optional<Stage> stage = Classify(path, query, entry, number);
    hasSession = entry.hasSessionCookie;
    Record(entry);
    return stage;
}

bool PubServer::Impl::HandleOtherSource(const httplib::Request& req, const std::string& path,
                                        httplib::Response& res) {
    if (StartsWith(path, kOpsRoot)) {
        ops.Handle(
            req, path, res,
            OpsHooks{[this](const std::string& n, Stage s, int p) { return FindFault(n, s, p); },
                     [this](httplib::Response& r, std::optional<FaultKind> f, const std::string& n,
                            std::string body,
                            const char* type) { Respond(r, f, n, std::move(body), type); },
                     [this](const std::string& name, int page, int pages) {
                         return PagePdf({name, pages}, page, options.syntheticKb);
                     }});
        return true;
    }
    if (StartsWith(path, kDpmaRoot)) {
        dpma.Handle(req, path, res, WholeDocumentHooks());
        return true;
    }
    if (GoogleEndpoints::Owns(path)) {
        google.Handle(req, path, res, WholeDocumentHooks());
        return true;
    }
    return false;
}

void PubServer::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
    const std::string path = OriginPath(req.path);
    const size_t mark = req.target.find('?');
    const std::string query = mark == std::string::npos ? "" : req.target.substr(mark + 1);
    std::string number;
    bool firstOnConnection = false;
    bool hasSession = false;
    const std::optional<Stage> stage =
        Note(req, path, query, number, firstOnConnection, hasSession);

    if (!Pause(options.latency + options.rtt * (firstOnConnection ? 2 : 1))) {
        res.status = 503;
        res.set_content(pages::ServerErrorPage(), kHtml);
        return;
    }
    if (HandleOtherSource(req, path, res))
        return;
    if (!stage) {
        res.status = 404;
        res.set_content(pages::NotFoundPage(), kHtml);
        return;
    }
    if (*stage == Stage::Session) {
        res.set_header("Set-Cookie",
                       "JSESSIONID=" + NewSession() + "; Path=/DPMApublikationen; HttpOnly");
        Respond(res, FindFault(number, Stage::Session, 0), number, pages::SessionPage(), kHtml);
        return;
    }
    if (!hasSession) {
        res.status = 200;
        res.set_content(pages::SessionExpiredPage(), kHtml);
        return;
    }
    HandleChain(res, *stage, number, query);
}

void PubServer::Impl::HandleChain(httplib::Response& res, Stage stage, const std::string& number,
                                  const std::string& query) {
    const std::optional<Entry> found = Lookup(number);
    const int doc = ToInt(pages::QueryField(query, "d"), 0);
    const int page = ToInt(pages::QueryField(query, "page"), 1);
    // A document that never ends: every page is there and has a next one.
    const bool endless = FindFault(number, Stage::Navigation, page) == FaultKind::Endless;
    const bool docValid = found && doc >= 0 && doc < static_cast<int>(found->docs.size()) &&
                          page >= 1 &&
                          (endless || page <= found->docs[static_cast<size_t>(doc)].pages);
    const auto fault = FindFault(number, stage, stage == Stage::Hit ? 1 : page);
    const bool missingLink = fault == FaultKind::MissingLink;

    switch (stage) {
        case Stage::Search:
            Respond(res, fault, number,
                    found ? pages::HitListPage(number, !missingLink,
                                               fault == FaultKind::EscapesInLink ? kEscapes : "")
                          : pages::NoMatchPage(number),
                    kHtml);
            return;
        case Stage::Hit:
            if (!found || pages::QueryField(query, "alt"))
                break;
            RespondToHit(res, fault, number, *found);
            return;
        case Stage::Viewer:
            if (!docValid || pages::QueryField(query, "alt"))
                break;
            Respond(res, fault, number,
                    pages::ViewerPage(number, found->docs[static_cast<size_t>(doc)], doc, page,
                                      !missingLink),
                    kHtml);
            return;
        case Stage::Navigation:
            if (!docValid)
                break;
            Respond(
                res, fault, number,
                pages::NavigationPage(
                    number, doc, page,
                    endless ? page + 1 : found->docs[static_cast<size_t>(doc)].pages, !missingLink),
                kHtml);
            return;
        case Stage::PagePdf:
            if (!docValid)
                break;
            // Past its real end an endless document repeats its last page.
            Respond(
                res, fault, number,
                *PagePdf(found->docs[static_cast<size_t>(doc)],
                         std::min(page, found->docs[static_cast<size_t>(doc)].pages), found->kb),
                kPdf);
            return;
        case Stage::Session:
        case Stage::OpsToken:
        case Stage::OpsInquiry:
        case Stage::OpsPage:
        case Stage::OpsBiblio:
        case Stage::DpmaVersion:
        case Stage::DpmaPdf:
        case Stage::Robots:
        case Stage::PatentPage:
        case Stage::PatentPdf:
            break;
    }
    // A link that leads nowhere: the wrong hit, or a document or page that does not exist.
    Respond(res, fault, number, pages::NotAvailablePage(), kHtml);
}

std::optional<Stage> PubServer::Impl::Classify(const std::string& path, const std::string& query,
                                               RequestLogEntry& entry, std::string& number) const {
    const std::string root = pages::kRoot;
    std::optional<Stage> stage;
    if (path == root + "start.do") {
        stage = Stage::Session;
    } else if (path == root + "lst_pat_xpt.do") {
        number = pages::QueryField(query, "query").value_or("");
        if (StartsWith(number, "pn="))
            number.erase(0, 3);
        entry.queryNumber = number;
        return Stage::Search;
    } else if (StartsWith(path, root + "pdf_any_pgd")) {
        stage = pages::QueryField(query, "hit") == "1" ? Stage::Hit : Stage::Viewer;
    } else if (StartsWith(path, root + "pdm_any_pgd")) {
        stage = Stage::Navigation;
    } else if (StartsWith(path, root + "schriften/")) {
        stage = Stage::PagePdf;
    }
    if (stage)
        number = pages::QueryField(query, "pn").value_or("");
    return stage;
}

void PubServer::Impl::RespondToHit(httplib::Response& res, std::optional<FaultKind> fault,
                                   const std::string& number, const Entry& found) {
    const bool missingLink = fault == FaultKind::MissingLink;
    if (!found.selection && !IsSelectionFault(fault)) {
        Respond(res, fault, number,
                pages::ViewerPage(number, found.docs.front(), 0, 1, !missingLink), kHtml);
        return;
    }
    std::vector<pages::SelectionLink> links = SelectionLinks(found, fault);
    const int promised =
        fault == FaultKind::NoHits
            ? 0
            : static_cast<int>(links.size()) + (fault == FaultKind::CountMismatch ? 1 : 0);
    if (missingLink)
        links.clear();
    Respond(res, fault, number, pages::SelectionPage(number, links, promised), kHtml);
}

PubServer::PubServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PubServer::~PubServer() {
    Stop();
}

bool PubServer::Start() {
    return impl_->Start();
}

void PubServer::Stop() {
    impl_->Stop();
}

int PubServer::Port() const {
    return impl_->port;
}

std::string PubServer::BaseUrl() const {
    const std::string& host = impl_->options.host;
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(Port());
}

void PubServer::AddFault(const std::string& number, Fault fault) {
    std::lock_guard lock(impl_->faultMu);
    impl_->faults.emplace_back(number, fault);
}

void PubServer::ClearFaults() {
    std::lock_guard lock(impl_->faultMu);
    impl_->faults.clear();
}

std::vector<RequestLogEntry> PubServer::RequestLog() const {
    std::lock_guard lock(impl_->logMu);
    return impl_->log;
}

void PubServer::ClearRequestLog() {
    std::lock_guard lock(impl_->logMu);
    impl_->log.clear();
}

int PubServer::ConnectionCount() const {
    return impl_->connectionCount;
}

std::vector<std::string> PubServer::OpsTokensIssued() const {
    return impl_->ops.TokensIssued();
}

void PubServer::SetRequestObserver(std::function<void(const RequestLogEntry&)> observer) {
    std::lock_guard lock(impl_->logMu);
    impl_->observer = std::move(observer);
}

const std::vector<std::pair<std::string, Stage>>& StageNames() {
    static const std::vector<std::pair<std::string, Stage>> names = {
        {"session", Stage::Session},
        {"search", Stage::Search},
        {"hit", Stage::Hit},
        {"viewer", Stage::Viewer},
        {"navigation", Stage::Navigation},
        {"pdf", Stage::PagePdf},
        {"opstoken", Stage::OpsToken},
        {"opsinquiry", Stage::OpsInquiry},
        {"opspage", Stage::OpsPage},
        {"opsbiblio", Stage::OpsBiblio},
        {"dpmaversion", Stage::DpmaVersion},
        {"dpmapdf", Stage::DpmaPdf},
        {"robots", Stage::Robots},
        {"gpage", Stage::PatentPage},
        {"gpdf", Stage::PatentPdf}};
    return names;
}

const std::vector<std::pair<std::string, FaultKind>>& FaultKindNames() {
    static const std::vector<std::pair<std::string, FaultKind>> names = {
        {"stall", FaultKind::Stall},
        {"drip", FaultKind::SlowDrip},
        {"empty", FaultKind::EmptyBody},
        {"error", FaultKind::ErrorPage},
        {"truncated", FaultKind::Truncated},
        {"norange", FaultKind::NoRange},
        {"html", FaultKind::HtmlInsteadOfPdf},
        {"nolink", FaultKind::MissingLink},
        {"count", FaultKind::CountMismatch},
        {"hostile", FaultKind::HostileNames},
        {"nomatch", FaultKind::NoMatch},
        {"foreign", FaultKind::ForeignName},
        {"twins", FaultKind::TwinNames},
        {"nohits", FaultKind::NoHits},
        {"escapes", FaultKind::EscapesInLink},
        {"huge", FaultKind::HugePage},
        {"endless", FaultKind::Endless},
        {"notfound", FaultKind::NotFound},
        {"auth", FaultKind::Unauthorized},
        {"quota", FaultKind::Quota},
        {"robot", FaultKind::Robot},
        {"black", FaultKind::Black},
        {"http401", FaultKind::Status401},
        {"http403", FaultKind::Status403},
        {"oversize", FaultKind::Oversize},
        {"busy", FaultKind::Busy},
        {"sorry", FaultKind::Sorry},
        {"offsite", FaultKind::Offsite},
        {"deep", FaultKind::Deep},
        {"bomb", FaultKind::Bomb},
        {"objects", FaultKind::ManyObjects},
        {"bulky", FaultKind::Bulky},
        {"exponent", FaultKind::Exponent},
        {"services", FaultKind::ServiceFlood},
        {"longwait", FaultKind::LongWait}};
    return names;
}

bool ParseFault(const std::string& text, std::string& number, Fault& fault) {
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        const size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    // Read from the right: the number itself may hold colons.
    size_t n = parts.size();
    int page = 0;
    const auto digits = [](const std::string& s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (n >= 4 && digits(parts[n - 1])) {
        page = ToInt(parts[n - 1], -1);
        if (page <= 0)
            return false;
        --n;
    }
    if (n < 3)
        return false;
    const auto named = [](const auto& names, const std::string& name) {
        return std::find_if(names.begin(), names.end(),
                            [&](const auto& entry) { return entry.first == name; });
    };
    const auto kind = named(FaultKindNames(), parts[n - 1]);
    const auto stage = named(StageNames(), parts[n - 2]);
    std::string joined = parts[0];
    for (size_t i = 1; i + 2 < n; ++i) joined += ":" + parts[i];
    if (kind == FaultKindNames().end() || stage == StageNames().end() || joined.empty())
        return false;
    number = joined;
    fault = Fault{stage->second, kind->second, page};
    return true;
}

}  // namespace kestrane::pubserver
