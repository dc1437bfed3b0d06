// SPDX-License-Identifier: GPL-3.0-or-later
// The built-in merge engine (qpdf in-process) on real-looking pages, and the
// merge step that chooses between the two engines.
//
// tests/data/ops_fullimage_pdf_WO2010050748A2_Range2.pdf is a real page as
// the EPO's OPS service sends it (WO2010050748A2, page 2: PDF 1.4, one CCITT
// G4 image of 2480 x 3508), from a recorded exchange in the public
// patent_client project's test cassettes.
#include "client/pdf/QpdfMerge.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>
#include <string>
#include <thread>
#include <vector>

#include "client/pdf/MergeStep.h"
#include "server/Pages.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::PdfPageText;
using test::ReadFile;
using test::ScopedEnv;
using test::TempDir;
using test::WriteFile;

const std::string kScan =
    std::string(KESTRANE_TEST_DATA) + "/ops_fullimage_pdf_WO2010050748A2_Range2.pdf";

// Pages whose text reads "name page n of count", as the stand-in server renders them.
std::vector<std::string> RenderedPages(const fs::path& dir, const std::string& name, int count,
                                       int kb = 0) {
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (int n = 1; n <= count; ++n) {
        files.push_back((dir / (name + "_" + std::to_string(n) + ".pdf")).string());
        WriteFile(files.back(), pubserver::pages::RenderPagePdf(name, n, count, kb));
    }
    return files;
}

// A one-page PDF with the given page keys, and keys its page tree passes down,
// for the page attributes the stand-in server has no reason to produce.
std::string CraftedPage(const fs::path& file, const std::string& text, const std::string& keys,
                        const std::string& treeKeys = "") {
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Page " + keys +
        " /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> "
        ">>"));
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(
                                     &pdf, "BT /F1 18 Tf 40 200 Td (" + text + ") Tj ET"));
    pdf.addPage(page, false);
    QPDFObjectHandle tree = pdf.getRoot().getKey("/Pages");
    QPDFObjectHandle inherited = QPDFObjectHandle::parse("<< " + treeKeys + " >>");
    for (const std::string& key : inherited.getKeys()) tree.replaceKey(key, inherited.getKey(key));
    QPDFWriter writer(pdf, file.c_str());
    writer.setStaticID(true);
    writer.write();
    return file.string();
}

