// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/google/HtmlTags.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "util/Ascii.h"

namespace kestrane::google {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}
bool IsAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool IsAlnum(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}
using ascii::Lower;
constexpr auto LowerChar = [](char c) { return ascii::Lower(c); };
constexpr auto EqualsNoCase = ascii::EqualsIgnoringCase;

void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// "&#252;" or "&#xFC;" at text[0]: the code point and the length read, or 0.
std::size_t NumericReference(std::string_view text, unsigned long& cp) {
    std::size_t i = 2;  // past "&#"
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex)
        ++i;
    const std::size_t from = i;
    cp = 0;
    while (i < text.size() && i - from < 8 &&
           (hex ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                : (text[i] >= '0' && text[i] <= '9'))) {
        const char c = LowerChar(text[i]);
        cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++i;
    }
    if (i == from)
        return 0;
    return i < text.size() && text[i] == ';' ? i + 1 : i;
}

struct Named {
    std::string_view name;
    unsigned long cp;
    bool legacy;  // browsers also take it without the ";"
};
constexpr std::array<Named, 6> kNamed = {{{"amp", '&', true},
                                          {"lt", '<', true},
                                          {"gt", '>', true},
                                          {"quot", '"', true},
                                          {"apos", '\'', false},
                                          {"nbsp", 0xA0, true}}};

// A named reference at text[0]: its code point and the length read, or 0.
std::size_t NamedReference(std::string_view text, unsigned long& cp) {
    for (const Named& n : kNamed) {
        if (text.substr(1, n.name.size()) != n.name)
            continue;
        const std::size_t end = 1 + n.name.size();
        if (end < text.size() && text[end] == ';') {
            cp = n.cp;
            return end + 1;
        }
        if (n.legacy && (end == text.size() || (!IsAlnum(text[end]) && text[end] != '='))) {
            cp = n.cp;
            return end;
        }
    }
    return 0;
}

// Where the raw text of a script or style element ends: its end tag.
std::size_t RawTextEnd(std::string_view html, std::size_t from, std::string_view name) {
    for (std::size_t at = html.find("</", from); at != std::string_view::npos;
         at = html.find("</", at + 2)) {
        const std::size_t after = at + 2 + name.size();
        if (EqualsNoCase(html.substr(at + 2, name.size()), name) &&
            (after >= html.size() || IsSpace(html[after]) || html[after] == '/' ||
             html[after] == '>'))
            return at;
    }
    return html.size();
}

class Tokenizer {
  public:
    explicit Tokenizer(std::string_view html) : s_(html) {}
    // The next start tag; false at the end of the page.
    bool Next(HtmlTag& tag);

  private:
    void SkipSpace() {
        while (i_ < s_.size() && IsSpace(s_[i_])) ++i_;
    }
    // Skips past the next `what`, or to the end.
    void SkipPast(std::string_view what) {
        const std::size_t at = s_.find(what, i_);
        i_ = at == std::string_view::npos ? s_.size() : at + what.size();
    }
    void ReadAttributes(HtmlTag& tag);
    std::string_view ReadValue();

    std::string_view s_;
    std::size_t i_ = 0;
};

std::string_view Tokenizer::ReadValue() {
    SkipSpace();
    if (i_ < s_.size() && (s_[i_] == '"' || s_[i_] == '\'')) {
        const char quote = s_[i_++];
        const std::size_t from = i_;
        const std::size_t end = s_.find(quote, from);
        i_ = end == std::string_view::npos ? s_.size() : end + 1;
        return s_.substr(from, (end == std::string_view::npos ? s_.size() : end) - from);
    }
    const std::size_t from = i_;
    while (i_ < s_.size() && !IsSpace(s_[i_]) && s_[i_] != '>') ++i_;
    return s_.substr(from, i_ - from);
}

void Tokenizer::ReadAttributes(HtmlTag& tag) {
    for (;;) {
        while (i_ < s_.size() && (IsSpace(s_[i_]) || s_[i_] == '/')) ++i_;
        if (i_ >= s_.size())
            return;
        if (s_[i_] == '>') {
            ++i_;
            return;
        }
        const std::size_t from = i_++;  // a first "=" belongs to the name
        while (i_ < s_.size() && !IsSpace(s_[i_]) && s_[i_] != '/' && s_[i_] != '>' &&
               s_[i_] != '=')
            ++i_;
        const std::string name = Lower(s_.substr(from, i_ - from));
        SkipSpace();
        std::string_view value;
        if (i_ < s_.size() && s_[i_] == '=') {
            ++i_;
            value = ReadValue();
        }
        if (tag.attributes.size() < kMaxAttributes && tag.Attribute(name) == nullptr)
            tag.attributes.emplace_back(name, DecodeEntities(value));
    }
}

