// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/GoogleServer.h"

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "server/Pages.h"

namespace kestrane::pubserver {

namespace {

constexpr const char* kHtml = "text/html; charset=UTF-8";
constexpr const char* kPdf = "application/pdf";

// As third parties quoted it in 2026.
constexpr const char* kGoogleRobots =
    "User-agent: *\nDisallow: /*\nAllow: /$\nAllow: /advanced$\nAllow: /patent/\n"
    "Allow: /sitemap/\n";
// A group of Kestrane's own keeps it off the pages the others may read.
constexpr const char* kKestraneRobots =
    "# Kestrane, keep off\nUser-agent: *\nDisallow: /*\nAllow: /patent/\n\n"
    "User-agent: Kestrane\nDisallow: /patent/\n";
constexpr const char* kClosedRobots = "User-agent: *\nDisallow: /\n";

std::string SorryPage() {
    return "<html><head><title>Sorry...</title></head><body>\n"
           "<h1>Sorry...</h1>\n<p>We're sorry... but your computer or network may be sending "
           "automated queries. To protect our users, we can't process your request right "
           "now.</p>\n<p>Our systems have detected unusual traffic from your computer network. "
           "Please solve the CAPTCHA below.</p>\n</body></html>\n";
}

std::string NotFoundPage() {
    return "<!DOCTYPE html>\n<html><head><title>Google Patents</title></head><body>\n"
           "<p>Sorry, we couldn't find this patent.</p>\n</body></html>\n";
}

struct Biblio {
    const char* title;
    const char* filed;
    const char* published;
};

Biblio BiblioOf(const std::string& compact) {
    if (compact == kSeveralPages)
        return {"Device for sorting sheets &amp; method of operating it", "1997-12-30",
                "2001-05-10"};
    if (compact == kSelectionNumber)
        return {"Stand-in translation of a European patent", "2002-09-18", "2007-10-25"};
    if (compact == kManyPages)
        return {"Stand-in application with many pages", "2006-06-07", "2007-12-13"};
    return {"Stand-in publication", "2020-01-02", "2021-07-08"};
}

// "DE:19758096:C2", as the page's citation_patent_publication_number has it.
std::string ColonNumber(const std::string& compact) {
    std::size_t i = 2;
    while (i < compact.size() && compact[i] >= '0' && compact[i] <= '9') ++i;
    return compact.substr(0, 2) + ":" + compact.substr(2, i - 2) + ":" + compact.substr(i);
}

std::string RecordPage(const std::string& compact, const std::string& pdfUrl) {
    const Biblio b = BiblioOf(compact);
    const std::string name = pages::HtmlEscape(compact);
    std::string head =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<title>" + name + " - " + b.title +
        " - Google Patents</title>\n"
        "<meta name=\"description\" content=\"A stand-in abstract of " +
        name +
        ".\">\n<meta name=\"DC.type\" content=\"patent\">\n"
        "<meta name=\"DC.title\" content=\"" +
        b.title + "\n        \">\n<meta name=\"DC.date\" content=\"" + b.filed +
        "\" scheme=\"dateSubmitted\">\n"
        "<meta name=\"DC.description\" content=\"A stand-in abstract of " +
        name +
        ".\">\n<meta name=\"DC.contributor\" content=\"Erika Mustermann\" scheme=\"inventor\">\n"
        "<meta name=\"DC.contributor\" content=\"Max M&#252;ller\" scheme=\"inventor\">\n"
        "<meta name=\"DC.contributor\" content=\"Kestrane Stand-in GmbH\" scheme=\"assignee\">\n"
        "<meta name=\"DC.date\" content=\"" +
        b.published + "\">\n<meta name=\"citation_patent_publication_number\" content=\"" +
        ColonNumber(compact) + "\">\n";
    if (!pdfUrl.empty())
        head += "<meta name=\"citation_pdf_url\" content=\"" + pages::HtmlEscape(pdfUrl) + "\">\n";
    head += "<link rel=\"canonical\" href=\"https://patents.google.com/patent/" + name +
            "/en\">\n</head>\n";
    std::string body =
        "<body>\n<script>window.dataLayer = [{'a': '<meta name=x>'}];</script>\n"
        "<article class=\"result\" itemscope>\n<h1 itemprop=\"pageTitle\">" +
        name + " - " + b.title + "</h1>\n<dd itemprop=\"publicationNumber\">" + name + "</dd>\n";
    if (!pdfUrl.empty())
        body +=
            "<a href=\"" + pages::HtmlEscape(pdfUrl) + "\" itemprop=\"pdfLink\">Download PDF</a>\n";
    return head + body + "</article>\n</body>\n</html>\n";
}

// Three folders of two hex digits and one of fourteen, from the number.
std::string Folders(const std::string& compact) {
    std::uint64_t a = 1469598103934665603ULL;
    std::uint64_t b = 7809847782465536322ULL;
    for (char c : compact) {
        a = (a ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        b = (b ^ static_cast<unsigned char>(c)) * 1099511628211ULL + 1;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%02x/%02x/%02x/%014llx", static_cast<unsigned>(a & 0xFF),
                  static_cast<unsigned>((a >> 8) & 0xFF), static_cast<unsigned>((a >> 16) & 0xFF),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFFFull));
    return text;
}

// True when this fault is one of Google's blocks and the answer has been written.
bool Blocked(std::optional<FaultKind> fault, const std::string& self, httplib::Response& res) {
    if (fault == FaultKind::Quota) {
        res.status = 429;
        res.set_content(SorryPage(), kHtml);
    } else if (fault == FaultKind::Busy) {
        res.status = 503;
        res.set_content(SorryPage(), kHtml);
    } else if (fault == FaultKind::Sorry) {
        res.status = 302;
        res.set_header("Location",
                       self + "/sorry/index?continue=" + pages::EncodeComponent(self + "/patent/"));
        res.set_content("", kHtml);
    } else if (fault == FaultKind::NotFound) {
        res.status = 404;
        res.set_content(NotFoundPage(), kHtml);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool GoogleEndpoints::Owns(const std::string& path) {
    return path == "/robots.txt" || path.starts_with("/patent/") || path.starts_with("/sorry/");
}

std::string GoogleEndpoints::PdfUrl(const std::string& self, const std::string& compact) {
    return self + kGooglePdfRoot + Folders(compact) + "/" + compact + ".pdf";
}

void GoogleEndpoints::Handle(const httplib::Request& req, const std::string& path,
                             httplib::Response& res, const EndpointHooks& hooks) const {
    if (path == "/robots.txt") {
        Robots(res, hooks);
        return;
    }
    if (path.starts_with("/sorry/")) {
        res.status = 429;
        res.set_content(SorryPage(), kHtml);
        return;
    }
    if (path.starts_with(kGooglePdfRoot)) {
        Pdf(req, path, res, hooks);
        return;
    }
    // /patent/NUMBER or /patent/NUMBER/lang
    std::string rest = path.substr(8);
    if (const auto slash = rest.find('/'); slash != std::string::npos)
        rest.erase(slash);
    Page(req, rest, res, hooks);
}

void GoogleEndpoints::Robots(httplib::Response& res, const EndpointHooks& hooks) const {
    const auto fault = hooks.FindFault("", Stage::Robots);
    if (fault == FaultKind::NotFound) {
        res.status = 404;
        res.set_content(NotFoundPage(), kHtml);
        return;
    }
    if (fault == FaultKind::Busy) {
        res.status = 503;
        res.set_content(SorryPage(), kHtml);
        return;
    }
    const std::string& variant = options_.googleRobots;
    const char* text = variant == "kestrane" ? kKestraneRobots
                       : variant == "closed" ? kClosedRobots
                                             : kGoogleRobots;
    hooks.Respond(res, fault, "", text, "text/plain");
}

void GoogleEndpoints::Page(const httplib::Request& req, const std::string& compact,
                           httplib::Response& res, const EndpointHooks& hooks) const {
    const std::string self = hooks.SelfBase(req);
    const auto fault = hooks.FindFault(compact, Stage::PatentPage);
    if (Blocked(fault, self, res))
        return;
    if (fault == FaultKind::Robot) {
        res.set_content(SorryPage(), kHtml);
        return;
    }
    if (CorpusPages(compact, options_) <= 0 || fault == FaultKind::NoMatch) {
        res.status = fault == FaultKind::NoMatch ? 200 : 404;
        res.set_content(NotFoundPage(), kHtml);
        return;
    }
    std::string pdfUrl = PdfUrl(self, compact);
    if (fault == FaultKind::MissingLink) {
        pdfUrl.clear();
    } else if (fault == FaultKind::Offsite) {
        // The same server under another name: a client that followed the
        // link would show up in the request log.
        const bool viaLocalhost = self.find("//localhost") != std::string::npos;
        const std::string port = self.substr(self.rfind(':'));
        pdfUrl = PdfUrl(std::string("http://") + (viaLocalhost ? "127.0.0.1" : "localhost") + port,
                        compact);
    }
    hooks.Respond(res, fault, compact, RecordPage(compact, pdfUrl), kHtml);
}

void GoogleEndpoints::Pdf(const httplib::Request& req, const std::string& path,
                          httplib::Response& res, const EndpointHooks& hooks) const {
    const std::string file = path.substr(path.rfind('/') + 1);
    const std::string compact = file.ends_with(".pdf") ? file.substr(0, file.size() - 4) : "";
    const int pages = CorpusPages(compact, options_);
    const auto fault = hooks.FindFault(compact, Stage::PatentPdf);
    if (Blocked(fault, hooks.SelfBase(req), res))
        return;
    if (pages <= 0 || path != std::string(kGooglePdfRoot) + Folders(compact) + "/" + file) {
        res.status = 404;
        res.set_content(NotFoundPage(), kHtml);
        return;
    }
    hooks.Respond(res, fault, compact, *hooks.DocumentPdf(compact, pages), kPdf);
    AnswerRange(req, res, fault);
}

}  // namespace kestrane::pubserver
