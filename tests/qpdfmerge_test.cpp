// The built-in merge engine (qpdf in-process) on real-looking pages: a real
// scanned page, rotated pages, mixed media boxes, 300 pages, damaged and
// foreign page files, awkward paths, repeatability and stops; and the merge
// step that chooses between the two engines.
//
// tests/data/ops_fullimage_pdf_WO2010050748A2_Range2.pdf is a real page as
// the EPO's OPS service sends it (WO2010050748A2, page 2: PDF 1.4, one CCITT
// G4 image of 2480 x 3508), taken from a recorded exchange in the public
// patent_client project's test cassettes.
#include "client/QpdfMerge.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>
#include <string>
#include <thread>
#include <vector>

#include "client/MergeStep.h"
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

// A page whose text reads "name page n of count", as the stand-in server renders it.
std::string RenderedPage(const fs::path& dir, const std::string& name, int n, int count,
                         int kb = 0) {
    const std::string file = (dir / (name + "_" + std::to_string(n) + ".pdf")).string();
    WriteFile(file, pubserver::pages::RenderPagePdf(name, n, count, kb));
    return file;
}

std::vector<std::string> RenderedPages(const fs::path& dir, const std::string& name, int count,
                                       int kb = 0) {
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (int n = 1; n <= count; ++n) files.push_back(RenderedPage(dir, name, n, count, kb));
    return files;
}

struct PageSpec {
    std::string text;
    std::string mediaBox = "[0 0 595 842]";
    int rotate = 0;           // on the page itself; 0: no /Rotate key
    int inheritedRotate = 0;  // on the page tree node above it; 0: none
    std::string cropBox;      // "" for none
};

// A one-page PDF built key by key, for the page attributes the stand-in
// server has no reason to produce.
std::string CraftedPage(const fs::path& file, const PageSpec& spec) {
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle font = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"));
    QPDFObjectHandle fonts = QPDFObjectHandle::newDictionary();
    fonts.replaceKey("/F1", font);
    QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/Font", fonts);
    QPDFObjectHandle page = QPDFObjectHandle::newDictionary();
    page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
    page.replaceKey("/MediaBox", QPDFObjectHandle::parse(spec.mediaBox));
    if (!spec.cropBox.empty())
        page.replaceKey("/CropBox", QPDFObjectHandle::parse(spec.cropBox));
    if (spec.rotate != 0)
        page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(spec.rotate));
    page.replaceKey("/Resources", resources);
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(
                                     &pdf, "BT /F1 18 Tf 40 200 Td (" + spec.text + ") Tj ET"));
    pdf.addPage(pdf.makeIndirectObject(page), false);
    if (spec.inheritedRotate != 0) {
        pdf.getRoot().getKey("/Pages").replaceKey(
            "/Rotate", QPDFObjectHandle::newInteger(spec.inheritedRotate));
    }
    QPDFWriter writer(pdf, file.c_str());
    writer.setStaticID(true);
    writer.write();
    return file.string();
}

// The merged file read back with qpdf.
struct Opened {
    explicit Opened(const std::string& file) {
        pdf.setSuppressWarnings(true);
        pdf.processFile(file.c_str());
        pages = pdf.getAllPages();
    }
    int Rotate(std::size_t i) {
        QPDFObjectHandle r = pages.at(i).getKey("/Rotate");
        return r.isInteger() ? r.getIntValueAsInt() : 0;
    }
    std::string Key(std::size_t i, const std::string& key) {
        return pages.at(i).getKey(key).unparse();
    }
    QPDF pdf;
    std::vector<QPDFObjectHandle> pages;
};

