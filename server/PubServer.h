// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-pubserver: a stand-in for the patent office's publication server.
// It speaks the same request contract (start page with a session cookie,
// search form, hit lists, selection pages, viewer pages, navigation pages and
// page PDFs), serves a small generated corpus, and can inject faults and
// latency so tests, benchmarks and the demo can drive every path of the client.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrane::pubserver {

// The built-in corpus.
inline constexpr const char* kSeveralPages = "DE19758096C2";  // one document, 3 pages
inline constexpr int kSeveralPagesCount = 3;
inline constexpr const char* kSelectionNumber = "DE60218500T2";  // selection of two documents
inline constexpr const char* kSelectionDocA =
    "DE000060218500T2";  // docIdNormed of the first, 2 pages
inline constexpr int kSelectionDocAPages = 2;
inline constexpr const char* kSelectionDocB =
    "EP000001389012B1";  // docIdNormed of the second, 3 pages
inline constexpr int kSelectionDocBPages = 3;
inline constexpr const char* kManyPages = "DE102006026208A1";  // one document, 12 pages
inline constexpr int kManyPagesCount = 12;

// Where a request stands in the chain.
enum class Stage {
    Session,      // GET /DPMApublikationen/start.do
    Search,       // POST /DPMApublikationen/lst_pat_xpt.do?...
    Hit,          // GET of the first hit's link (viewer page or selection page)
    Viewer,       // GET of a later viewer page (pdf_any_pgd, page > 1, or a selection's document)
    Navigation,   // GET /DPMApublikationen/pdm_any_pgd...
    PagePdf,      // GET /DPMApublikationen/schriften/...
    OpsToken,     // POST /3.2/auth/accesstoken (names no number, like Session)
    OpsInquiry,   // GET /3.2/rest-services/published-data/publication/docdb/CC.N.K/images
    OpsPage,      // GET /3.2/rest-services/published-data/images/CC/N/K/fullimage.pdf?Range=n
    OpsBiblio,    // GET /3.2/rest-services/published-data/publication/docdb/CC.N.K/biblio
    DpmaVersion,  // GET /dpmaws/rest-services/DPMAregisterPatService/version (names no number)
    DpmaPdf,      // GET .../DPMAregisterPatService/getPatentpublikation_PDF/{document id}
    Robots,       // GET /robots.txt (names no number)
    PatentPage,   // GET /patent/{compact number}/{lang}
    PatentPdf,    // GET /patent/pdf/../{compact number}.pdf, where a patent page's meta points
};

enum class FaultKind {
    Stall,             // send headers, then nothing until the server stops (or the client gives up)
    SlowDrip,          // send the body a few bytes at a time with pauses
    EmptyBody,         // 200 with an empty body
    ErrorPage,         // 500 with an HTML body
    Truncated,         // announce a Content-Length, close after half of it
    HtmlInsteadOfPdf,  // a page PDF request answered with an HTML error page (200)
    MissingLink,    // Viewer/Hit: no navigation link; Navigation: no next-page link; Search: no hit
                    // link
    CountMismatch,  // selection page promises one more hit than it links
    HostileNames,   // selection links carry docIdNormed values like "../../evil" and "a/b"
    ForeignName,    // the first selection link is named "keep", like a file of the user's
    TwinNames,      // every selection link carries the first document's docIdNormed
    NoHits,         // selection page promises 0 hits
    EscapesInLink,  // Search: the first hit's link carries terminal escape sequences
    HugePage,       // PagePdf: a body of 65 MiB
    Endless,        // Navigation: every page has a next page, the document never ends
    NoMatch,        // answer with the no-match notice
    // EPO OPS answers (the OPS stages only):
    NotFound,      // 404 SERVER.EntityNotFound
    Unauthorized,  // 401 with the gateway's error body
    Quota,         // 403 fair use, X-Rejection-Reason: IndividualQuotaPerHour
    Robot,         // 403 CLIENT.RobotDetected
    Black,         // once per request target: 403, the service black, Retry-After
    TokenRefused,  // 400 invalid_access_token for every token, a fresh one too
    // DPMAconnectPlus and Google Patents answers (their stages only):
    Status401,  // DPMA: 401 with a Basic challenge
    Status403,  // DPMA: 403 with the Transaction error "Permission denied"
    Oversize,   // DPMA PDF: announces a body beyond 512 MiB, sends a little, then closes
    Busy,       // Google: 503 with Google's "unusual traffic" page
    Sorry,      // Google: 302 to /sorry/index
    Offsite,    // Google page: citation_pdf_url points to another host
    // Built to hurt (server/Hostile.h); EscapesInLink also serves the OPS stages:
    // opstoken a 401 <message>, opsinquiry a 404 <code>, opspage a 403 X-Rejection-Reason.
    Deep,          // pdf, opspage: a page starting a 60,000-link object chain; opstoken: JSON
                   // nested 100,000 deep; opsinquiry: the instance inside 60,000 elements
    Bomb,          // pdf, opspage: a 1 MB page whose objects inflate to 1 GiB
    ManyObjects,   // pdf, opspage: a page of 1,000,000 small objects (57 MB)
    Bulky,         // opsinquiry: 64 MB of empty elements
    Exponent,      // opsinquiry: number-of-pages="1e9"
    ServiceFlood,  // opsinquiry, opspage: X-Throttling-Control naming 12,000 new services
    LongWait,      // opsinquiry, opspage: once per target, black with a 20-digit Retry-After
};

