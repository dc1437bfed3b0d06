// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsSource.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <pugixml.hpp>
#include <vector>

#include "client/Messages.h"
#include "client/PartialStore.h"
#include "client/SafeFiles.h"
#include "client/SaveDocument.h"
#include "client/pdf/PdfCheck.h"
#include "client/sources/ops/OpsBiblio.h"
#include "client/sources/ops/OpsExchange.h"
#include "client/sources/ops/OpsNumber.h"

namespace kestrane {

namespace {

using ops::Answer;
using ops::ErrorMessage;
using ops::Exchanger;
using ops::Request;

constexpr const char* kOpsNs = "http://ops.epo.org";
constexpr int kMaxPages = 5000;

// ---- Namespaces: pugixml keeps prefixes as written, so resolve them here.

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string NamespaceOf(const pugi::xml_node& node) {
    const std::string_view name = node.name();
    const auto colon = name.find(':');
    const std::string attr = colon == std::string_view::npos
                                 ? std::string("xmlns")
                                 : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node n = node; n; n = n.parent()) {
        if (pugi::xml_attribute a = n.attribute(attr.c_str()))
            return a.value();
    }
    return {};
}

bool Is(const pugi::xml_node& node, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node) == local &&
           NamespaceOf(node) == kOpsNs;
}

// An inquiry is a handful of levels deep; nothing below this is looked at,
// so a nest built deep costs neither stack nor time.
constexpr int kMaxInquiryDepth = 32;

// Every document-instance in document order, walked without recursion.
void CollectInstances(const pugi::xml_node& root, std::vector<pugi::xml_node>& out) {
    int depth = 1;
    for (pugi::xml_node n = root.first_child(); n;) {
        if (Is(n, "document-instance")) {
            out.push_back(n);
        } else if (n.first_child() && depth < kMaxInquiryDepth) {
            n = n.first_child();
            ++depth;
            continue;
        }
        while (n != root && !n.next_sibling()) {
            n = n.parent();
            --depth;
        }
        if (n == root)
            break;
        n = n.next_sibling();
    }
}

// number-of-pages as a plain decimal count ("12"); -1 for anything else
// ("1e9", "12 pages", "", a count past kMaxPages).
int StrictPageCount(std::string_view text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const int count = std::stoi(std::string(text));
    return count <= kMaxPages ? count : -1;
}

// A FullDocument whose only sections are AMENDMENT is a correction sheet.
bool IsCorrectionOnly(const pugi::xml_node& instance) {
    int sections = 0;
    int amendments = 0;
    for (pugi::xml_node child : instance.children()) {
        if (!Is(child, "document-section"))
            continue;
        ++sections;
        if (std::string_view(child.attribute("name").value()) == "AMENDMENT")
            ++amendments;
    }
    return sections > 0 && sections == amendments;
}

bool OffersPdf(const pugi::xml_node& instance) {
    bool listed = false;
    for (pugi::xml_node options : instance.children()) {
        if (!Is(options, "document-format-options"))
            continue;
        for (pugi::xml_node format : options.children()) {
            if (!Is(format, "document-format"))
                continue;
            listed = true;
            if (std::string_view(format.text().as_string()) == "application/pdf")
                return true;
        }
    }
    return !listed;  // no list at all: let the page check decide
}

// The link goes into our request path: letters, digits and "/._-" only.
bool IsSafeLink(const std::string& link) {
    return !link.empty() && link.find("..") == std::string::npos && link.front() != '/' &&
           std::all_of(link.begin(), link.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' ||
                      c == '_' || c == '-';
           });
}

}  // namespace

// ---- The source

Failure OpsSource::Open(ClientContext& ctx) {
    Exchanger exchanger(*session_, ctx);
    return exchanger.EnsureToken({});
}