// The raw (still encoded) data of the first image of a page.
std::string ImageData(QPDFObjectHandle page, std::string* filter = nullptr) {
    QPDFObjectHandle xobjects = page.getKey("/Resources").getKey("/XObject");
    for (const std::string& key : xobjects.getKeys()) {
        QPDFObjectHandle image = xobjects.getKey(key);
        if (image.getDict().getKey("/Subtype").unparse() != "/Image")
            continue;
        if (filter != nullptr)
            *filter = image.getDict().getKey("/Filter").unparse();
        const auto data = image.getRawStreamData();
        return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    return "";
}

std::string ScanPageImage(std::string* filter = nullptr) {
    Opened scan(kScan);
    return ImageData(scan.pages.at(0), filter);
}

// ---- What comes through a merge.

TEST(QpdfMerge, RealScannedPagesKeepTheirImageByteForByte) {
    TempDir dir;
    const auto rendered = RenderedPages(dir.path(), "DOC", 2, 40);
    const std::string out = dir.str() + "/merged.pdf";

    const MergeResult result = QpdfMerge({kScan, rendered[0], kScan, rendered[1]}, out, nullptr);

    ASSERT_TRUE(result.ok()) << result.output;
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "");
    Opened merged(out);
    ASSERT_EQ(merged.pages.size(), 4u);
    // The scan is PDF 1.4; the merged file may not claim less.
    EXPECT_FALSE(merged.pdf.getVersionAsPDFVersion() < PDFVersion(1, 4));
    std::string filter;
    const std::string original = ScanPageImage(&filter);
    EXPECT_EQ(filter, "/CCITTFaxDecode");
    ASSERT_GT(original.size(), 10000u);
    for (std::size_t i : {0u, 2u}) {
        std::string copied;
        EXPECT_EQ(ImageData(merged.pages[i], &copied), original) << "page " << i + 1;
        EXPECT_EQ(copied, "/CCITTFaxDecode");
        EXPECT_EQ(merged.Key(i, "/MediaBox"), Opened(kScan).Key(0, "/MediaBox"));
    }
    EXPECT_NE(PdfPageText(out, 2).find("DOC page 1 of 2"), std::string::npos);
    EXPECT_NE(PdfPageText(out, 4).find("DOC page 2 of 2"), std::string::npos);
}

TEST(QpdfMerge, RotationMediaBoxesAndCropBoxesSurvive) {
    TempDir dir;
    const std::vector<PageSpec> specs = {
        {"A4 upright", "[0 0 595 842]", 0, 0, ""},
        {"Letter turned", "[0 0 612 792]", 90, 0, ""},
        {"A3 landscape, turned by its tree", "[0 0 1191 842]", 0, 270, ""},
        {"offset box, cropped", "[10 20 310 420]", 180, 90, "[20 30 300 400]"},
    };
    std::vector<std::string> files;
    for (std::size_t i = 0; i < specs.size(); ++i)
        files.push_back(CraftedPage(dir.path() / ("p" + std::to_string(i) + ".pdf"), specs[i]));
    const std::string out = dir.str() + "/merged.pdf";

    const MergeResult result = QpdfMerge(files, out, nullptr);

    ASSERT_TRUE(result.ok()) << result.output;
    Opened merged(out);
    ASSERT_EQ(merged.pages.size(), 4u);
    EXPECT_EQ(merged.Rotate(0), 0);
    EXPECT_EQ(merged.Rotate(1), 90);
    EXPECT_EQ(merged.Rotate(2), 270) << "an inherited /Rotate must not be lost";
    EXPECT_EQ(merged.Rotate(3), 180) << "the page's own /Rotate wins over its tree's";
    for (std::size_t i = 0; i < specs.size(); ++i) {
        EXPECT_EQ(merged.Key(i, "/MediaBox"), QPDFObjectHandle::parse(specs[i].mediaBox).unparse());
        EXPECT_NE(PdfPageText(out, static_cast<int>(i) + 1).find(specs[i].text), std::string::npos)
            << "page " << i + 1;
    }
    EXPECT_EQ(merged.Key(3, "/CropBox"), "[ 20 30 300 400 ]");
    // And as a reader sees it: pdfinfo reports each page's own size and turn.
    std::string info;
    ASSERT_EQ(test::RunCommand("pdfinfo -f 1 -l 4 '" + out + "'", &info), 0) << info;
    EXPECT_NE(info.find("Page    2 rot:   90"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    3 rot:   270"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    3 size:  1191 x 842"), std::string::npos) << info;
}

