// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/dpma/DpmaAnswer.h"

#include <algorithm>
#include <cctype>
#include <pugixml.hpp>

#include "util/Ascii.h"

namespace kestrane::dpma {

namespace {

using ascii::Lower;

bool Mentions(std::string_view text, std::initializer_list<std::string_view> words) {
    const std::string lower = Lower(text);
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view w) { return lower.find(w) != std::string::npos; });
}

bool SaysNotFound(std::string_view text) {
    return Mentions(text, {"not available", "not found", "nicht gefunden"});
}

// Authentication failures, and the refusals of a function the account may not call.
bool SaysRefused(std::string_view text) {
    return Mentions(text, {"authentifi", "permission denied", "zugriff verweigert"});
}

std::string Bounded(std::string_view text) {
    return std::string(text.substr(0, kMaxMessage));
}

// A UTF-8 byte-order mark and white space may precede the first element.
std::string_view StripLead(std::string_view body) {
    if (body.starts_with("\xEF\xBB\xBF"))
        body.remove_prefix(3);
    while (!body.empty() && std::isspace(static_cast<unsigned char>(body.front())))
        body.remove_prefix(1);
    return body;
}

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    if (const auto colon = name.find(':'); colon != std::string_view::npos)
        name.remove_prefix(colon + 1);
    return name;
}

// The text of the first element named local anywhere below root, walked
// without recursion (the depth is the server's to choose).
std::string FirstText(const pugi::xml_node& root, std::string_view local) {
    pugi::xml_node node = root.first_child();
    while (node && node != root) {
        if (node.type() == pugi::node_element && LocalName(node) == local)
            return node.child_value();
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != root && !node.next_sibling()) node = node.parent();
        if (node != root)
            node = node.next_sibling();
    }
    return {};
}

Answer FromXml(std::string_view body) {
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size()))
        return {Verdict::Failed, Bounded(body)};
    const pugi::xml_node root = doc.document_element();
    std::string message;
    if (LocalName(root) == "Error") {
        message = root.attribute("Message_EN").as_string();
        if (message.empty())
            message = root.attribute("Message_DE").as_string();
    } else if (LocalName(root) == "Transaction") {
        message = FirstText(root, "TransactionErrorText");
        if (message.empty())
            message = FirstText(root, "TransactionErrorCode");
    }
    if (message.empty())
        return {Verdict::Failed, Bounded(body)};
    if (SaysRefused(message))
        return {Verdict::CredentialsRefused, Bounded(message), true};
    if (SaysNotFound(message))
        return {Verdict::NotFound, Bounded(message), true};
    return {Verdict::Failed, Bounded(message), true};
}

}  // namespace

Answer Classify(long status, std::string_view head) {
    head = head.substr(0, kMaxErrorBody);
    const std::string_view body = StripLead(head);
    if (status == 401 || status == 403) {
        Answer answer = body.starts_with("<") ? FromXml(body) : Answer{};
        if (answer.message.empty() || answer.verdict == Verdict::Failed)
            answer.message = "HTTP " + std::to_string(status);
        answer.verdict = Verdict::CredentialsRefused;
        return answer;
    }
    if (status == 404 || status == 410)
        return {Verdict::NotFound, {}};
    if (status == 429 || (status >= 500 && status <= 599))
        return {Verdict::Transient, "HTTP " + std::to_string(status)};
    if (status != 200)
        return {Verdict::Failed, "HTTP " + std::to_string(status)};
    if (head.starts_with("%PDF-"))
        return {Verdict::Pdf, {}};
    if (body.empty())
        return {Verdict::Failed, "an empty answer"};
    if (body.starts_with("<"))
        return FromXml(body);
    return {Verdict::Failed, Bounded(body)};
}

}  // namespace kestrane::dpma
