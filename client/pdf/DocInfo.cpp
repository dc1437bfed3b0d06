// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/DocInfo.h"

#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFCryptoProvider.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <system_error>
#include <vector>

#include "util/Platform.h"

namespace kestrane {

namespace {

// Thrown inside this file with the reason; never leaves it.
struct Refused {
    std::string reason;
};

std::string Join(const std::vector<std::string>& list, const char* by) {
    std::string out;
    for (const std::string& item : list) out += (out.empty() ? "" : by) + item;
    return out;
}

std::string TitleOf(const Biblio& info) {
    if (!info.TitleDe.empty() && !info.TitleEn.empty())
        return info.TitleDe + " / " + info.TitleEn;
    return info.Title();
}

// A PDF opened strictly: no recovery, any warning refuses it.
void OpenStrict(QPDF& pdf, const std::string& path) {
    pdf.setSuppressWarnings(true);
    pdf.setAttemptRecovery(false);
    pdf.processFile(path.c_str());
    if (pdf.anyWarnings())
        throw Refused{"the file can be read only with warnings"};
}

// The offset the last "startxref" names, when it points at a plain
// cross-reference table ("xref"); an update of a file with a
// cross-reference stream would have to be a stream too, so such files are refused.
long long LastXrefTable(const std::string& path, long long size) {
    std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
    const long long tail = std::min<long long>(size, 1024);
    std::string text(static_cast<std::size_t>(tail), '\0');
    in.seekg(size - tail);
    if (!in.read(text.data(), tail))
        throw Refused{"cannot read the end of the file"};
    const std::size_t at = text.rfind("startxref");
    if (at == std::string::npos)
        throw Refused{"no startxref"};
    long long offset = -1;
    if (std::sscanf(text.c_str() + at + 9, "%lld", &offset) != 1 || offset < 0 || offset >= size)
        throw Refused{"a startxref out of the file"};
    std::array<char, 4> head{};
    in.clear();
    in.seekg(offset);
    if (!in.read(head.data(), head.size()) || std::string_view(head.data(), 4) != "xref")
        throw Refused{"the cross-reference is not a plain table"};
    return offset;
}

std::string Entry(long long offset, int generation, char type) {
    std::array<char, 32> line{};
    std::snprintf(line.data(), line.size(), "%010lld %05d %c \n", offset, generation, type);
    return line.data();
}

// The update appended to a file of oldSize bytes: the new information
// dictionary as object `number`, its cross-reference section and a trailer
// that points back to the previous one.
std::string MakeUpdate(QPDF& pdf, const Biblio& info, long long oldSize, long long prevXref) {
    QPDFObjectHandle trailer = pdf.getTrailer();
    if (trailer.hasKey("/Encrypt"))
        throw Refused{"the file is encrypted"};
    QPDFObjectHandle root = trailer.getKey("/Root");
    if (!root.isIndirect())
        throw Refused{"the file has no document catalogue"};
    const long long number = trailer.getKey("/Size").getIntValue();
    if (number < 1 || number > 8000000)
        throw Refused{"an implausible object count"};

    QPDFObjectHandle dict = QPDFObjectHandle::newDictionary();
    QPDFObjectHandle old = trailer.getKey("/Info");
    if (old.isDictionary()) {
        for (const std::string& key : old.getKeys()) dict.replaceKey(key, old.getKey(key));
    }
    const auto set = [&](const char* key, const std::string& value) {
        if (!value.empty())
            dict.replaceKey(key, QPDFObjectHandle::newUnicodeString(value));
    };
    set("/Title", TitleOf(info));
    set("/Author", Join(info.Applicants, "; "));
    set("/Subject", info.Number);
    set("/Keywords", Join(info.Ipc, "; "));

    std::string text = "\n";
    const long long objectAt = oldSize + static_cast<long long>(text.size());
    text += std::to_string(number) + " 0 obj\n" + dict.unparse() + "\nendobj\n";
    const long long xrefAt = oldSize + static_cast<long long>(text.size());
    text += "xref\n0 1\n" + Entry(0, 65535, 'f') + std::to_string(number) + " 1\n" +
            Entry(objectAt, 0, 'n');
    text += "trailer\n<< /Size " + std::to_string(number + 1) + " /Root " + root.unparse() +
            " /Info " + std::to_string(number) + " 0 R /Prev " + std::to_string(prevXref);
    if (trailer.hasKey("/ID"))
        text += " /ID " + trailer.getKey("/ID").unparse();
    text += " >>\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
    return text;
}

void AppendBytes(const std::string& path, const std::string& text) {
    std::ofstream out(platform::PathFromUtf8(path), std::ios::binary | std::ios::app);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out)
        throw Refused{"the update could not be written"};
}

void Check(const std::string& path, const std::string& title, std::size_t pages) {
    QPDF pdf;
    OpenStrict(pdf, path);
    if (pdf.getAllPages().size() != pages)
        throw Refused{"the page count changed"};
    QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
    if (!title.empty() && (!info.isDictionary() || info.getKey("/Title").getUTF8Value() != title))
        throw Refused{"the title does not read back"};
}

std::string Text(QPDFObjectHandle info, const char* key) {
    QPDFObjectHandle value = info.getKey(key);
    return value.isString() ? value.getUTF8Value() : std::string();
}

}  // namespace

