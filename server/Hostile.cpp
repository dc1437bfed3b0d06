// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/Hostile.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace kestrane::pubserver::hostile {

namespace {

// Writes numbered objects one after another and the classic cross-reference
// table that finds them; object 1 is the catalog.
class PdfWriter {
  public:
    PdfWriter() { out_ = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"; }
    void Object(int number, const std::string& body) {
        if (offsets_.size() <= static_cast<std::size_t>(number))
            offsets_.resize(static_cast<std::size_t>(number) + 1, 0);
        offsets_[static_cast<std::size_t>(number)] = out_.size();
        out_ += std::to_string(number) + " 0 obj\n" + body + "\nendobj\n";
    }
    std::string Finish() {
        const std::size_t xref = out_.size();
        out_ += "xref\n0 " + std::to_string(offsets_.size()) + "\n0000000000 65535 f \n";
        char entry[32];
        for (std::size_t i = 1; i < offsets_.size(); ++i) {
            std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets_[i]);
            out_ += entry;
        }
        out_ += "trailer\n<< /Size " + std::to_string(offsets_.size()) +
                " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
        return std::move(out_);
    }

  private:
    std::string out_;
    std::vector<std::size_t> offsets_{0};
};

constexpr const char* kContents = "0 0 m 100 100 l S";

// Catalog, page tree, a page with extra entries, and its contents (object 4).
void PageFrame(PdfWriter& pdf, const std::string& pageExtra) {
    pdf.Object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    pdf.Object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    pdf.Object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R " +
                      pageExtra + " >>");
    pdf.Object(4, "<< /Length " + std::to_string(std::string(kContents).size()) + " >>\nstream\n" +
                      kContents + "\nendstream");
}

// Deflates `head` followed by `padding` blanks, in pieces, without ever
// holding the inflated text.
std::string DeflateBlankPadded(const std::string& head, unsigned long long padding) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_RLE);
    std::string out;
    std::vector<unsigned char> buffer(1 << 16);
    const std::string blanks(1 << 20, ' ');
    auto feed = [&](const char* data, std::size_t size, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(size);
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            out.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - z.avail_out);
        } while (z.avail_out == 0);
    };
    feed(head.data(), head.size(), Z_NO_FLUSH);
    for (unsigned long long left = padding; left > 0;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<unsigned long long>(left, blanks.size()));
        feed(blanks.data(), piece, Z_NO_FLUSH);
        left -= piece;
    }
    feed(nullptr, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

// Hostile pages are large and slow to build: each shape and size is built once.
std::shared_ptr<const std::string> Cached(const std::string& key,
                                          const std::function<std::string()>& build) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const std::string>> built;
    std::lock_guard lock(mutex);
    auto& slot = built[key];
    if (!slot)
        slot = std::make_shared<const std::string>(build());
    return slot;
}

std::string InquiryHead() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ops:world-patent-data xmlns=\"http://www.epo.org/exchange\" "
           "xmlns:ops=\"http://ops.epo.org\"><ops:document-inquiry><ops:inquiry-result>";
}

std::string InquiryTail() {
    return "</ops:inquiry-result></ops:document-inquiry></ops:world-patent-data>\n";
}

std::string FullDocument(const std::string& link, const std::string& pages) {
    return "<ops:document-instance system=\"ops.epo.org\" number-of-pages=\"" + pages +
           "\" desc=\"FullDocument\" link=\"" + link +
           "\"><ops:document-format-options><ops:document-format>application/pdf</"
           "ops:document-format></ops:document-format-options></ops:document-instance>";
}

}  // namespace

std::shared_ptr<const std::string> DeepChainPdf(int links) {
    return Cached("deep " + std::to_string(links), [links] {
        PdfWriter pdf;
        PageFrame(pdf, "/Resources << >> /X 6 0 R");
        pdf.Object(5, "null");
        for (int i = 0; i < links; ++i) {
            const int number = 6 + i;
            pdf.Object(number, i + 1 < links ? "[" + std::to_string(number + 1) + " 0 R]" : "[]");
        }
        return pdf.Finish();
    });
}