Failure OpsSource::Find(ClientContext& ctx, FoundDocument& found) {
    Failure f = [&]() -> Failure {
        const auto docdb = ToDocdb(ctx.CurrentNumber);
        if (!docdb)
            return {FailureKind::BadNumber, {}};
        Request request;
        request.url = session_->Config().Base + "/rest-services/published-data/publication/docdb/" +
                      docdb->Dotted() + "/images";
        request.headers = {"Accept: application/xml"};
        request.service = "retrieval";
        request.maxText = kMaxInquiryAnswer;
        Answer answer;
        Exchanger exchanger(*session_, ctx);
        if (Failure sent = exchanger.Send(request, answer))
            return sent;
        if (answer.status == 404)
            return {FailureKind::NoPdf, ErrorMessage(answer.text, "code")};
        if (answer.status != 200)
            return {FailureKind::DownloadFailed, "HTTP " + std::to_string(answer.status)};
        if (!ParseImagesInquiry(answer.text, found))
            return {FailureKind::NoPdf, "no FullDocument with a page count in the inquiry"};
        return {};
    }();
    return f;
}

namespace {

// The number's bibliographic data, when asked for: one request to the
// retrieval service, paced apart from the pages. A biblio that cannot be had
// costs the document nothing; only what ends the item or the run (a cancel,
// the quota, a block, refused credentials) is passed on.
Failure ReadBiblio(ClientContext& ctx, OpsSession& session, Exchanger& exchanger) {
    if (!ctx.WantBiblio && !ctx.Names.WantsBiblio())
        return {};
    const auto docdb = ToDocdb(ctx.CurrentNumber);
    if (!docdb)
        return {};
    Request request;
    request.url = session.Config().Base + "/rest-services/published-data/publication/docdb/" +
                  docdb->Dotted() + "/biblio";
    request.headers = {"Accept: application/xml"};
    request.service = "retrieval";
    request.maxText = kMaxBiblioAnswer;
    Answer answer;
    if (Failure sent = exchanger.Send(request, answer)) {
        const bool ends = sent.endsRun || sent.kind == FailureKind::Cancelled ||
                          sent.kind == FailureKind::QuotaExceeded ||
                          sent.kind == FailureKind::Blocked;
        return ends ? sent : Failure{};
    }
    Biblio info;
    if (answer.status == 200 && ParseOpsBiblio(answer.text, info))
        ctx.biblio = std::move(info);
    return {};
}

// The kept pages of this document, when resume is on and the folder is usable.
std::optional<PartialStore> OpenKept(const ClientContext& ctx, const std::string& compact,
                                     const FoundDocument& found) {
    if (!ctx.Resume)
        return std::nullopt;
    std::optional<PartialStore> kept(std::in_place, ctx.SaveFolder, "ops", compact, found.link,
                                     found.pageCount);
    if (!kept->Open())
        kept.reset();
    return kept;
}

}  // namespace

Failure OpsSource::FetchPage(ClientContext& ctx, Exchanger& exchanger, const FoundDocument& found,
                             int n, const std::string& file) {
    Request request;
    request.url = session_->Config().Base + "/rest-services/" + found.link +
                  ".pdf?Range=" + std::to_string(n);
    request.headers = {"Accept: application/pdf"};
    request.service = "images";
    request.file = file;
    // The inquiry told the page count, so the progress line can say "page n of N".
    ctx.transfer.Document = OutputName(ctx.CurrentNumber);
    ctx.transfer.Page = n;
    ctx.transfer.Pages = found.pageCount;
    ctx.transfer.PagesSeen += 1;
    ctx.noteTransfer();
    Answer answer;
    if (Failure sent = exchanger.Send(request, answer))
        return sent;
    if (answer.status != 200)
        return {FailureKind::DownloadFailed,
                "page " + std::to_string(n) + ": HTTP " + std::to_string(answer.status)};
    if (std::string limit; !IsOnePagePdf(request.file, &limit)) {
        if (!limit.empty())
            return {FailureKind::TooLarge, "page " + std::to_string(n) + ": " + limit};
        return {FailureKind::NotAPdf, "page " + std::to_string(n)};
    }
    return {};
}

