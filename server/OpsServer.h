// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in's EPO OPS endpoints under /3.2/: the token, the images
// inquiry, single pages and bibliographic data, answered with the bodies and headers OPS was
// recorded sending, and its refusals on request (see FaultKind).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/PubServer.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace kestrane::pubserver {

inline constexpr const char* kOpsRoot = "/3.2/";

// What the OPS endpoints borrow from the server: its faults, its way of
// answering with one (stall, drip, truncation, ...), and its page PDFs.
struct OpsHooks {
    std::function<std::optional<FaultKind>(const std::string& number, Stage stage, int page)>
        FindFault;
    std::function<void(httplib::Response&, std::optional<FaultKind>, const std::string& number,
                       std::string body, const char* type)>
        Respond;
    std::function<std::shared_ptr<const std::string>(const std::string& name, int page, int pages)>
        PagePdf;
};

// The bibliographic answer the stand-in gives for a docdb number (country,
// number, kind): the shape of the OPS reference guide's exchange documents.
std::string OpsBiblioXml(const std::string& cc, const std::string& n, const std::string& k);

class OpsEndpoints {
  public:
    explicit OpsEndpoints(const ServerOptions& options) : options_(options) {}
    // Any thread.
    void Handle(const httplib::Request& req, const std::string& path, httplib::Response& res,
                const OpsHooks& hooks);
    std::vector<std::string> TokensIssued() const;

  private:
    void Token(const httplib::Request& req, httplib::Response& res, const OpsHooks& hooks);
    // False (and the answer written) when the Bearer token is missing, unknown or used up.
    bool Authorised(const httplib::Request& req, httplib::Response& res);
    // True when this fault is OPS's own and the answer has been written.
    bool OpsFault(std::optional<FaultKind> fault, const std::string& target, const char* service,
                  httplib::Response& res);
    void Inquiry(const std::string& docdb, httplib::Response& res, const OpsHooks& hooks);
    void Biblio(const std::string& docdb, httplib::Response& res, const OpsHooks& hooks);
    // Counts an answer's body against the quota and says so in its headers,
    // as OPS does: running byte counts that include this answer.
    void Meter(httplib::Response& res, std::size_t bytes);
    void Page(const httplib::Request& req, const std::string& path, httplib::Response& res,
              const OpsHooks& hooks);
    // Pages of a compact number: the corpus, then synthetic documents; 0 when unknown.
    int PagesOf(const std::string& compact) const;

    const ServerOptions& options_;
    mutable std::mutex mu_;
    std::map<std::string, int> tokens_;      // mu_: token -> data requests served
    std::vector<std::string> issuedTokens_;  // mu_
    std::set<std::string> blackened_;        // mu_: targets that got their one black answer
    unsigned long long issued_ = 0;          // mu_
    unsigned long long floodNames_ = 0;      // mu_: services named by floods so far
    unsigned long long usedBytes_ = 0;       // mu_: bodies served, for the quota headers
};

}  // namespace kestrane::pubserver