std::optional<std::string> Sha256OfFile(const std::string& path) {
    try {
        std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
        if (!in)
            return std::nullopt;
        auto sha = QPDFCryptoProvider::getImpl();
        sha->SHA2_init(256);
        std::vector<char> buffer(1 << 16);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto got = static_cast<std::size_t>(in.gcount());
            sha->SHA2_update(reinterpret_cast<const unsigned char*>(buffer.data()), got);
        }
        if (!in.eof())
            return std::nullopt;
        sha->SHA2_finalize();
        const std::string digest = sha->SHA2_digest();
        std::string hex;
        static const char* kHex = "0123456789abcdef";
        for (const char c : digest) {
            const auto b = static_cast<unsigned char>(c);
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        return hex;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string WriteDocumentInfo(const std::string& path, const Biblio& info) {
    if (TitleOf(info).empty() && info.Applicants.empty() && info.Number.empty() && info.Ipc.empty())
        return "";
    std::error_code ec;
    const auto size =
        static_cast<long long>(std::filesystem::file_size(platform::PathFromUtf8(path), ec));
    if (ec)
        return ec.message();
    bool appended = false;
    try {
        std::string update;
        std::size_t pages = 0;
        {
            QPDF pdf;
            OpenStrict(pdf, path);
            pages = pdf.getAllPages().size();
            update = MakeUpdate(pdf, info, size, LastXrefTable(path, size));
        }
        appended = true;
        AppendBytes(path, update);
        Check(path, TitleOf(info), pages);
        return "";
    } catch (const Refused& refused) {
        if (appended)
            std::filesystem::resize_file(platform::PathFromUtf8(path),
                                         static_cast<std::uintmax_t>(size), ec);
        return refused.reason;
    } catch (const std::exception& e) {
        if (appended)
            std::filesystem::resize_file(platform::PathFromUtf8(path),
                                         static_cast<std::uintmax_t>(size), ec);
        return e.what();
    }
}

std::optional<PdfInfo> ReadDocumentInfo(const std::string& path) {
    try {
        QPDF pdf;
        OpenStrict(pdf, path);
        QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
        if (!info.isDictionary())
            return PdfInfo{};
        return PdfInfo{Text(info, "/Title"), Text(info, "/Author"), Text(info, "/Subject"),
                       Text(info, "/Keywords")};
    } catch (const std::exception&) {
        return std::nullopt;
    } catch (const Refused&) {
        return std::nullopt;
    }
}

}  // namespace kestrane
