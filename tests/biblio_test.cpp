// SPDX-License-Identifier: GPL-3.0-or-later
// Bibliographic data: the OPS answer's reader and the document information
// written into a saved PDF.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/pdf/DocInfo.h"
#include "client/pdf/QpdfMerge.h"
#include "client/sources/ops/OpsBiblio.h"
#include "server/OpsServer.h"
#include "support/TestSupport.h"

namespace kestrane {
namespace {

TEST(OpsBiblio, ReadsTheRecordedAnswer) {
    Biblio info;
    ASSERT_TRUE(ParseOpsBiblio(pubserver::OpsBiblioXml("DE", "19758096", "C2"), info));
    EXPECT_EQ(info.Number, "DE19758096C2");  // not the application's docdb id
    EXPECT_EQ(info.Date, "2002-04-18");
    EXPECT_EQ(info.TitleDe,
              "Bremsanlage für ein Kraftfahrzeug, insbesondere mit \"elektronischer\" "
              "Bremskraftverteilung");
    EXPECT_TRUE(info.TitleEn.starts_with("Brake system for a motor vehicle, in particular"));
    // As filed, not OPS's upper-case spelling; "&" decoded.
    EXPECT_EQ(info.Applicants,
              (std::vector<std::string>{"Robert Bosch GmbH",
                                        "Müller & Söhne Maschinenbau GmbH & Co. KG"}));
    EXPECT_EQ(info.Inventors, (std::vector<std::string>{"Müller, Hans", "Schäfer, Anna-Lena"}));
    EXPECT_EQ(info.Ipc, (std::vector<std::string>{"B60T 8/17", "B60T 13/66"}));
}

TEST(OpsBiblio, RefusesWhatIsNoBiblioAndStaysBounded) {
    Biblio info;
    EXPECT_FALSE(
        ParseOpsBiblio("<fault xmlns=\"http://ops.epo.org\"><code>x</code></fault>", info));
    EXPECT_FALSE(ParseOpsBiblio("not xml", info));
    // The right local names under another namespace are not OPS's.
    EXPECT_FALSE(
        ParseOpsBiblio("<w xmlns=\"urn:other\"><exchange-document><invention-title lang=\"de\">x"
                       "</invention-title></exchange-document></w>",
                       info));
    // Deep nesting neither recurses nor reaches the reader beyond its depth.
    std::string deep = "<w xmlns=\"http://www.epo.org/exchange\"><exchange-document>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    deep += "<invention-title lang=\"de\">buried</invention-title>";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    deep += "</exchange-document></w>";
    ASSERT_TRUE(ParseOpsBiblio(deep, info));
    EXPECT_EQ(info.TitleDe, "");
    EXPECT_FALSE(ParseOpsBiblio(std::string(kMaxBiblioAnswer + 1, ' '), info));
    EXPECT_EQ(IpcClass("H01L  21/00        20060101AFI20051008RMEP"), "H01L 21/00");
    EXPECT_EQ(IpcClass("no class"), "");
}

TEST(DocInfo, AppendsTheInformationAndKeepsTheMergedBytes) {
    test::TempDir dir;
    const std::string page =
        std::string(KESTRANE_TEST_DATA) + "/ops_fullimage_pdf_WO2010050748A2_Range2.pdf";
    const std::string merged = dir.str() + "/DE19758096C2.pdf";
    ASSERT_TRUE(QpdfMerge({page, page}, merged, nullptr).outputWritten);
    const std::string before = test::ReadFile(merged);

    Biblio info;
    ASSERT_TRUE(ParseOpsBiblio(pubserver::OpsBiblioXml("DE", "19758096", "C2"), info));
    ASSERT_EQ(WriteDocumentInfo(merged, info), "");
    const std::string after = test::ReadFile(merged);
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(test::PdfPageCount(merged), 2);
    const auto read = ReadDocumentInfo(merged);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Title, info.TitleDe + " / " + info.TitleEn);
    EXPECT_EQ(read->Author, "Robert Bosch GmbH; Müller & Söhne Maschinenbau GmbH & Co. KG");
    EXPECT_EQ(read->Subject, "DE19758096C2");
    EXPECT_EQ(read->Keywords, "B60T 8/17; B60T 13/66");
    // Twice gives the same bytes twice over: the run stays deterministic.
    const auto sha = Sha256OfFile(merged);
    ASSERT_TRUE(sha);
    EXPECT_EQ(sha->size(), 64u);

    // A file that is no clean PDF is left exactly as it was.
    test::WriteFile(dir.str() + "/broken.pdf", before.substr(0, before.size() / 2));
    EXPECT_NE(WriteDocumentInfo(dir.str() + "/broken.pdf", info), "");
    EXPECT_EQ(test::ReadFile(dir.str() + "/broken.pdf"), before.substr(0, before.size() / 2));
}

TEST(DocInfo, DigestsMatchAKnownValue) {
    test::TempDir dir;
    test::WriteFile(dir.str() + "/abc", "abc");
    EXPECT_EQ(Sha256OfFile(dir.str() + "/abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(Sha256OfFile(dir.str() + "/missing"));
}

}  // namespace
}  // namespace kestrane
