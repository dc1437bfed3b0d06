// SPDX-License-Identifier: GPL-3.0-or-later
// What the stand-in's whole-document services (DPMAconnectPlus, Google
// Patents) borrow from the server: its faults, its way of answering with one
// (stall, drip, truncation, ...), its whole-document PDFs and its own address.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/PubServer.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace kestrane::pubserver {

struct EndpointHooks {
    std::function<std::optional<FaultKind>(const std::string& number, Stage stage)> FindFault;
    std::function<void(httplib::Response&, std::optional<FaultKind>, const std::string& number,
                       std::string body, const char* type)>
        Respond;
    // The whole document named name, of pages pages, as one PDF.
    std::function<std::shared_ptr<const std::string>(const std::string& name, int pages)>
        DocumentPdf;
    // "http://host:port" as the client reached the server.
    std::function<std::string(const httplib::Request&)> SelfBase;
};

// A whole document's answer (res: 200 with the whole PDF) honours
// "Range: bytes=N-": 206 with the rest and its Content-Range, 416 when N is
// past the end. Other ranges, a fault in force or NoRange: the whole, as it stands.
void AnswerRange(const httplib::Request& req, httplib::Response& res,
                 std::optional<FaultKind> fault);

// Pages of a compact number ("DE19758096C2"): the corpus, then synthetic
// documents; 0 when the number is unknown.
inline int CorpusPages(const std::string& compact, const ServerOptions& options) {
    if (compact == kSeveralPages)
        return kSeveralPagesCount;
    if (compact == kSelectionNumber)
        return kSelectionDocAPages;
    if (compact == kManyPages)
        return kManyPagesCount;
    return compact.empty() ? 0 : options.syntheticPages;
}

}  // namespace kestrane::pubserver