struct Opened {
    explicit Opened(const std::string& file) {
        pdf.processFile(file.c_str());
        pages = pdf.getAllPages();
    }
    std::string Key(std::size_t i, const std::string& key) {
        return pages.at(i).getKey(key).unparse();
    }
    // The raw (still encoded) data of the page's image, and its filter.
    std::string Image(std::size_t i, std::string& filter) {
        QPDFObjectHandle image = pages.at(i).getKey("/Resources").getKey("/XObject");
        image = image.getKey(image.getKeys().empty() ? "" : *image.getKeys().begin());
        if (!image.isStream())
            return "";
        filter = image.getDict().getKey("/Filter").unparse();
        const auto data = image.getRawStreamData();
        return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    QPDF pdf;
    std::vector<QPDFObjectHandle> pages;
};

// ---- What comes through a merge.

TEST(QpdfMerge, ScannedTurnedAndMixedSizePagesKeepWhatIsTheirs) {
    TempDir dir;
    // Blanks and letters outside ASCII in every folder and file name.
    const fs::path folder = dir.path() / "Patente für Übersicht" / "Größe 1 ½ – 日本";
    const auto rendered = RenderedPages(folder, "Seite ü", 1, 40);
    const std::vector<std::string> pages = {
        kScan,
        CraftedPage(folder / "letter turned.pdf", "Letter turned",
                    "/MediaBox [0 0 612 792] /Rotate 90"),
        CraftedPage(folder / "a3 by its tree.pdf", "A3 turned by its tree",
                    "/MediaBox [0 0 1191 842]", "/Rotate 270"),
        CraftedPage(folder / "own turn wins.pdf", "offset, cropped",
                    "/MediaBox [10 20 310 420] /CropBox [20 30 300 400] /Rotate 180", "/Rotate 90"),
        rendered[0],
    };
    const std::string out = (folder / "Zusammengefügt und fertig.pdf").string();
    WriteFile(out, "an older merge of the same document");

    const MergeResult result = QpdfMerge(pages, out, nullptr);

    ASSERT_TRUE(result.ok()) << result.output;
    EXPECT_EQ(result.output, "");
    Opened merged(out);
    ASSERT_EQ(merged.pages.size(), 5u);
    EXPECT_FALSE(merged.pdf.getVersionAsPDFVersion() < PDFVersion(1, 4)) << "the scan is PDF 1.4";
    // The scan's G4 image byte for byte, on its own page size.
    std::string filter, scanFilter;
    const std::string copied = merged.Image(0, filter);
    EXPECT_EQ(filter, "/CCITTFaxDecode");
    EXPECT_EQ(copied, Opened(kScan).Image(0, scanFilter));
    EXPECT_GT(copied.size(), 20000u);
    EXPECT_EQ(merged.Key(0, "/MediaBox"), Opened(kScan).Key(0, "/MediaBox"));
    // Turns, own and inherited, and the boxes, as a reader sees them.
    std::string info;
    ASSERT_EQ(test::RunCommand("pdfinfo -f 1 -l 5 '" + out + "'", &info), 0) << info;
    for (const char* line :
         {"Page    2 rot:   90", "Page    2 size:  612 x 792", "Page    3 rot:   270",
          "Page    3 size:  1191 x 842", "Page    4 rot:   180", "Page    4 size:  280 x 370",
          "Page    5 rot:   0"})
        EXPECT_NE(info.find(line), std::string::npos) << line << "\n" << info;
    EXPECT_NE(PdfPageText(out, 3).find("A3 turned by its tree"), std::string::npos);
    EXPECT_NE(PdfPageText(out, 5).find("page 1 of 1"), std::string::npos);

    // The same pages give the same bytes under another name at another time,
    // with an /ID, not linearised.
    ASSERT_TRUE(QpdfMerge(pages, dir.str() + "/again.pdf", nullptr).ok());
    EXPECT_EQ(ReadFile(out), ReadFile(dir.str() + "/again.pdf"));
    EXPECT_TRUE(merged.pdf.getTrailer().getKey("/ID").isArray());
    EXPECT_FALSE(merged.pdf.isLinearized());
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Peak RSS (KiB) of the stand-in merge program, which is the built-in engine
// in a process of its own, merging pages; -1 when it failed.
long PeakKiBOfAMerge(const std::vector<std::string>& pages, const std::string& out) {
    std::vector<std::string> args = {test::MergeStandin()};
    args.insert(args.end(), pages.begin(), pages.end());
    args.insert(args.end(), {"cat", "output", out, "dont_ask"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

TEST(QpdfMerge, ThreeHundredPagesInOrderWithMemoryIndependentOfThePageData) {
    TempDir dir;
    // The same 300 pages twice: bare (6 KB each), and with a 40 KB picture
    // each, 11 MB more data; holding it would show at once.
    const auto bare = RenderedPages(dir.path() / "bare", "DOC", 300, 0);
    const auto large = RenderedPages(dir.path() / "large", "DOC", 300, 40);
    const std::string out = dir.str() + "/large.pdf";

    const long forBare = PeakKiBOfAMerge(bare, dir.str() + "/bare.pdf");
    const long forLarge = PeakKiBOfAMerge(large, out);

    ASSERT_GT(forBare, 0);
    ASSERT_GT(forLarge, 0);
    // Stream data goes through small buffers; what grows with the page count
    // is qpdf's parsed objects (each of these pages embeds a font).
    EXPECT_LT(forLarge - forBare, 4 * 1024) << forBare << " KiB, then " << forLarge << " KiB";
    ASSERT_EQ(test::PdfPageCount(out), 300);
    for (int n : {1, 2, 9, 10, 11, 100, 299, 300}) {
        EXPECT_NE(PdfPageText(out, n).find("DOC page " + std::to_string(n) + " of 300"),
                  std::string::npos)
            << "page " << n;
    }
}
#endif

// ---- Page files that must fail the document.

TEST(QpdfMerge, DamagedForeignEmptyAndMissingPageFilesFailAndLeaveNoFile) {
    TempDir dir;
    const auto good = RenderedPages(dir.path(), "DOC", 2);
    const std::string scan = ReadFile(kScan);
    std::string wrongXref = ReadFile(good[0]);
    wrongXref.replace(wrongXref.rfind("startxref"), std::string::npos, "startxref\n17\n%%EOF\n");
    std::string shifted = scan;  // every offset in the table is off by three
    shifted.insert(shifted.find('\n') + 1, "%x\n");
    std::string shortStream = scan;  // the image's /Length promises more than it holds
    shortStream.replace(shortStream.find("/Length 20705"), 13, "/Length 29705");
    const std::string pageless = (dir.path() / "pageless.pdf").string();
    {
        QPDF empty;
        empty.emptyPDF();
        QPDFWriter(empty, pageless.c_str()).write();
    }
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"truncated", scan.substr(0, scan.size() - 300)},
        {"wrong startxref", wrongXref},
        {"shifted objects", shifted},
        {"stream longer than it is", shortStream},
        {"HTML error page",
         "<!DOCTYPE html>\n<html><body><h1>500 Internal Server Error</h1>"
         "</body></html>\n"},
        {"zero bytes", ""},
        {"no pages", ReadFile(pageless)},
        {"missing", "(not written)"},
    };
    for (const auto& [name, content] : bad) {
        SCOPED_TRACE(name);
        const std::string file = dir.str() + "/bad page.pdf";
        fs::remove(file);
        if (std::string(name) != "missing")
            WriteFile(file, content);
        const std::string out = dir.str() + "/merged.pdf";
        WriteFile(out, "left over");

        const MergeResult result = QpdfMerge({good[0], file, good[1]}, out, nullptr);

        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.started && !result.stopped && !result.outputWritten);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.output.find("page file 2"), std::string::npos) << result.output;
        EXPECT_FALSE(fs::exists(out)) << "a failed merge leaves no file";
    }
}

TEST(QpdfMerge, AStopEndsTheMergeBetweenPagesAndLeavesNoFile) {
    TempDir dir;
    // 3000 page files take seconds to merge; the stop comes 0.2 s in.
    const std::string page = pubserver::pages::RenderPagePdf("DOC", 1, 1, 0);
    std::vector<std::string> pages;
    for (int n = 1; n <= 3000; ++n) {
        pages.push_back(dir.str() + "/p" + std::to_string(n) + ".pdf");
        WriteFile(pages.back(), page);
    }
    const std::string out = dir.str() + "/out.pdf";
    const std::atomic<bool> stoppedEarlier{true};
    EXPECT_TRUE(QpdfMerge(pages, out, &stoppedEarlier).stopped);
    EXPECT_FALSE(fs::exists(out));

    std::atomic<bool> abort{false};
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stoppedAt = std::chrono::steady_clock::now();
        abort = true;
    });
    const MergeResult result = QpdfMerge(pages, out, &abort);
    const auto returned = std::chrono::steady_clock::now();
    stopper.join();

    ASSERT_TRUE(result.stopped) << "the merge ended before the stop: " << result.output;
    EXPECT_FALSE(result.ok());
    // One page takes about a millisecond; the bound allows for a loaded machine.
    EXPECT_LT(returned - stoppedAt, 5s);
    EXPECT_FALSE(fs::exists(out));
}

// ---- Where the choice of engine comes from (the command line and the
// environment are seen working through kestrane-cli in cli_test).

TEST(MergeStep, TheSettingCountsOnlyWhenNeitherTheCommandLineNorTheEnvironmentChose) {
    ScopedEnv unset(kMergeProgramVariable, nullptr);
    EXPECT_EQ(ChooseMergeProgram("", ""), "");
    EXPECT_EQ(ChooseMergeProgram("", "pdftk"), "pdftk");
    EXPECT_EQ(ChooseMergeProgram("qpdf", "pdftk"), "qpdf");
    ScopedEnv set(kMergeProgramVariable, "my-pdftk");
    EXPECT_EQ(ChooseMergeProgram("", "pdftk"), "my-pdftk");
}

}  // namespace
}  // namespace kestrane