TEST(QpdfMerge, ThreeHundredPagesInListedOrder) {
    TempDir dir;
    const auto pages = RenderedPages(dir.path(), "DOC", 300);
    const std::string out = dir.str() + "/merged.pdf";

    const MergeResult result = QpdfMerge(pages, out, nullptr);

    ASSERT_TRUE(result.ok()) << result.output;
    ASSERT_EQ(test::PdfPageCount(out), 300);
    for (int n : {1, 2, 9, 10, 11, 100, 299, 300}) {
        EXPECT_NE(PdfPageText(out, n).find("DOC page " + std::to_string(n) + " of 300"),
                  std::string::npos)
            << "page " << n;
    }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Peak RSS (KiB) of the stand-in merge program (the built-in engine in a
// process of its own) merging pages; -1 when it failed.
long PeakKiBOfAMerge(const std::vector<std::string>& pages, const std::string& out) {
    std::vector<std::string> args = {test::MergeStandin()};
    args.insert(args.end(), pages.begin(), pages.end());
    args.insert(args.end(), {"cat", "output", out, "dont_ask"});
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
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

TEST(QpdfMerge, MemoryDoesNotGrowWithThePageDataOfThreeHundredPages) {
    TempDir dir;
    // The same 300 pages twice: once bare (6 KB each), once with a 40 KB
    // picture each, about 11 MB more data; holding it would show at once.
    const auto bare = RenderedPages(dir.path() / "bare", "DOC", 300, 0);
    const auto large = RenderedPages(dir.path() / "large", "DOC", 300, 40);

    const long forBare = PeakKiBOfAMerge(bare, dir.str() + "/bare.pdf");
    const long forLarge = PeakKiBOfAMerge(large, dir.str() + "/large.pdf");

    ASSERT_GT(forBare, 0);
    ASSERT_GT(forLarge, 0);
    EXPECT_EQ(test::PdfPageCount(dir.str() + "/large.pdf"), 300);
    // Stream data goes from the page files to the merged file through small
    // buffers; what grows with the page count is qpdf's parsed objects (about
    // 40 KB for each of these pages, with their embedded font).
    EXPECT_LT(forLarge - forBare, 4 * 1024)
        << "bare pages: " << forBare << " KiB, large pages: " << forLarge << " KiB";
}
#endif

TEST(QpdfMerge, SamePagesGiveTheSameBytesWithADeterministicId) {
    TempDir dir;
    const auto pages = RenderedPages(dir.path(), "DOC", 3);
    std::vector<std::string> withScan = pages;
    withScan.push_back(kScan);

    // Another name, another moment: either would change a time-based /ID.
    ASSERT_TRUE(QpdfMerge(withScan, dir.str() + "/a.pdf", nullptr).ok());
    ASSERT_TRUE(QpdfMerge(withScan, dir.str() + "/b.pdf", nullptr).ok());
    ASSERT_TRUE(QpdfMerge(pages, dir.str() + "/c.pdf", nullptr).ok());

    const std::string a = ReadFile(dir.str() + "/a.pdf");
    EXPECT_EQ(a, ReadFile(dir.str() + "/b.pdf"));
    Opened opened(dir.str() + "/a.pdf");
    EXPECT_FALSE(opened.pdf.isLinearized());
    QPDFObjectHandle id = opened.pdf.getTrailer().getKey("/ID");
    ASSERT_TRUE(id.isArray());
    EXPECT_EQ(id.getArrayNItems(), 2);
    Opened other(dir.str() + "/c.pdf");
    EXPECT_NE(other.pdf.getTrailer().getKey("/ID").unparse(), id.unparse())
        << "the /ID is a digest of the contents";
}

TEST(QpdfMerge, NonAsciiPathsWithBlanksAndAnExistingOutputIsReplaced) {
    TempDir dir;
    const fs::path folder = dir.path() / "Patente für Übersicht" / "Größe 1 ½ – 日本";
    const auto pages = RenderedPages(folder, "Seite ü", 2);
    const std::string out = (folder / "Zusammengefügt und fertig.pdf").string();
    WriteFile(out, "an older merge of the same document, three pages long");

    const MergeResult result = QpdfMerge({pages[0], kScan, pages[1]}, out, nullptr);

    ASSERT_TRUE(result.ok()) << result.output;
    EXPECT_EQ(test::PdfPageCount(out), 3);
    EXPECT_NE(PdfPageText(out, 3).find("page 2 of 2"), std::string::npos);
}

// ---- Page files that must fail the document.

struct BadPage {
    const char* name;
    std::string content;
};

std::vector<BadPage> BadPages() {
    const std::string good = pubserver::pages::RenderPagePdf("BAD", 2, 3, 0);
    const std::string scan = ReadFile(kScan);
    std::string wrongXref = good;
    // The cross-reference table points somewhere else: a reader has to guess.
    const std::size_t at = wrongXref.rfind("startxref");
    wrongXref.replace(at, std::string::npos, "startxref\n17\n%%EOF\n");
    std::string shiftedObjects = scan;
    // Three bytes more before the objects: every offset in the table is off.
    shiftedObjects.insert(shiftedObjects.find('\n') + 1, "%x\n");
    std::string shortStream = scan;
    // The image's /Length promises more than its stream holds.
    shortStream.replace(shortStream.find("/Length 20705"), 13, "/Length 29705");
    return {
        {"truncated", good.substr(0, good.size() / 2)},
        {"truncated scan", scan.substr(0, scan.size() - 300)},
        {"wrong startxref", wrongXref},
        {"shifted objects", shiftedObjects},
        {"stream longer than it is", shortStream},
        {"HTML error page",
         "<!DOCTYPE html>\n<html><head><title>Error</title></head><body><h1>500 Internal "
         "Server Error</h1><p>The PDF is not available.</p></body></html>\n"},
        {"zero bytes", ""},
        {"plain text", "%PDF-1.4\nnot really\n"},
        {"a PDF without pages", ""},  // filled below
    };
}

std::string PagelessPdf(const fs::path& file) {
    QPDF pdf;
    pdf.emptyPDF();
    QPDFWriter writer(pdf, file.c_str());
    writer.setStaticID(true);
    writer.write();
    return ReadFile(file.string());
}

TEST(QpdfMerge, DamagedForeignAndEmptyPageFilesFailAndLeaveNoFile) {
    TempDir dir;
    const auto good = RenderedPages(dir.path(), "DOC", 2);
    auto bad = BadPages();
    bad.back().content = PagelessPdf(dir.path() / "pageless.pdf");
    for (const BadPage& page : bad) {
        SCOPED_TRACE(page.name);
        const std::string file = dir.str() + "/bad page.pdf";
        WriteFile(file, page.content);
        const std::string out = dir.str() + "/merged.pdf";
        WriteFile(out, "left over");

        const MergeResult result = QpdfMerge({good[0], file, good[1]}, out, nullptr);

        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.stopped);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_FALSE(result.outputWritten);
        EXPECT_NE(result.output, "");
        EXPECT_FALSE(fs::exists(out)) << "a failed merge leaves no file";
        EXPECT_EQ(MergeFailureKind(result), FailureKind::MergeFailed);
    }
}

TEST(QpdfMerge, AMissingPageFileOrAnUnwritableOutputFails) {
    TempDir dir;
    const auto good = RenderedPages(dir.path(), "DOC", 1);

    const MergeResult missing =
        QpdfMerge({good[0], dir.str() + "/gone.pdf"}, dir.str() + "/out.pdf", nullptr);
    EXPECT_FALSE(missing.ok());
    EXPECT_NE(missing.output.find("gone.pdf"), std::string::npos) << missing.output;
    EXPECT_FALSE(fs::exists(dir.str() + "/out.pdf"));

    const MergeResult nowhere = QpdfMerge(good, dir.str() + "/no/such/folder/out.pdf", nullptr);
    EXPECT_FALSE(nowhere.ok());
    EXPECT_NE(nowhere.output, "");
}

// ---- Stops.

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

// ---- The merge step: which engine, and where the choice comes from.

TEST(MergeStep, TheChoiceComesFromTheCommandLineTheEnvironmentTheSettingOrTheDefault) {
    {
        ScopedEnv env(kMergeProgramVariable, nullptr);
        EXPECT_EQ(ChooseMergeProgram("", ""), "");
        EXPECT_EQ(ChooseMergeProgram("", "pdftk"), "pdftk");
        EXPECT_EQ(ChooseMergeProgram("/opt/x/pdftk", "pdftk"), "/opt/x/pdftk");
    }
    {
        ScopedEnv env(kMergeProgramVariable, "my-pdftk");
        EXPECT_EQ(ChooseMergeProgram("", ""), "my-pdftk");
        EXPECT_EQ(ChooseMergeProgram("", "pdftk"), "my-pdftk");
        EXPECT_EQ(ChooseMergeProgram("qpdf", "pdftk"), "qpdf");
    }
    {
        ScopedEnv env(kMergeProgramVariable, "");
        EXPECT_EQ(ChooseMergeProgram("", "pdftk"), "pdftk");
    }
    EXPECT_TRUE(IsBuiltInMerge(""));
    EXPECT_TRUE(IsBuiltInMerge("qpdf"));
    EXPECT_FALSE(IsBuiltInMerge("pdftk"));
    EXPECT_FALSE(IsBuiltInMerge("/usr/bin/qpdf"));
    EXPECT_EQ(MergeProgramPath(""), "");
    EXPECT_EQ(MergeProgramPath("kestrane-no-such-merge-program"), "");
    EXPECT_EQ(MergeProgramPath(test::MergeStandin()), test::MergeStandin());
}

TEST(MergeStep, EachEngineMergesAndAMissingProgramIsNamedAsSuch) {
    TempDir dir;
    const auto pages = RenderedPages(dir.path(), "DOC", 2);
    for (const std::string& program : {std::string(), std::string("qpdf"), test::MergeStandin()}) {
        SCOPED_TRACE(program);
        const std::string out = dir.str() + "/out.pdf";
        MergeResult result;
        {
            // The built-in engine needs no program at all.
            ScopedEnv path("PATH", "/nonexistent");
            result = MergePageFiles(program, pages, out, nullptr);
        }
        EXPECT_TRUE(result.ok()) << result.output;
        EXPECT_EQ(MergeFailureKind(result), FailureKind::None);
        EXPECT_EQ(test::PdfPageCount(out), 2);
        fs::remove(out);
    }
    const MergeResult missing =
        MergePageFiles("pdftk-nowhere", pages, dir.str() + "/o.pdf", nullptr);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(MergeFailureKind(missing), FailureKind::MergeProgramMissing);
}

}  // namespace
}  // namespace kestrane
