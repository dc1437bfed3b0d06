// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/DpmaServer.h"

#include <httplib.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "server/Pages.h"

namespace kestrane::pubserver {

namespace {

constexpr const char* kXml = "application/xml";
constexpr const char* kPdf = "application/pdf";
const std::string kService = "DPMAregisterPatService/";
const std::string kPdfCall = "getPatentpublikation_PDF/";

bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The recorded answer to refused credentials: one element, no declaration.
std::string AuthErrorXml() {
    return "<Error Message_DE=\"Authentifizierung fehlgeschlagen\" "
           "Message_EN=\"Authentification failed\"/>";
}

// The recorded shape of "no such data": a Transaction whose body element is
// named after another register, as the recording had it.
std::string TransactionErrorXml(const std::string& code, const std::string& text,
                                const std::string& path) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<Transaction>\n  <TransactionHeader>\n    <SenderDetails>\n"
           "      <RequestProducerDateTime>2026-12-08T10:15:00</RequestProducerDateTime>\n"
           "    </SenderDetails>\n  </TransactionHeader>\n  <TradeMarkTransactionBody>\n"
           "    <TransactionErrorDetails>\n      <TransactionError>\n"
           "        <TransactionErrorCode>" +
           code + "</TransactionErrorCode>\n        <TransactionErrorText>" + text +
           "</TransactionErrorText>\n      </TransactionError>\n    </TransactionErrorDetails>\n"
           "    <TransactionContentDetails>\n"
           "      <TransactionIdentifier>2f0c8a52-6d4e-4b57-9b0e-3c1f7d2a9e41</"
           "TransactionIdentifier>\n      <TransactionCode>" +
           pages::HtmlEscape(path) +
           "</TransactionCode>\n    </TransactionContentDetails>\n  </TradeMarkTransactionBody>\n"
           "</Transaction>\n";
}

bool CredentialsMatch(const httplib::Request& req, const ServerOptions& options) {
    const std::string auth = req.get_header_value("Authorization");
    return auth.starts_with("Basic ") &&
           pages::Base64Decode(auth.substr(6)) == options.dpmaUser + ":" + options.dpmaPassword;
}

// A PDF that claims to be larger than any document the client accepts: its
// head arrives, then the connection closes.
void Oversize(httplib::Response& res) {
    constexpr std::uint64_t kClaimed = 513ull << 20;
    res.status = 200;
    res.set_content_provider(
        static_cast<size_t>(kClaimed), kPdf, [](size_t offset, size_t, httplib::DataSink& sink) {
            static const std::string head = "%PDF-1.5\n" + std::string(64 * 1024, ' ');
            return offset == 0 && sink.write(head.data(), head.size());
        });
}

struct IdForm {
    std::string compact;  // country, number without leading zeros, kind
    std::size_t significantDigits = 0;
    bool padded = false;  // the number was written with zeros to 12 digits
};

// "DE000019758096C2" and "DE19758096C2" both read as DE19758096C2.
std::optional<IdForm> ReadId(const std::string& id) {
    std::size_t i = 0;
    while (i < id.size() && IsUpper(id[i])) ++i;
    if (i != 2)
        return std::nullopt;
    const std::size_t from = i;
    while (i < id.size() && IsDigit(id[i])) ++i;
    const std::string digits = id.substr(from, i - from);
    const std::string kind = id.substr(i);
    const bool kindOk = (kind.size() == 1 && IsUpper(kind[0])) ||
                        (kind.size() == 2 && IsUpper(kind[0]) && IsDigit(kind[1]));
    const std::size_t nonZero = digits.find_first_not_of('0');
    if (digits.size() > 12 || !kindOk || nonZero == std::string::npos)
        return std::nullopt;
    if (nonZero > 0 && digits.size() != 12)
        return std::nullopt;  // zeros, but not the 12-digit form
    return IdForm{id.substr(0, 2) + digits.substr(nonZero) + kind, digits.size() - nonZero,
                  nonZero > 0};
}

}  // namespace

void DpmaEndpoints::Handle(const httplib::Request& req, const std::string& path,
                           httplib::Response& res, const EndpointHooks& hooks) const {
    const std::string service = std::string(kDpmaRoot) + kService;
    if (!path.starts_with(service) || req.method != "GET") {
        res.status = 404;
        res.set_content(pages::NotFoundPage(), "text/html; charset=UTF-8");
        return;
    }
    const std::string call = path.substr(service.size());
    if (call == "version") {
        const auto fault = hooks.FindFault("", Stage::DpmaVersion);
        if (DpmaFault(fault, path, res))
            return;
        if (!CredentialsMatch(req, options_)) {
            res.set_content(AuthErrorXml(), kXml);
            return;
        }
        hooks.Respond(res, fault, "", kDpmaVersion, "text/plain");
        return;
    }
    if (call.starts_with(kPdfCall)) {
        const std::string id = call.substr(kPdfCall.size());
        const std::optional<IdForm> form = ReadId(id);
        const auto fault = hooks.FindFault(form ? form->compact : id, Stage::DpmaPdf);
        if (DpmaFault(fault, path, res))
            return;
        if (!CredentialsMatch(req, options_)) {
            res.set_content(AuthErrorXml(), kXml);
            return;
        }
        if (fault == FaultKind::Oversize) {
            Oversize(res);
            return;
        }
        Document(req, Filed(id), fault, path, res, hooks);
        return;
    }
    res.status = 404;
    res.set_content(pages::NotFoundPage(), "text/html; charset=UTF-8");
}

bool DpmaEndpoints::DpmaFault(std::optional<FaultKind> fault, const std::string& path,
                              httplib::Response& res) const {
    if (!fault)
        return false;
    switch (*fault) {
        case FaultKind::Unauthorized:
            res.status = 200;
            res.set_content(AuthErrorXml(), kXml);
            return true;
        case FaultKind::Status401:
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"DPMAconnectPlus\"");
            res.set_content("", "text/plain");
            return true;
        case FaultKind::Status403:
            res.status = 403;
            res.set_content(TransactionErrorXml("E002", "Permission denied", path), kXml);
            return true;
        case FaultKind::NotFound:
            res.status = 404;
            res.set_content("", "text/plain");
            return true;
        default:
            return false;
    }
}

void DpmaEndpoints::Document(const httplib::Request& req, const std::string& compact,
                             std::optional<FaultKind> fault, const std::string& path,
                             httplib::Response& res, const EndpointHooks& hooks) const {
    const int pages = compact.empty() ? 0 : CorpusPages(compact, options_);
    if (pages <= 0) {
        res.status = 200;
        res.set_content(TransactionErrorXml("Error", "Data not available", path), kXml);
        return;
    }
    hooks.Respond(res, fault, compact, *hooks.DocumentPdf(compact, pages), kPdf);
    AnswerRange(req, res, fault);
}

std::string DpmaEndpoints::Filed(const std::string& id) const {
    const std::optional<IdForm> form = ReadId(id);
    if (!form)
        return {};
    const bool shortGerman = form->compact.starts_with("DE") && form->significantDigits < 12;
    if (!shortGerman)
        return form->padded ? std::string() : form->compact;
    const std::string& ids = options_.dpmaIds;
    if ((form->padded && ids == "plain") || (!form->padded && ids == "padded"))
        return {};
    return form->compact;
}

}  // namespace kestrane::pubserver