bool Tokenizer::Next(HtmlTag& tag) {
    while (i_ < s_.size()) {
        const std::size_t lt = s_.find('<', i_);
        if (lt == std::string_view::npos)
            break;
        i_ = lt + 1;
        if (s_.substr(i_, 3) == "!--") {
            i_ += 3;
            SkipPast("-->");
            continue;
        }
        if (i_ < s_.size() && (s_[i_] == '!' || s_[i_] == '?')) {
            SkipPast(">");
            continue;
        }
        const bool endTag = i_ < s_.size() && s_[i_] == '/';
        if (endTag)
            ++i_;
        if (i_ >= s_.size() || !IsAlpha(s_[i_]))
            continue;  // a "<" in text
        const std::size_t from = i_;
        while (i_ < s_.size() && !IsSpace(s_[i_]) && s_[i_] != '/' && s_[i_] != '>') ++i_;
        tag = HtmlTag{Lower(s_.substr(from, i_ - from)), {}};
        ReadAttributes(tag);
        if (endTag)
            continue;
        static constexpr std::array<std::string_view, 6> kRawText = {"script", "style", "textarea",
                                                                     "title",  "xmp",   "noembed"};
        if (std::find(kRawText.begin(), kRawText.end(), tag.name) != kRawText.end())
            i_ = RawTextEnd(s_, i_, tag.name);
        return true;
    }
    i_ = s_.size();
    return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

const std::string* HtmlTag::Attribute(std::string_view attributeName) const {
    for (const auto& [key, value] : attributes) {
        if (key == attributeName)
            return &value;
    }
    return nullptr;
}

std::vector<HtmlTag> ReadTags(std::string_view html,
                              const std::function<bool(const HtmlTag&)>& keep) {
    std::vector<HtmlTag> tags;
    Tokenizer tokenizer(html);
    HtmlTag tag;
    while (tags.size() < kMaxTags && tokenizer.Next(tag)) {
        if (keep(tag))
            tags.push_back(std::move(tag));
    }
    return tags;
}

std::string DecodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        unsigned long cp = 0;
        const std::string_view rest = text.substr(i);
        std::size_t used = rest.size() > 1 && rest[1] == '#' ? NumericReference(rest, cp)
                                                             : NamedReference(rest, cp);
        if (used == 0) {
            out += text[i++];
            continue;
        }
        AppendUtf8(out, cp);
        i += used;
    }
    return out;
}

std::optional<std::string> PatentPage::Meta(std::string_view name, std::string_view scheme) const {
    for (const MetaTag& m : meta) {
        if (EqualsNoCase(m.Name, name) && EqualsNoCase(m.Scheme, scheme))
            return m.Content;
    }
    return std::nullopt;
}

std::vector<std::string> PatentPage::MetaAll(std::string_view name, std::string_view scheme) const {
    std::vector<std::string> all;
    for (const MetaTag& m : meta) {
        if (EqualsNoCase(m.Name, name) && EqualsNoCase(m.Scheme, scheme))
            all.push_back(m.Content);
    }
    return all;
}

PatentPage ReadPatentPage(std::string_view html) {
    PatentPage page;
    std::string itemPdfLink;
    const auto tags = ReadTags(html, [](const HtmlTag& t) {
        return (t.name == "meta" && t.Attribute("name") != nullptr) ||
               t.Attribute("itemprop") != nullptr;
    });
    for (const HtmlTag& tag : tags) {
        const std::string* itemprop = tag.Attribute("itemprop");
        if (itemprop != nullptr) {
            if (*itemprop == "publicationNumber")
                page.hasRecord = true;
            const std::string* href = tag.Attribute("href");
            if (*itemprop == "pdfLink" && href != nullptr && itemPdfLink.empty())
                itemPdfLink = *href;
        }
        if (tag.name != "meta" || tag.Attribute("name") == nullptr)
            continue;
        const std::string* content = tag.Attribute("content");
        const std::string* scheme = tag.Attribute("scheme");
        page.meta.push_back(
            {*tag.Attribute("name"), scheme ? *scheme : "", content ? *content : ""});
        if (StartsWithNoCase(page.meta.back().Name, "citation_patent_"))
            page.hasRecord = true;
    }
    page.pdfLink = page.Meta("citation_pdf_url").value_or(itemPdfLink);
    // Trimmed: the value is a URL.
    const auto first = page.pdfLink.find_first_not_of(" \t\r\n\f");
    const auto last = page.pdfLink.find_last_not_of(" \t\r\n\f");
    page.pdfLink = first == std::string::npos ? "" : page.pdfLink.substr(first, last - first + 1);
    return page;
}

bool LooksBlocked(std::string_view html) {
    const std::string lower = Lower(html.substr(0, 64 * 1024));
    for (std::string_view sign : {"unusual traffic", "automated queries", "captcha"}) {
        if (lower.find(sign) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace kestrane::google
