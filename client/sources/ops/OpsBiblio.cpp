// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/ops/OpsBiblio.h"

#include <algorithm>
#include <cctype>
#include <pugixml.hpp>
#include <string_view>
#include <vector>

namespace kestrane {

namespace {

constexpr const char* kExchangeNs = "http://www.epo.org/exchange";
// A biblio answer nests about ten levels; nothing below this is looked at.
constexpr int kMaxDepth = 40;

std::string_view LocalName(const pugi::xml_node& node) {
    const std::string_view name = node.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The namespace a prefix (or the default) is bound to, seen from node. The
// walk up is bounded by the depth the reader allows.
std::string_view NamespaceOf(const pugi::xml_node& node) {
    const std::string_view name = node.name();
    const auto colon = name.find(':');
    const std::string attr = colon == std::string_view::npos
                                 ? std::string("xmlns")
                                 : "xmlns:" + std::string(name.substr(0, colon));
    int up = 0;
    for (pugi::xml_node n = node; n && up <= kMaxDepth + 2; n = n.parent(), ++up) {
        if (pugi::xml_attribute a = n.attribute(attr.c_str()))
            return a.value();
    }
    return {};
}

bool Is(const pugi::xml_node& node, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node) == local &&
           NamespaceOf(node) == kExchangeNs;
}

// Every element below top (top itself excluded), in document order, at most
// kMaxDepth levels down, without recursion. fn returns false to skip the
// element's subtree.
template <class Fn>
void Walk(const pugi::xml_node& top, Fn&& fn) {
    std::vector<pugi::xml_node> path;  // the open ancestors below top
    pugi::xml_node node = top.first_child();
    while (node) {
        bool descend = node.type() == pugi::node_element && fn(node) &&
                       static_cast<int>(path.size()) < kMaxDepth && node.first_child();
        if (descend) {
            path.push_back(node);
            node = node.first_child();
            continue;
        }
        while (!node.next_sibling() && !path.empty()) {
            node = path.back();
            path.pop_back();
        }
        node = node.next_sibling();
    }
}

// The first descendant element with this local name, or an empty node.
pugi::xml_node FindBelow(const pugi::xml_node& top, std::string_view local) {
    pugi::xml_node found;
    Walk(top, [&](const pugi::xml_node& n) {
        if (!found && Is(n, local))
            found = n;
        return !found;
    });
    return found;
}

std::string TextBelow(const pugi::xml_node& top, std::string_view local) {
    const pugi::xml_node n = FindBelow(top, local);
    return n ? std::string(n.child_value()) : std::string();
}

// Names of one party list, as filed when OPS has that spelling.
struct Names {
    std::vector<std::string> original;
    std::vector<std::string> other;
};

void AddParty(const pugi::xml_node& party, Names& names) {
    const std::string name = TextBelow(party, "name");
    if (std::string_view(party.attribute("data-format").value()) == "original")
        AddBiblioName(names.original, name);
    else
        AddBiblioName(names.other, name);
}

std::vector<std::string> Chosen(Names& names) {
    return names.original.empty() ? std::move(names.other) : std::move(names.original);
}

void AddTitle(const pugi::xml_node& title, Biblio& info) {
    const std::string_view lang = title.attribute("lang").value();
    std::string text = CleanBiblioText(title.child_value());
    std::string& slot = lang == "de" ? info.TitleDe : lang == "en" ? info.TitleEn : info.TitleOther;
    if (slot.empty())
        slot = std::move(text);
}

// The docdb publication reference: the number and the date.
void AddPublication(const pugi::xml_node& reference, Biblio& info) {
    Walk(reference, [&](const pugi::xml_node& id) {
        if (!Is(id, "document-id"))
            return true;
        if (std::string_view(id.attribute("document-id-type").value()) == "docdb" &&
            info.Number.empty()) {
            info.Number = CleanBiblioText(TextBelow(id, "country") + TextBelow(id, "doc-number") +
                                          TextBelow(id, "kind"));
            const std::string date = CleanBiblioText(TextBelow(id, "date"));
            if (date.size() == 8 &&
                std::all_of(date.begin(), date.end(), [](char c) { return c >= '0' && c <= '9'; }))
                info.Date = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
        }
        return false;
    });
}

}  // namespace

std::string IpcClass(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            compact += c;
        else if (!compact.empty() && compact.back() != ' ')
            compact += ' ';
    }
    // Section letter, two digits, a class letter, then main group "/" subgroup.
    std::string head = compact.substr(0, std::min<std::size_t>(compact.size(), 4));
    if (head.size() != 4 || !std::isupper(static_cast<unsigned char>(head[0])) ||
        !std::isdigit(static_cast<unsigned char>(head[1])) ||
        !std::isdigit(static_cast<unsigned char>(head[2])) ||
        !std::isupper(static_cast<unsigned char>(head[3])))
        return {};
    std::size_t at = 4;
    while (at < compact.size() && compact[at] == ' ') ++at;
    std::string group;
    while (at < compact.size() &&
           (std::isdigit(static_cast<unsigned char>(compact[at])) || compact[at] == '/') &&
           group.size() < 12)
        group += compact[at++];
    const auto slash = group.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == group.size())
        return head;
    return head + " " + group;
}

bool ParseOpsBiblio(const std::string& xml, Biblio& info) {
    info = {};
    if (xml.size() > kMaxBiblioAnswer)
        return false;
    pugi::xml_document doc;
    if (!doc.load_buffer(xml.data(), xml.size()))
        return false;
    pugi::xml_node document;
    Walk(doc, [&](const pugi::xml_node& n) {
        if (!document && Is(n, "exchange-document"))
            document = n;
        return !document;
    });
    if (!document)
        return false;
    Names applicants;
    Names inventors;
    Walk(document, [&](const pugi::xml_node& n) {
        if (Is(n, "invention-title"))
            AddTitle(n, info);
        else if (Is(n, "publication-reference"))
            AddPublication(n, info);
        else if (Is(n, "applicant"))
            AddParty(n, applicants);
        else if (Is(n, "inventor"))
            AddParty(n, inventors);
        else if (Is(n, "classification-ipcr"))
            AddBiblioName(info.Ipc, IpcClass(TextBelow(n, "text")));
        else if (Is(n, "abstract") || Is(n, "description") || Is(n, "claims"))
            return false;
        else
            return true;
        return false;
    });
    info.Applicants = Chosen(applicants);
    info.Inventors = Chosen(inventors);
    if (info.Number.empty()) {
        info.Number = CleanBiblioText(std::string(document.attribute("country").value()) +
                                      document.attribute("doc-number").value() +
                                      document.attribute("kind").value());
    }
    return true;
}

}  // namespace kestrane
