// SPDX-License-Identifier: GPL-3.0-or-later
// The pure readers of the DPMAconnectPlus and Google Patents sources: ids,
// answers, robots.txt, the page's tags and which PDF links are followed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/sources/dpma/DpmaAnswer.h"
#include "client/sources/dpma/DpmaIds.h"
#include "client/sources/google/GoogleBiblio.h"
#include "client/sources/google/HtmlTags.h"
#include "client/sources/google/LinkRule.h"
#include "client/sources/google/Robots.h"

namespace kestrane {
namespace {

using Ids = std::vector<std::string>;

TEST(DpmaIds, ShortGermanNumbersArePaddedFirstAndMalformedOnesGetNoId) {
    EXPECT_EQ(dpma::DocumentIds("de 197 58 096 c2"), (Ids{"DE000019758096C2", "DE19758096C2"}));
    EXPECT_EQ(dpma::DocumentIds("DE000019758096C2"), (Ids{"DE000019758096C2", "DE19758096C2"}));
    EXPECT_EQ(dpma::DocumentIds("DE102006026208A1"), (Ids{"DE102006026208A1"}));
    EXPECT_EQ(dpma::DocumentIds("EP0001000A1"), (Ids{"EP0001000A1"}));
    for (const char* bad : {"DE19758096", "19758096C2", "DE1975x8096C2", "DE0000C2",
                            "DE1234567890123A1", "DE19758096C2/../x", ""})
        EXPECT_TRUE(dpma::DocumentIds(bad).empty()) << bad;
}

TEST(DpmaAnswer, ContentNotStatusDecidesAndDpmasMessagesAreKeptBounded) {
    using dpma::Verdict;
    struct Case {
        long status;
        std::string body;
        Verdict verdict;
        std::string message;
    };
    const std::string transaction =
        "\xEF\xBB\xBF <?xml version=\"1.0\"?><Transaction><TransactionHeader/><X:Body "
        "xmlns:X=\"u\"><TransactionErrorDetails><TransactionError><TransactionErrorCode>Error<"
        "/TransactionErrorCode><X:TransactionErrorText>Data not available</"
        "X:TransactionErrorText></TransactionError></TransactionErrorDetails></X:Body>"
        "</Transaction>";
    const std::vector<Case> table = {
        {200, "%PDF-1.5\n...", Verdict::Pdf, ""},
        {200,
         "<Error Message_DE=\"Authentifizierung fehlgeschlagen\" "
         "Message_EN=\"Authentification failed\"/>",
         Verdict::CredentialsRefused, "Authentification failed"},
        {200, transaction, Verdict::NotFound, "Data not available"},
        {403,
         "<Transaction><B><TransactionErrorText>Permission denied</TransactionErrorText>"
         "</B></Transaction>",
         Verdict::CredentialsRefused, "Permission denied"},
        {401, "", Verdict::CredentialsRefused, "HTTP 401"},
        {404, "<html>gone</html>", Verdict::NotFound, ""},
        {503, "", Verdict::Transient, "HTTP 503"},
        {200, "<Error Message_EN=\"Internal failure\"/>", Verdict::Failed, "Internal failure"},
        {200, "<PatentHitList HitCount=\"3\" Message_EN=\"capped\"/>", Verdict::Failed,
         "<PatentHitList HitCount=\"3\" Message_EN=\"capped\"/>"},
        {200, "", Verdict::Failed, "an empty answer"},
        {200, " %PDF-1.5", Verdict::Failed, "%PDF-1.5"},
        {200, "<Error Message_EN=\"" + std::string(5000, 'x') + "\"/>", Verdict::Failed,
         std::string(dpma::kMaxMessage, 'x')},
    };
    for (const Case& c : table) {
        const dpma::Answer answer = dpma::Classify(c.status, c.body);
        EXPECT_EQ(answer.verdict, c.verdict) << c.status << " " << c.body.substr(0, 60);
        EXPECT_EQ(answer.message, c.message) << c.status << " " << c.body.substr(0, 60);
    }
    // XML nested beyond any sensible depth is read without recursion.
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "<a>";
    EXPECT_EQ(dpma::Classify(200, "<Transaction>" + deep).verdict, Verdict::Failed);
}

TEST(Robots, LongestMatchWinsAllowWinsTiesAndOurGroupBeatsTheStar) {
    const std::string google =
        "User-agent: *\nDisallow: /*\nAllow: /$\nAllow: /advanced$\nAllow: /patent/\n"
        "Allow: /sitemap/\n";
    const std::string ours =
        "user-agent: Googlebot\nuser-agent: *\nDisallow: /private\n\n"
        "User-Agent: kestrane/2.0 # us\nDisallow: /patent/*.pdf$\nAllow: /patent/x%2fy\n"
        "Sitemap: /s.xml\nDisallow: /p*t$\n\nUser-agent: other\nDisallow: /\n"
        "User-agent: KESTRANE\nAllow: /patent/DE1\nDisallow: /patent/DE1\nDisallow: /patent/DE12\n";
    struct Case {
        const std::string* text;
        const char* path;
        bool allowed;
    };
    const std::vector<Case> table = {
        {&google, "/patent/DE19758096C2/en", true},
        {&google, "/", true},
        {&google, "/?q=water", false},
        {&google, "/advanced", true},
        {&google, "/advanced/x", false},
        {&google, "/xhr/query?url=pn%3DDE1", false},
        {&google, "/patentimages/x.pdf", false},
        {&google, "/robots.txt", true},
        {&ours, "/private", true},  // the star group is not ours when ours exists
        {&ours, "/patent/DE1A1.pdf", false},
        {&ours, "/patent/A1.pdf?x", true},  // "$" ends the path
        {&ours, "/patent/x%2Fy", true},     // percent-escapes compare case-blind
        {&ours, "/pat", false},
        {&ours, "/patent/DE1", true},  // equal length: allow wins; groups merge
        {&ours, "/patent/DE12", false},
    };
    for (const Case& c : table) {
        const auto rules = google::RobotsRules::Parse(*c.text, "Kestrane");
        EXPECT_EQ(rules.Allowed(c.path), c.allowed) << c.path;
    }
    EXPECT_TRUE(google::RobotsRules().Allowed("/anything"));
    EXPECT_TRUE(google::RobotsRules::Parse("Disallow: /\n", "Kestrane").Allowed("/x"));
    // Pathological patterns finish: one backtracking point, no recursion.
    std::string stars = "User-agent: *\nDisallow: /";
    for (int i = 0; i < 2000; ++i) stars += "*a";
    stars += "$\n";
    EXPECT_TRUE(
        google::RobotsRules::Parse(stars, "Kestrane").Allowed("/" + std::string(300, 'a') + "b"));
}

TEST(PatentPage, MetaTagsAreReadInAnyQuotingWithEntitiesDecodedAndScriptsSkipped) {
    const std::string html =
        "<!DOCTYPE html><html><head><!-- <meta name=citation_pdf_url content=bad> -->"
        "<script>var s = '<meta name=\"citation_pdf_url\" content=\"bad\">';</script>"
        "<META CONTENT='https://patentimages.storage.googleapis.com/a/b.pdf?x=1&amp;y=2' "
        "Name=citation_pdf_url>"
        "<meta name=DC.title content=\"Sorting &amp; stacking&#x20;&#8211; &lt;x&gt;\n \">"
        "<meta scheme=\"inventor\" name=\"DC.contributor\" content=\"Max M&uuml;ller &#252;\">"
        "<meta name=\"DC.contributor\" content=\"Erika\" scheme=\"inventor\"/>"
        "<meta name=\"DC.contributor\" content=\"ACME\" scheme=\"assignee\">"
        "<meta name=\"DC.date\" content=\"2001-05-10\">"
        "<meta name=\"citation_patent_publication_number\" content=\"DE:19758096:C2\">"
        "</head><body><a itemprop=\"pdfLink\" href=\"/other.pdf\">Download PDF</a>";
    const google::PatentPage page = google::ReadPatentPage(html);
    EXPECT_EQ(page.pdfLink, "https://patentimages.storage.googleapis.com/a/b.pdf?x=1&y=2");
    EXPECT_TRUE(page.hasRecord);
    EXPECT_EQ(page.Meta("dc.title"), "Sorting & stacking \xE2\x80\x93 <x>\n ");
    EXPECT_EQ(page.MetaAll("DC.contributor", "inventor"),
              (std::vector<std::string>{"Max M&uuml;ller \xC3\xBC", "Erika"}));
    EXPECT_EQ(page.Meta("DC.contributor", "assignee"), "ACME");
    EXPECT_EQ(page.Meta("DC.date"), "2001-05-10");
    EXPECT_EQ(page.Meta("citation_patent_publication_number"), "DE:19758096:C2");
    Biblio info;  // the quota helper's reader takes the same tags
    ASSERT_TRUE(BiblioFromMeta(page.meta, info));
    EXPECT_EQ(info.Number, "DE19758096C2");
    EXPECT_EQ(info.Applicants, (std::vector<std::string>{"ACME"}));

    // Without the meta the page's pdfLink serves; without either there is no link.
    EXPECT_EQ(google::ReadPatentPage("<a href='/x.pdf' itemprop=pdfLink>").pdfLink, "/x.pdf");
    const auto empty = google::ReadPatentPage("<p>Sorry, we couldn't find this patent.</p><meta");
    EXPECT_TRUE(empty.pdfLink.empty());
    EXPECT_FALSE(empty.hasRecord);
    EXPECT_TRUE(google::LooksBlocked("<p>Our systems have detected unusual traffic</p>"));
    // An unterminated page ends the reading, whatever is left open.
    EXPECT_TRUE(google::ReadPatentPage("<meta name=\"a\" content=\"never closed").meta.size() == 1);
}

TEST(LinkRule, OnlyGooglesPdfHostOverHttpsOrTheBasesOwnOriginIsFollowed) {
    const char* google = google::kDefaultBase;
    const char* standIn = "http://127.0.0.1:8080";
    struct Case {
        const char* base;
        const char* link;
        const char* followed;  // nullptr: never requested
    };
    const std::vector<Case> table = {
        {google, "https://patentimages.storage.googleapis.com/21/d9/x/DE1A1.pdf",
         "https://patentimages.storage.googleapis.com/21/d9/x/DE1A1.pdf"},
        {google, "https://PATENTIMAGES.storage.googleapis.com:443/a.pdf",
         "https://PATENTIMAGES.storage.googleapis.com/a.pdf"},
        {google, "/21/d9/a.pdf", "https://patentimages.storage.googleapis.com/21/d9/a.pdf"},
        {google, "http://patentimages.storage.googleapis.com/a.pdf", nullptr},
        {google, "https://patentimages.storage.googleapis.com:8443/a.pdf", nullptr},
        {google, "https://patentimages.storage.googleapis.com.evil.example/a.pdf", nullptr},
        {google, "https://user@patentimages.storage.googleapis.com/a.pdf", nullptr},
        {google, "https://evil.example/patentimages.storage.googleapis.com/a.pdf", nullptr},
        {google, "file:///etc/passwd", nullptr},
        {google, "javascript:alert(1)", nullptr},
        {google, "https://patents.google.com/x.pdf", "https://patents.google.com/x.pdf"},
        {standIn, "http://127.0.0.1:8080/patent/pdf/a.pdf",
         "http://127.0.0.1:8080/patent/pdf/a.pdf"},
        {standIn, "/patent/pdf/a.pdf", "http://127.0.0.1:8080/patent/pdf/a.pdf"},
        {standIn, "http://127.0.0.1:8081/patent/pdf/a.pdf", nullptr},
        {standIn, "http://localhost:8080/patent/pdf/a.pdf", nullptr},
        {standIn, "https://127.0.0.1:8080/a.pdf", nullptr},
        {standIn, "", nullptr},
    };
    for (const Case& c : table) {
        const auto got = google::FollowablePdfLink(c.link, c.base);
        if (c.followed == nullptr)
            EXPECT_FALSE(got.has_value()) << c.link;
        else
            EXPECT_EQ(got.value_or("(refused)"), c.followed) << c.link;
    }
    EXPECT_EQ(google::PathAndQuery("http://h:1/patent/DE1A/en?x=1"), "/patent/DE1A/en?x=1");
}

}  // namespace
}  // namespace kestrane
