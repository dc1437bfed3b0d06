// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/classic/Search.h"

#include "client/net/HttpExchange.h"
#include "client/sources/classic/Scrape.h"

namespace kestrane {

namespace {

// Everything but the unreserved characters is escaped, so that a blank, "&",
// "#", "+" or "%" in a typed number reaches the server as typed instead of
// breaking the request line or adding form fields.
std::string EncodeQueryValue(const std::string& value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string BuildSearchUrl(const std::string& serverBase, const std::string& number) {
    return serverBase + "/DPMApublikationen/lst_pat_xpt.do?" +
           "sent=1&type=OS&type=PS&type=GBM&type=EP&type=WO&type=ZE&type=TO&type=DD&type=UB"
           "&selectstatus=1&query=pn=" +
           EncodeQueryValue(number) + "&cols=pn&cols=ti&cols=nr&sf=sort_standard&so=asc&rpp=250";
}

Failure StartSession(ClientContext& ctx) {
    std::string page;
    return FetchPage(ctx, "GET", ctx.ServerBase + "/DPMApublikationen/start.do", page);
}

Failure SearchPatent(ClientContext& ctx, std::string& link) {
    link.clear();
    std::string page;
    if (Failure f = FetchPage(ctx, "POST", BuildSearchUrl(ctx.ServerBase, ctx.CurrentNumber), page))
        return f;
    const auto hit = FindGroup1(kHitLinkPattern, page);
    if (!hit || hit->text.empty())
        return {FailureKind::NoPdf, {}};
    if (ctx.cancelRequested())
        return {FailureKind::Cancelled, {}};
    link = LinkToUrl(ctx.ServerBase, hit->text);
    return {};
}

}  // namespace kestrane