struct Fault {
    Stage stage;
    FaultKind kind;
    int page = 0;  // for Viewer/Navigation/PagePdf: only this page number (1-based); 0 = every page
};

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free port
    // Any number outside the corpus becomes a document of this many pages of
    // about syntheticKb KB each; 0 pages: unknown numbers get the no-match notice.
    int syntheticPages = 0;
    int syntheticKb = 0;
    // Added before every response.
    std::chrono::milliseconds latency{0};
    // Emulated network round trip: every response waits one rtt, the first
    // response on a new TCP connection one more (the handshake).
    std::chrono::milliseconds rtt{0};
    // EPO OPS endpoints under /3.2/: the credentials the token endpoint
    // accepts, how many data requests a token serves before it expires (0:
    // never), the X-Throttling-Control every answer carries, and the
    // Retry-After (ms) of a black answer.
    std::string opsKey = "demo-key";
    std::string opsSecret = "demo-secret";
    int opsTokenUses = 0;
    std::string opsThrottling =
        "idle (images=green:200, inpadoc=green:60, other=green:1000, retrieval=green:200, "
        "search=green:30)";
    int opsRetryAfterMs = 1000;
    // What the week's quota count (X-RegisteredQuotaPerWeek-Used) holds
    // before the server's first answer: earlier runs of the week.
    unsigned long long opsWeekUsedBefore = 1234567890;
    // DPMAconnectPlus under /dpmaws/rest-services/: the Basic credentials it
    // accepts, and which document ids of a DE number shorter than 12 digits
    // find its PDF: "padded" (DE000019758096C2), "plain" (DE19758096C2) or "both".
    std::string dpmaUser = "demo-user";
    std::string dpmaPassword = "demo-password";
    std::string dpmaIds = "padded";
    // Google Patents at the root: which robots.txt it serves ("google": the
    // reported file; "kestrane": a group for Kestrane that keeps it off
    // /patent/; "closed": everything disallowed for everyone).
    std::string googleRobots = "google";
};

// One request as the server saw it.
struct RequestLogEntry {
    std::string method;
    std::string target;  // as sent (origin-form or absolute-form)
    std::string path;    // path without query
    std::string userAgent;
    std::string acceptLanguage;
    bool hasSessionCookie = false;
    std::string queryNumber;  // the decoded pn= value for a search, else ""
    int clientPort = 0;       // tells TCP connections apart
};

class PubServer {
  public:
    explicit PubServer(ServerOptions options = {});
    ~PubServer();  // Stop()
    PubServer(const PubServer&) = delete;
    PubServer& operator=(const PubServer&) = delete;

    // Binds and starts serving on a thread of its own. False when it cannot bind.
    bool Start();
    // Stops at once, also ending stalled and dripping responses.
    void Stop();

    int Port() const;
    std::string BaseUrl() const;  // "http://127.0.0.1:PORT"

    // Faults for one number (as the client typed it, decoded), any thread.
    // The number "*" stands for every number. A session start names no number,
    // so Session faults apply to every session start whatever number they carry.
    // The first fault added that fits a request is the one applied.
    void AddFault(const std::string& number, Fault fault);
    void ClearFaults();

    std::vector<RequestLogEntry> RequestLog() const;
    void ClearRequestLog();
    // Distinct TCP connections seen so far.
    int ConnectionCount() const;
    // Every EPO OPS access token issued so far (tests look for leaks).
    std::vector<std::string> OpsTokensIssued() const;

    // Called once for every request as it arrives, on the thread serving it,
    // one call at a time; it must not call Stop(). Any thread.
    void SetRequestObserver(std::function<void(const RequestLogEntry&)> observer);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Parses "NUMBER:STAGE:KIND[:PAGE]" (stage: session search hit viewer navigation pdf;
// kind: stall drip empty error truncated html nolink count hostile foreign twins nohits escapes
// huge endless nomatch deep bomb objects, and for OPS notfound auth quota robot black bulky
// exponent services longwait); OPS stages:
// opstoken opsinquiry opspage opsbiblio, OPS numbers written compact ("DE19758096C2").
// DPMAconnectPlus stages dpmaversion dpmapdf (kinds auth http401 http403 notfound oversize and
// the generic ones); Google Patents stages robots gpage gpdf (kinds quota busy sorry robot
// offsite nolink notfound nomatch and the generic ones). Their numbers are written compact.
bool ParseFault(const std::string& text, std::string& number, Fault& fault);

// The names --fault takes for stages and kinds, in the order the help lists them.
const std::vector<std::pair<std::string, Stage>>& StageNames();
const std::vector<std::pair<std::string, FaultKind>>& FaultKindNames();

}  // namespace kestrane::pubserver
