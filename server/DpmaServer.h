// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in's DPMAconnectPlus endpoints under /dpmaws/rest-services/: the
// version call and whole publications as one PDF each, behind HTTP Basic,
// with the error answers DPMA was recorded sending (XML on 200) and its
// refusals on request (see FaultKind).
#pragma once

#include <string>

#include "server/Endpoints.h"
#include "server/PubServer.h"

namespace kestrane::pubserver {

inline constexpr const char* kDpmaRoot = "/dpmaws/rest-services/";
// What the version call answers (as the service was recorded answering).
inline constexpr const char* kDpmaVersion = "8.26.0-b12";

class DpmaEndpoints {
  public:
    explicit DpmaEndpoints(const ServerOptions& options) : options_(options) {}
    // Any thread; path starts with kDpmaRoot.
    void Handle(const httplib::Request& req, const std::string& path, httplib::Response& res,
                const EndpointHooks& hooks) const;

  private:
    // True when this fault is DPMA's own and the answer has been written.
    bool DpmaFault(std::optional<FaultKind> fault, const std::string& path,
                   httplib::Response& res) const;
    // The PDF of the document filed as compact ("" when none is), or DPMA's "no data".
    void Document(const httplib::Request& req, const std::string& compact,
                  std::optional<FaultKind> fault, const std::string& path, httplib::Response& res,
                  const EndpointHooks& hooks) const;
    // The compact number ("DE19758096C2") that id names, or "" when this
    // server does not file the document under that id.
    std::string Filed(const std::string& id) const;

    const ServerOptions& options_;
};

}  // namespace kestrane::pubserver
