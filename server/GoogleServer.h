// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in's Google Patents: robots.txt, one page per publication whose
// head carries the meta tags Google's pages were seen carrying, and the PDF
// the page's citation_pdf_url names, which points back to this server. Its
// blocks (429, 503, a redirect to /sorry/) come on request (see FaultKind).
#pragma once

#include <string>

#include "server/Endpoints.h"
#include "server/PubServer.h"

namespace kestrane::pubserver {

// Where the PDFs live on the stand-in: under /patent/, which Google's
// robots.txt allows, so the reported file can be served unchanged.
inline constexpr const char* kGooglePdfRoot = "/patent/pdf/";

class GoogleEndpoints {
  public:
    explicit GoogleEndpoints(const ServerOptions& options) : options_(options) {}
    // True for the paths these endpoints answer.
    static bool Owns(const std::string& path);
    // Any thread.
    void Handle(const httplib::Request& req, const std::string& path, httplib::Response& res,
                const EndpointHooks& hooks) const;
    // The address of number's PDF on the server at self ("http://host:port"):
    // folders that cannot be derived from the number without this server's rule.
    static std::string PdfUrl(const std::string& self, const std::string& compact);

  private:
    void Robots(httplib::Response& res, const EndpointHooks& hooks) const;
    void Page(const httplib::Request& req, const std::string& compact, httplib::Response& res,
              const EndpointHooks& hooks) const;
    void Pdf(const httplib::Request& req, const std::string& path, httplib::Response& res,
             const EndpointHooks& hooks) const;

    const ServerOptions& options_;
};

}  // namespace kestrane::pubserver
