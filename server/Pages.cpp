// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/Pages.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
// cairo's text rendering loads fontconfig's configuration on first use, and
// fontconfig keeps it for the life of the process: not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

namespace kestrane::pubserver::pages {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Link(const char* action, const std::string& number, const std::string& rest) {
    return std::string(kRoot) + action + "?action=pdf&amp;pn=" + EncodeComponent(number) + rest;
}

std::string ViewerLink(const std::string& number, int doc, int page) {
    return Link("pdf_any_pgd.do", number,
                "&amp;d=" + std::to_string(doc) + "&amp;page=" + std::to_string(page));
}

std::string Page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
           "<html lang=\"en\">\n<head>\n"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"
           "<title>" +
           title +
           " - DPMApublikationen</title>\n"
           "<link rel=\"stylesheet\" type=\"text/css\" href=\"/DPMApublikationen/css/dpma.css\">\n"
           "</head>\n<body>\n"
           "<div id=\"header\"><a href=\"/DPMApublikationen/start.do\">Home</a> |\n"
           "<a href=\"/DPMApublikationen/hilfe.do\">Help</a></div>\n"
           "<div id=\"content\">\n" +
           body +
           "\n</div>\n<div id=\"footer\">German Patent and Trade Mark Office - "
           "publication server</div>\n</body>\n</html>\n";
}