Failure OpsSource::Fetch(ClientContext& ctx, const FoundDocument& found) {
    const std::string name = OutputName(ctx.CurrentNumber);
    // Page files this call wrote that are not kept for a later run: the merge
    // never sees a failed document's pages, nor does the next item.
    PageFiles loose(ctx);
    std::optional<PartialStore> kept;
    Failure f = [&]() -> Failure {
        if (!IsSafeLink(found.link))
            return {FailureKind::UnsafeName, {}};
        // A number listed twice is fetched once: the file saved first stays.
        if (Failure refused = CheckDocumentName(ctx, name))
            return refused;
        if (found.pageCount < 1 || found.pageCount > kMaxPages)
            return {FailureKind::TooLarge, std::to_string(found.pageCount) + " pages"};
        Exchanger exchanger(*session_, ctx);
        if (Failure b = ReadBiblio(ctx, *session_, exchanger))
            return b;
        kept = OpenKept(ctx, name, found);
        std::vector<std::string> pages;
        for (int n = 1; n <= found.pageCount; ++n) {
            const std::string file = kept ? kept->PagePath(n) : PageFilePath(ctx, name, n);
            pages.push_back(file);
            if (!kept || !kept->Has(n)) {
                if (!kept)
                    loose.Add(file);
                if (Failure page = FetchPage(ctx, exchanger, found, n, file)) {
                    // A kept folder's page that failed is not noted; it goes
                    // (unless a successor may already be writing it).
                    if (kept && !ctx.aborted())
                        RemoveQuietly(file);
                    return page;
                }
                if (kept && !kept->Keep(n))
                    return {FailureKind::SaveFailed, "page " + std::to_string(n)};
            }
            ctx.progress(progress::kLookedUp +
                         (progress::kFull - progress::kLookedUp) * n / found.pageCount);
        }
        // The merge's own failure (a page past a limit names it) goes to the user.
        if (Failure merged = SaveMergedDocument(ctx, pages, name))
            return ctx.cancelRequested() ? Failure{FailureKind::Cancelled, {}} : merged;
        loose.Keep();
        return {};
    }();
    if (f)
        return f;
    if (kept)
        kept->Finish();
    ctx.progress(progress::kFull);
    return {};
}

std::string OpsSource::OutputName(const std::string& number) const {
    return OpsOutputName(number);
}

std::string OpsSource::RecordNumber(const std::string& typed) const {
    const auto first = typed.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : typed.substr(first);
}

std::string OpsOutputName(const std::string& number) {
    return CompactNumber(number);
}

std::function<std::unique_ptr<Source>()> OpsSourceMaker(OpsConfig config, OpsTiming timing) {
    auto session = std::make_shared<OpsSession>(std::move(config), std::move(timing));
    return [session]() -> std::unique_ptr<Source> { return std::make_unique<OpsSource>(session); };
}

bool ParseImagesInquiry(const std::string& xml, FoundDocument& found) {
    pugi::xml_document doc;
    if (!doc.load_buffer(xml.data(), xml.size()))
        return false;
    std::vector<pugi::xml_node> instances;
    CollectInstances(doc, instances);
    for (const pugi::xml_node& instance : instances) {
        if (std::string_view(instance.attribute("desc").value()) != "FullDocument" ||
            IsCorrectionOnly(instance) || !OffersPdf(instance))
            continue;
        const std::string link = instance.attribute("link").value();
        const int pages = StrictPageCount(instance.attribute("number-of-pages").value());
        if (link.empty() || pages < 1)
            continue;
        found.link = link;
        found.pageCount = pages;
        return true;
    }
    return false;
}

std::string OpsFailureText(const Failure& failure, const std::string& number) {
    return FailureText(failure, number);
}

}  // namespace kestrane
