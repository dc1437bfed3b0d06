// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/OpsServer.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "server/Hostile.h"
#include "server/Pages.h"

namespace kestrane::pubserver {

namespace {

constexpr const char* kXml = "application/xml";
constexpr const char* kPdf = "application/pdf";
constexpr int kFloodLines = 3;
constexpr int kFloodNames = 4000;  // new services named per line

const std::string kInquiryPath = "/3.2/rest-services/published-data/publication/docdb/";
const std::string kImagesPath = "/3.2/rest-services/published-data/images/";

std::string GatewayError(int code, const std::string& message, const std::string& more = {}) {
    return "<error><code>" + std::to_string(code) + "</code><message>" + message + "</message>" +
           more + "\n\t\t\t\t</error>\n\t\t\t";
}

std::string OpsFaultBody(const std::string& code, const std::string& message) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<fault xmlns=\"http://ops.epo.org\">\n    <code>" +
           code + "</code>\n    <message>" + message + "</message>\n</fault>\n";
}

std::string Section(const char* name, int start) {
    return std::string("                <ops:document-section name=\"") + name +
           "\" start-page=\"" + std::to_string(start) + "\"/>\n";
}

std::string Instance(const std::string& desc, const std::string& link, int pages,
                     const std::string& sections) {
    return "            <ops:document-instance system=\"ops.epo.org\" number-of-pages=\"" +
           std::to_string(pages) + "\" desc=\"" + desc + "\" link=\"" + link +
           "\">\n                <ops:document-format-options>\n"
           "                    <ops:document-format>application/pdf</ops:document-format>\n"
           "                    <ops:document-format>application/tiff</ops:document-format>\n"
           "                </ops:document-format-options>\n" +
           sections + "            </ops:document-instance>\n";
}

std::string DocumentId(const std::string& cc, const std::string& n, const std::string& k) {
    return "<document-id document-id-type=\"docdb\"><country>" + cc + "</country><doc-number>" + n +
           "</doc-number><kind>" + k + "</kind></document-id>";
}

// The recorded inquiry's shape. The first corpus number also lists an
// AMENDMENT-only correction before the publication, the second spreads its
// instances over two inquiry results.
std::string InquiryXml(const std::string& cc, const std::string& n, const std::string& k,
                       int pages) {
    const std::string images = "published-data/images/" + cc + "/" + n + "/" + k + "/";
    const std::string compact = cc + n + k;
    const std::string full =
        Instance("FullDocument", images + "fullimage", pages,
                 Section("ABSTRACT", 1) + Section("BIBLIOGRAPHY", 1) + Section("DESCRIPTION", 1) +
                     Section("CLAIMS", std::max(1, pages - 1)) + Section("DRAWINGS", pages));
    const std::string others =
        Instance("Drawing", images + "thumbnail", 1, Section("DRAWINGS", 1)) +
        Instance("FirstPageClipping", "published-data/images/" + cc + "/" + n + "/PA/firstpage", 1,
                 Section("ABSTRACT", 1) + Section("BIBLIOGRAPHY", 1));
    const std::string head = "        <ops:inquiry-result>\n            <publication-reference>" +
                             DocumentId(cc, n, k) + "</publication-reference>\n";
    std::string results;
    if (compact == kSeveralPages) {
        results =
            head +
            Instance("FullDocument", "published-data/images/" + cc + "/" + n + "/C8/fullimage", 1,
                     Section("AMENDMENT", 1)) +
            full + others + "        </ops:inquiry-result>\n";
    } else if (compact == kSelectionNumber) {
        results = head + others + "        </ops:inquiry-result>\n" + head + full +
                  "        </ops:inquiry-result>\n";
    } else {
        results = head + full + others + "        </ops:inquiry-result>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><?xml-stylesheet type=\"text/xsl\" "
           "href=\"/3.2/style/pub-inquiry.xsl\"?>\n"
           "<ops:world-patent-data xmlns=\"http://www.epo.org/exchange\" "
           "xmlns:ops=\"http://ops.epo.org\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n"
           "    <ops:document-inquiry>\n        <ops:publication-reference>" +
           DocumentId(cc, n, k) + "</ops:publication-reference>\n" + results +
           "    </ops:document-inquiry>\n</ops:world-patent-data>\n";
}

// ---- Bibliographic answers: the exchange-document shape of the OPS
// reference guide, with German and English titles, parties in OPS's own
// spelling and as filed, and an application reference whose docdb id must
// not be taken for the publication's.

struct Party {
    const char* filed;  // as filed ("original")
    const char* epodoc;
};

struct BiblioRecord {
    const char* titleDe;
    const char* titleEn;
    std::vector<Party> applicants;
    std::vector<Party> inventors;
    std::vector<const char*> ipc;
};

const std::vector<BiblioRecord>& BiblioRecords() {
    static const std::vector<BiblioRecord> records = {
        {"Bremsanlage für ein Kraftfahrzeug, insbesondere mit \"elektronischer\" "
         "Bremskraftverteilung",
         "Brake system for a motor vehicle, in particular with \"electronic\" brake force "
         "distribution",
         {{"Robert Bosch GmbH", "BOSCH GMBH ROBERT [DE]"},
          {"Müller & Söhne Maschinenbau GmbH & Co. KG", "MUELLER & SOEHNE MASCHB [DE]"}},
         {{"Müller, Hans", "MUELLER HANS [DE]"}, {"Schäfer, Anna-Lena", "SCHAEFER ANNA-LENA [DE]"}},
         {"B60T   8/17        20060101AFI20051220BHEP",
          "B60T  13/66        20060101ALI20051220BHEP"}},
        {"Verfahren und Vorrichtung zum Herstellen eines Halbleiterbauelements",
         "Method and device for producing a semiconductor component",
         {{"Siemens Aktiengesellschaft", "SIEMENS AG [DE]"}},
         {{"Weiß, Jürgen", "WEISS JUERGEN [DE]"}},
         {"H01L  21/00        20060101AFI20051008RMEP"}},
        {"Schaltungsanordnung zur Ansteuerung eines Elektromotors",
         "Circuit arrangement for controlling an electric motor",
         {{"Infineon Technologies AG", "INFINEON TECHNOLOGIES AG [DE]"}},
         {{"Özdemir, Ayşe", "OEZDEMIR AYSE [DE]"}, {"Lehmann, Peter", "LEHMANN PETER [DE]"}},
         {"H02P   6/08        20160101AFI20161012BHEP",
          "H02M   7/537       20060101ALI20161012BHEP"}},
        {"Wärmeübertrager für die Abgasrückführung",
         "Heat exchanger for exhaust gas recirculation",
         {{"Mahle International GmbH", "MAHLE INT GMBH [DE]"}},
         {{"Kühn, Stefan", "KUEHN STEFAN [DE]"}},
         {"F28D   7/16        20060101AFI20090205BHEP"}},
    };
    return records;
}

std::string Parties(const char* list, const char* one, const std::vector<Party>& parties) {
    std::string out = std::string("                    <") + list + ">\n";
    int sequence = 0;
    for (const Party& party : parties) {
        const std::string seq = std::to_string(++sequence);
        for (const auto& [format, name] :
             {std::pair{"epodoc", party.epodoc}, std::pair{"original", party.filed}}) {
            out += std::string("                        <") + one + " sequence=\"" + seq +
                   "\" data-format=\"" + format + "\"><" + one + "-name><name>" +
                   pages::HtmlEscape(name) + "</name></" + one + "-name></" + one + ">\n";
        }
    }
    return out + "                    </" + list + ">\n";
}

// A publication date that stays the same for a number: the corpus's first
// number has a fixed one, the rest follow from their digits.
std::string PublicationDate(const std::string& compact, const std::string& n) {
    if (compact == kSeveralPages)
        return "20020418";
    unsigned long sum = 0;
    for (char c : n) sum = sum * 31 + static_cast<unsigned char>(c);
    const int year = 1995 + static_cast<int>(sum % 28);
    const int month = 1 + static_cast<int>((sum / 28) % 12);
    const int day = 1 + static_cast<int>((sum / 336) % 28);
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
    return text;
}

}  // namespace

std::string OpsBiblioXml(const std::string& cc, const std::string& n, const std::string& k) {
    const std::string compact = cc + n + k;
    std::size_t pick = 0;
    if (compact != kSeveralPages) {
        for (char c : compact) pick = pick * 131 + static_cast<unsigned char>(c);
        pick = 1 + pick % (BiblioRecords().size() - 1);
    }
    const BiblioRecord& r = BiblioRecords()[pick];
    const std::string date = PublicationDate(compact, n);
    std::string ipc = "                <classifications-ipcr>\n";
    int sequence = 0;
    for (const char* text : r.ipc) {
        ipc += "                    <classification-ipcr sequence=\"" + std::to_string(++sequence) +
               "\"><text>" + text + "</text></classification-ipcr>\n";
    }
    ipc += "                </classifications-ipcr>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><?xml-stylesheet type=\"text/xsl\" "
           "href=\"/3.2/style/exchange.xsl\"?>\n"
           "<ops:world-patent-data xmlns=\"http://www.epo.org/exchange\" "
           "xmlns:ops=\"http://ops.epo.org\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n"
           "    <exchange-documents>\n"
           "        <exchange-document system=\"ops.epo.org\" family-id=\"" +
           std::to_string(10000000 + pick * 7919) + "\" country=\"" + cc + "\" doc-number=\"" + n +
           "\" kind=\"" + k +
           "\">\n            <bibliographic-data>\n"
           "                <publication-reference>\n"
           "                    <document-id document-id-type=\"docdb\"><country>" +
           cc + "</country><doc-number>" + n + "</doc-number><kind>" + k + "</kind><date>" + date +
           "</date></document-id>\n"
           "                    <document-id document-id-type=\"epodoc\"><doc-number>" +
           cc + n + "</doc-number><date>" + date +
           "</date></document-id>\n"
           "                </publication-reference>\n" +
           ipc + "                <application-reference doc-id=\"" +
           std::to_string(40000000 + pick) +
           "\"><document-id document-id-type=\"docdb\"><country>" + cc + "</country><doc-number>1" +
           n +
           "</doc-number><kind>A</kind><date>19971219</date>"
           "</document-id></application-reference>\n"
           "                <parties>\n" +
           Parties("applicants", "applicant", r.applicants) +
           Parties("inventors", "inventor", r.inventors) +
           "                </parties>\n"
           "                <invention-title lang=\"de\">" +
           pages::HtmlEscape(r.titleDe) +
           "</invention-title>\n"
           "                <invention-title lang=\"en\">" +
           pages::HtmlEscape(r.titleEn) +
           "</invention-title>\n"
           "            </bibliographic-data>\n"
           "            <abstract lang=\"en\"><p>The invention relates to " +
           pages::HtmlEscape(r.titleEn) +
           ".</p></abstract>\n"
           "        </exchange-document>\n"
           "    </exchange-documents>\n"
           "</ops:world-patent-data>\n";
}

namespace {

// "a/b/c" -> {"a", "b", "c"}
std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

}  // namespace

int OpsEndpoints::PagesOf(const std::string& compact) const {
    if (compact == kSeveralPages)
        return kSeveralPagesCount;
    if (compact == kSelectionNumber)
        return kSelectionDocAPages;
    if (compact == kManyPages)
        return kManyPagesCount;
    return options_.syntheticPages;
}

void OpsEndpoints::Handle(const httplib::Request& req, const std::string& path,
                          httplib::Response& res, const OpsHooks& hooks) {
    res.set_header("X-API", "ops-v3.2");
    res.set_header("X-Throttling-Control", options_.opsThrottling);
    if (path == "/3.2/auth/accesstoken" && req.method == "POST") {
        Token(req, res, hooks);
        return;
    }
    if (!Authorised(req, res))
        return;
    if (path.starts_with(kInquiryPath) && path.ends_with("/biblio")) {
        Biblio(path.substr(kInquiryPath.size(), path.size() - kInquiryPath.size() - 7), res, hooks);
        return;
    }
    if (path.starts_with(kInquiryPath) && path.ends_with("/images")) {
        Inquiry(path.substr(kInquiryPath.size(), path.size() - kInquiryPath.size() - 7), res,
                hooks);
        return;
    }
    if (path.starts_with(kImagesPath) && path.ends_with("/fullimage.pdf")) {
        Page(req, path, res, hooks);
        return;
    }
    res.status = 404;
    res.set_content(OpsFaultBody("CLIENT.InvalidReference", "Invalid reference"), kXml);
}

void OpsEndpoints::Token(const httplib::Request& req, httplib::Response& res,
                         const OpsHooks& hooks) {
    const auto fault = hooks.FindFault("", Stage::OpsToken, 0);
    const std::string auth = req.get_header_value("Authorization");
    const bool valid =
        auth.starts_with("Basic ") &&
        pages::Base64Decode(auth.substr(6)) == options_.opsKey + ":" + options_.opsSecret &&
        req.body == "grant_type=client_credentials";
    if (fault == FaultKind::Unauthorized || fault == FaultKind::EscapesInLink ||
        (!fault && !valid)) {
        res.status = 401;
        res.set_content(
            GatewayError(401, fault == FaultKind::EscapesInLink ? hostile::kTerminalXml
                                                                : "Client credentials are invalid"),
            kXml);
        return;
    }
    if (fault == FaultKind::Deep) {
        hooks.Respond(res, std::nullopt, "", hostile::DeepTokenJson(100000), "application/json");
        return;
    }
    std::string token;
    {
        std::lock_guard lock(mu_);
        std::mt19937_64 random(++issued_ * 7919 +
                               static_cast<unsigned long long>(std::random_device{}()));
        static const char* kChars =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        for (int i = 0; i < 28; ++i) token += kChars[random() % 62];
        tokens_[token] = 0;
        issuedTokens_.push_back(token);
    }
    const std::string json =
        "{\n  \"refresh_token_expires_in\" : \"0\",\n  \"api_product_list\" : \"[ops-prod]\",\n"
        "  \"api_product_list_json\" : [ \"ops-prod\" ],\n  \"organization_name\" : \"epo\",\n"
        "  \"developer.email\" : \"someone@example.org\",\n  \"token_type\" : \"BearerToken\",\n"
        "  \"issued_at\" : \"1716393992063\",\n  \"client_id\" : \"" +
        options_.opsKey + "\",\n  \"access_token\" : \"" + token +
        "\",\n  \"application_name\" : \"8654da0d-5e44-4ea3-addc-e555eff4aee6\",\n"
        "  \"scope\" : \"core\",\n  \"expires_in\" : \"1199\",\n  \"refresh_count\" : \"0\",\n"
        "  \"status\" : \"approved\"\n}";
    hooks.Respond(res, fault, "", json, "application/json");
}

std::vector<std::string> OpsEndpoints::TokensIssued() const {
    std::lock_guard lock(mu_);
    return issuedTokens_;
}

namespace {

// OPS's answer to an access token it does not take (expired or unknown).
void RefuseToken(httplib::Response& res) {
    res.status = 400;
    res.set_header("WWW-Authenticate",
                   "Bearer realm=\"null\",error=\"invalid_token\",error_description=\"oauth.v2."
                   "InvalidAccessToken: Invalid access token\"");
    res.set_content(GatewayError(400, "invalid_access_token",
                                 "<description>Access token is invalid</description>"),
                    kXml);
}

}  // namespace

bool OpsEndpoints::Authorised(const httplib::Request& req, httplib::Response& res) {
    const std::string auth = req.get_header_value("Authorization");
    const std::string token = auth.starts_with("Bearer ") ? auth.substr(7) : std::string();
    std::lock_guard lock(mu_);
    auto it = tokens_.find(token);
    if (it != tokens_.end() && (options_.opsTokenUses <= 0 || it->second < options_.opsTokenUses)) {
        ++it->second;
        return true;
    }
    if (it != tokens_.end())
        tokens_.erase(it);
    RefuseToken(res);
    return false;
}

bool OpsEndpoints::OpsFault(std::optional<FaultKind> fault, const std::string& target,
                            const char* service, httplib::Response& res) {
    if (!fault)
        return false;
    switch (*fault) {
        case FaultKind::NotFound:
            res.status = 404;
            res.set_content(OpsFaultBody("SERVER.EntityNotFound", "No results found"), kXml);
            return true;
        case FaultKind::Unauthorized:
            res.status = 401;
            res.set_content(GatewayError(401, "ClientId is Invalid"), kXml);
            return true;
        case FaultKind::Quota:
            res.status = 403;
            res.set_header("X-Rejection-Reason", "IndividualQuotaPerHour");
            res.set_content(
                GatewayError(403,
                             "This request has been rejected due to the violation of Fair Use "
                             "policy",
                             "<moreInfo>http://www.epo.org/searching/free/espacenet/"
                             "fair-use.html</moreInfo>"),
                "text/xml");
            return true;
        case FaultKind::TokenRefused:
            RefuseToken(res);
            return true;
        case FaultKind::Robot:
            res.status = 403;
            res.set_content(
                OpsFaultBody("CLIENT.RobotDetected",
                             "Recent behaviour implies you are a robot. The server is at the "
                             "moment busy to serve robots. Please try again later"),
                kXml);
            return true;
        case FaultKind::EscapesInLink:
            // Words of the server meant for the user's terminal.
            if (std::string_view(service) == "images") {
                res.status = 403;
                res.set_header("X-Rejection-Reason", hostile::kTerminalHeader);
                res.set_content(GatewayError(403, "Fair use"), kXml);
            } else {
                res.status = 404;
                res.set_content(OpsFaultBody(hostile::kTerminalXml, "No results found"), kXml);
            }
            return true;
        case FaultKind::ServiceFlood: {
            unsigned long long first = 0;
            {
                std::lock_guard lock(mu_);
                first = floodNames_;
                floodNames_ += kFloodLines * kFloodNames;
            }
            // Each line stays under libcurl's limit for one header line, and
            // all of them under its limit for an answer's headers.
            for (int line = 0; line < kFloodLines; ++line)
                res.set_header("X-Throttling-Control",
                               hostile::ThrottleFlood(
                                   first + kFloodNames * static_cast<unsigned>(line), kFloodNames));
            return false;
        }
        case FaultKind::LongWait:
        case FaultKind::Black: {
            std::lock_guard lock(mu_);
            if (!blackened_.insert(target).second)
                return false;  // the wait was sat out: answer as usual
            res.status = 403;
            std::string header = options_.opsThrottling;
            const std::string key = std::string(service) + "=";
            if (const auto at = header.find(key); at != std::string::npos) {
                const auto end = header.find_first_of(",)", at);
                header.replace(at, end - at, key + "black:0");
            }
            res.set_header("X-Throttling-Control", header);
            // A wait in ms past what a signed 64-bit count of nanoseconds holds.
            res.set_header("Retry-After", *fault == FaultKind::LongWait
                                              ? std::string("9300000000000")
                                              : std::to_string(options_.opsRetryAfterMs));
            res.set_content(GatewayError(403, "Service is suspended for this client"), kXml);
            return true;
        }
        default:
            return false;
    }
}

void OpsEndpoints::Inquiry(const std::string& docdb, httplib::Response& res,
                           const OpsHooks& hooks) {
    const std::vector<std::string> parts = Split(docdb, '.');
    const std::string compact = parts.size() == 3 ? parts[0] + parts[1] + parts[2] : docdb;
    const auto fault = hooks.FindFault(compact, Stage::OpsInquiry, 0);
    if (OpsFault(fault, "inquiry " + compact, "retrieval", res))
        return;
    const int pages = parts.size() == 3 ? PagesOf(compact) : 0;
    if (pages <= 0) {
        res.status = 404;
        res.set_content(OpsFaultBody("SERVER.EntityNotFound", "No results found"), kXml);
        return;
    }
    const std::string link =
        "published-data/images/" + parts[0] + "/" + parts[1] + "/" + parts[2] + "/fullimage";
    std::string xml;
    if (fault == FaultKind::Deep)
        xml = hostile::DeepInquiryXml(60000, link);
    else if (fault == FaultKind::Bulky)
        xml = hostile::BulkyInquiryXml(64000000, link);
    else if (fault == FaultKind::Exponent)
        xml = hostile::ExponentInquiryXml(link);
    else
        xml = InquiryXml(parts[0], parts[1], parts[2], pages);
    Meter(res, xml.size());
    hooks.Respond(res, fault, compact, std::move(xml), kXml);
}

void OpsEndpoints::Biblio(const std::string& docdb, httplib::Response& res, const OpsHooks& hooks) {
    const std::vector<std::string> parts = Split(docdb, '.');
    const std::string compact = parts.size() == 3 ? parts[0] + parts[1] + parts[2] : docdb;
    const auto fault = hooks.FindFault(compact, Stage::OpsBiblio, 0);
    if (OpsFault(fault, "biblio " + compact, "retrieval", res))
        return;
    if (parts.size() != 3 || PagesOf(compact) <= 0) {
        res.status = 404;
        res.set_content(OpsFaultBody("SERVER.EntityNotFound", "No results found"), kXml);
        return;
    }
    std::string xml = OpsBiblioXml(parts[0], parts[1], parts[2]);
    Meter(res, xml.size());
    hooks.Respond(res, fault, compact, std::move(xml), kXml);
}

void OpsEndpoints::Meter(httplib::Response& res, std::size_t bytes) {
    unsigned long long hour = 0;
    unsigned long long week = 0;
    {
        std::lock_guard lock(mu_);
        usedBytes_ += bytes;
        hour = usedBytes_;
        week = options_.opsWeekUsedBefore + usedBytes_;
    }
    res.set_header("X-IndividualQuotaPerHour-Used", std::to_string(hour));
    res.set_header("X-RegisteredQuotaPerWeek-Used", std::to_string(week));
}

void OpsEndpoints::Page(const httplib::Request& req, const std::string& path,
                        httplib::Response& res, const OpsHooks& hooks) {
    // published-data/images/CC/N/K/fullimage.pdf
    const std::vector<std::string> parts = Split(path.substr(kImagesPath.size()), '/');
    const std::string compact = parts.size() == 4 ? parts[0] + parts[1] + parts[2] : "";
    const int pages = compact.empty() ? 0 : PagesOf(compact);
    const std::string range = req.get_param_value("Range");
    int page = 0;
    if (!range.empty() && std::all_of(range.begin(), range.end(), ::isdigit) && range.size() < 7)
        page = std::stoi(range);
    const auto fault = hooks.FindFault(compact, Stage::OpsPage, page);
    if (OpsFault(fault, compact + " " + std::to_string(page), "images", res))
        return;
    if (pages <= 0 || page < 1 || page > pages) {
        res.status = 404;
        res.set_content(OpsFaultBody("SERVER.EntityNotFound", "No results found"), kXml);
        return;
    }
    res.set_header("Content-Disposition",
                   "attachment; filename=" + parts[0] + "     " + parts[1] + parts[2] + " I .pdf");
    const std::shared_ptr<const std::string> pdf = hooks.PagePdf(compact, page, pages);
    Meter(res, pdf->size());
    hooks.Respond(res, fault, compact, *pdf, kPdf);
}

}  // namespace kestrane::pubserver