// Pages show a typed name through cairo's text API, which wants valid UTF-8.
std::string ValidUtf8(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xE  ? 3
                   : (c >> 3) == 0x1E ? 4
                                      : 0;
        bool ok = n > 0 && i + n <= text.size() && !(n == 1 && c == 0);
        for (size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok) {
            out.append(text, i, n);
            i += n;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

cairo_status_t AppendToString(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

// Random pixels do not compress, so the picture's bytes land in the file almost one to one.
void DrawNoise(cairo_t* cr, const std::string& seedText, int bytes) {
    const int width = 256;
    const int height = std::max(1, bytes / (3 * width));
    Surface image(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
        return;
    cairo_surface_flush(image.get());
    uint64_t state = 1469598103934665603ULL;
    for (char c : seedText) state = (state ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    unsigned char* data = cairo_image_surface_get_data(image.get());
    const int stride = cairo_image_surface_get_stride(image.get());
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            row[x] = static_cast<uint32_t>(state) & 0x00FFFFFFu;
        }
    }
    cairo_surface_mark_dirty(image.get());
    cairo_save(cr);
    cairo_translate(cr, 50, 140);
    cairo_scale(cr, 495.0 / width, 650.0 / height);
    cairo_set_source_surface(cr, image.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_paint(cr);
    cairo_restore(cr);
}

}  // namespace

std::string EncodeComponent(std::string_view text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string DecodeFormComponent(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::optional<std::string> QueryField(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        const size_t eq = field.find('=');
        if (DecodeFormComponent(field.substr(0, eq)) == key)
            return eq == std::string_view::npos ? std::string()
                                                : DecodeFormComponent(field.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string SessionPage() {
    return Page("Publication server",
                "<h1>DPMApublikationen</h1>\n"
                "<p>Welcome. Search for a publication number to view its documents.</p>\n"
                "<form method=\"post\" action=\"/DPMApublikationen/lst_pat_xpt.do\">\n"
                "<input type=\"text\" name=\"query\" value=\"pn=\">\n"
                "<input type=\"submit\" value=\"Search\">\n</form>");
}

std::string SessionExpiredPage() {
    return Page("Session expired",
                "<h1>Session expired</h1>\n"
                "<p>Your session has expired or cookies are switched off. Please go back to the "
                "start page and search again.</p>");
}

std::string NoMatchPage(const std::string& number) {
    return Page("Search results",
                "<h1>Search results</h1>\n<p>Query: pn=" + HtmlEscape(number) +
                    "</p>\n<p class=\"message\">The database query returned no matches.</p>\n"
                    "<p><a href=\"/DPMApublikationen/start.do\">New search</a></p>");
}

std::string HitListPage(const std::string& number, bool withLinks, const std::string& linkTail) {
    const std::string name = HtmlEscape(number);
    const std::string exportLink =
        std::string(kRoot) + "lst_pat_xpt.do?action=export&amp;pn=" + EncodeComponent(number);
    std::string rows;
    if (withLinks) {
        rows = "<tr><td><a href=\"" + Link("pdf_any_pgd.do", number, "&amp;hit=1") + linkTail +
               "\">" + name +
               "</a></td><td>Document as published</td></tr>\n"
               "<tr><td><a href=\"" +
               Link("pdf_any_pgd.do", number, "&amp;alt=1") + "\">" + name +
               " (corrected version)</a></td><td>Corrected document</td></tr>\n";
    } else {
        rows = "<tr><td>" + name + "</td><td>No document available</td></tr>\n";
    }
    return Page("Search results", "<h1>Search results</h1>\n<p>Query: pn=" + name +
                                      "</p>\n<p>Hits 1 to 2 of 2 | <a href=\"" + exportLink +
                                      "\">Export hit list</a></p>\n<table class=\"hitlist\">\n"
                                      "<tr><th>Publication number</th><th>Title</th></tr>\n" +
                                      rows + "</table>");
}

std::string SelectionPage(const std::string& number, const std::vector<SelectionLink>& links,
                          int promisedHits) {
    std::string items;
    for (const auto& link : links) {
        items += "<li><a href=\"" +
                 Link("pdf_any_pgd.do", number,
                      "&amp;docIdNormed=" + HtmlEscape(link.docIdNormed) +
                          "&amp;d=" + std::to_string(link.doc) + "&amp;page=1") +
                 "\">" + HtmlEscape(link.docIdNormed) + "</a></li>\n";
    }
    return Page("Document selection",
                "<h1>Documents for " + HtmlEscape(number) +
                    "</h1>\n<p class=\"count\">Selection of : " + std::to_string(promisedHits) +
                    " hits</p>\n<ul>\n" + items + "</ul>");
}

std::string ViewerPage(const std::string& number, const Document& doc, int docIndex, int page,
                       bool withNavigation) {
    const std::string where =
        "&amp;d=" + std::to_string(docIndex) + "&amp;page=" + std::to_string(page);
    const std::string pdf = std::string(kRoot) + "schriften/pdf/" + EncodeComponent(doc.id) + "_" +
                            std::to_string(page) + ".pdf?pn=" + EncodeComponent(number) + where;
    std::string body = "<h1>" + HtmlEscape(doc.id) + "</h1>\n<p>Page " + std::to_string(page) +
                       " of " + std::to_string(doc.pages) + "</p>\n";
    if (withNavigation) {
        body += "<iframe name=\"navigation\" width=\"100%\" height=\"60\" src=\"" +
                Link("pdm_any_pgd.do", number, where) + "\"></iframe>\n";
    }
    body += "<iframe name=\"document\" width=\"100%\" height=\"800\" src=\"" + pdf +
            "\"></iframe>\n<p><a href=\"" + pdf + "\">Save this page as PDF</a></p>";
    return Page("Document viewer", body);
}

std::string NavigationPage(const std::string& number, int docIndex, int page, int pages,
                           bool withNext) {
    std::string body = "<div class=\"pager\">\n<a title=\"First page\" href=\"" +
                       ViewerLink(number, docIndex, 1) + "\">|&lt;</a>\n";
    if (page > 1) {
        body += "<a title=\"Previous page\" href=\"" + ViewerLink(number, docIndex, page - 1) +
                "\">&lt;</a>\n";
    }
    body += "<span>Page " + std::to_string(page) + " of " + std::to_string(pages) + "</span>\n";
    if (withNext && page < pages) {
        body += "<a title=\"Next page\" href=\"" + ViewerLink(number, docIndex, page + 1) +
                "\">&gt;</a>\n";
    }
    body += "<a title=\"Last page\" href=\"" + ViewerLink(number, docIndex, pages) +
            "\">&gt;|</a>\n</div>";
    return Page("Navigation", body);
}

std::string NotAvailablePage() {
    return Page("Document viewer",
                "<h1>Document not available</h1>\n<p>This document cannot be displayed at "
                "present.</p>");
}

std::string ServerErrorPage() {
    return Page("Error",
                "<h1>Internal error</h1>\n<p>The server could not complete your "
                "request. Please try again later.</p>");
}

std::string NotFoundPage() {
    return Page("Not found",
                "<h1>Page not found</h1>\n<p>The page you asked for does not "
                "exist.</p>");
}

namespace {

// Draws page `page` of `pages` onto cr and ends it.
void DrawPage(cairo_t* cr, const std::string& name, int page, int pages, int kb) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 20);
    cairo_move_to(cr, 50, 80);
    const std::string line =
        ValidUtf8(name) + " page " + std::to_string(page) + " of " + std::to_string(pages);
    cairo_show_text(cr, line.c_str());
    // The fixed part of a page (font, structure) is about 10 KB.
    const int padding = kb * 1024 - 10 * 1024;
    if (padding > 0)
        DrawNoise(cr, line, padding);
    cairo_show_page(cr);
}

// Pages first..last of a document of `pages` pages, as one PDF.
std::string RenderPages(const std::string& name, int first, int last, int pages, int kb) {
    std::string out;
    {
        Surface surface(cairo_pdf_surface_create_for_stream(AppendToString, &out, 595.0, 842.0));
        Context cr(cairo_create(surface.get()));
        for (int page = first; page <= last; ++page) DrawPage(cr.get(), name, page, pages, kb);
        cr.reset();
        cairo_surface_finish(surface.get());
    }
    return out;
}

}  // namespace

std::string RenderPagePdf(const std::string& name, int page, int pages, int kb) {
    return RenderPages(name, page, page, pages, kb);
}

std::string RenderDocumentPdf(const std::string& name, int pages, int kb) {
    return RenderPages(name, 1, pages, pages, kb);
}

std::string Base64Decode(std::string_view in) {
    std::string out;
    int bits = 0;
    unsigned value = 0;
    for (char c : in) {
        int v = -1;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        if (v < 0)
            continue;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace kestrane::pubserver::pages