std::shared_ptr<const std::string> ManyObjectsPdf(int count) {
    return Cached("objects " + std::to_string(count), [count] {
        PdfWriter pdf;
        PageFrame(pdf, "/Resources << >> /X 6 0 R");
        pdf.Object(5, "null");
        std::string list = "[";
        for (int i = 0; i < count; ++i) list += std::to_string(7 + i) + " 0 R ";
        list += "]";
        pdf.Object(6, list);
        for (int i = 0; i < count; ++i) {
            pdf.Object(7 + i, "[1]");
        }
        return pdf.Finish();
    });
}

std::shared_ptr<const std::string> ObjectStreamBombPdf(unsigned long long inflated) {
    return Cached("bomb " + std::to_string(inflated), [inflated] {
        // Object 5 (the page's resources) lives in object stream 6; a
        // cross-reference stream (object 7) is the only way to say so.
        std::string out = "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n";
        std::vector<std::size_t> offsets(8, 0);
        auto object = [&](int n, const std::string& body) {
            offsets[static_cast<std::size_t>(n)] = out.size();
            out += std::to_string(n) + " 0 obj\n" + body + "\nendobj\n";
        };
        object(1, "<< /Type /Catalog /Pages 2 0 R >>");
        object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        object(3,
               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
               "/Resources 5 0 R >>");
        object(4, "<< /Length " + std::to_string(std::string(kContents).size()) + " >>\nstream\n" +
                      kContents + "\nendstream");
        const std::string head = "5 0 ";
        const std::string body = "<< /ProcSet [/PDF] >>";
        const std::string packed = DeflateBlankPadded(
            head + body,
            inflated > head.size() + body.size() ? inflated - head.size() - body.size() : 0);
        object(6, "<< /Type /ObjStm /N 1 /First " + std::to_string(head.size()) +
                      " /Filter /FlateDecode /Length " + std::to_string(packed.size()) +
                      " >>\nstream\n" + packed + "\nendstream");
        offsets[7] = out.size();
        std::string rows;
        auto row = [&rows](int type, std::size_t field2, int field3) {
            rows += static_cast<char>(type);
            for (int shift = 24; shift >= 0; shift -= 8)
                rows += static_cast<char>((field2 >> shift) & 0xFF);
            rows += static_cast<char>((field3 >> 8) & 0xFF);
            rows += static_cast<char>(field3 & 0xFF);
        };
        row(0, 0, 65535);
        for (int n = 1; n <= 4; ++n) row(1, offsets[static_cast<std::size_t>(n)], 0);
        row(2, 6, 0);
        row(1, offsets[6], 0);
        row(1, offsets[7], 0);
        out += "7 0 obj\n<< /Type /XRef /Size 8 /W [1 4 2] /Root 1 0 R /Length " +
               std::to_string(rows.size()) + " >>\nstream\n" + rows + "\nendstream\nendobj\n";
        out += "startxref\n" + std::to_string(offsets[7]) + "\n%%EOF\n";
        return out;
    });
}

std::string DeepTokenJson(int depth) {
    std::string json = "{\"a\":";
    json.append(static_cast<std::size_t>(depth), '[');
    json.append(static_cast<std::size_t>(depth), ']');
    return json + ",\"access_token\":\"x\",\"expires_in\":\"1199\"}";
}

std::string DeepInquiryXml(int depth, const std::string& link) {
    std::string xml = InquiryHead();
    for (int i = 0; i < depth; ++i) xml += "<ops:x>";
    xml += FullDocument(link, "2");
    for (int i = 0; i < depth; ++i) xml += "</ops:x>";
    return xml + InquiryTail();
}

std::string BulkyInquiryXml(std::size_t bytes, const std::string& link) {
    std::string xml = InquiryHead();
    xml.reserve(bytes + 1024);
    while (xml.size() < bytes) xml += "<a/><a/><a/><a/><a/><a/><a/><a/>";
    return xml + FullDocument(link, "2") + InquiryTail();
}

std::string ExponentInquiryXml(const std::string& link) {
    return InquiryHead() + FullDocument(link, "1e9") + InquiryTail();
}

std::string ThrottleFlood(unsigned long long first, int services) {
    std::string value = "idle (images=green:60000, retrieval=green:60000";
    for (int i = 0; i < services; ++i)
        value += ", s" + std::to_string(first + static_cast<unsigned long long>(i)) + "=green:1000";
    return value + ")";
}

}  // namespace kestrane::pubserver::hostile
