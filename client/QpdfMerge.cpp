#include "client/QpdfMerge.h"

#include <qpdf/ClosedFileInputSource.hh>
#include <qpdf/PDFVersion.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <utility>

namespace kestrane {

namespace fs = std::filesystem;

namespace {

// Thrown out of qpdf's progress callback (and out of our own loop) when the
// abort flag is set; never leaves QpdfMerge.
struct Stopped {};

// Thrown by our checks with the reason for the result's output.
struct Refused {
    std::string reason;
};

bool Aborted(const std::atomic<bool>* abort) {
    return abort != nullptr && abort->load(std::memory_order_acquire);
}

void ThrowIfAborted(const std::atomic<bool>* abort) {
    if (Aborted(abort))
        throw Stopped{};
}

// qpdf calls this while it writes, about once per percent of the objects.
class AbortReporter : public QPDFWriter::ProgressReporter {
  public:
    explicit AbortReporter(const std::atomic<bool>* abort) : abort_(abort) {}
    void reportProgress(int) override { ThrowIfAborted(abort_); }

  private:
    const std::atomic<bool>* abort_;
};

// Throws Refused when qpdf had to warn about pdf (its warnings are kept, not printed).
void RefuseWarnings(QPDF& pdf, const std::string& what) {
    if (pdf.anyWarnings())
        throw Refused{what + " can be read only with warnings: " +
                      pdf.getWarnings().front().what()};
}

// A page file read strictly: no recovery of a damaged file, and any warning
// (qpdf's word for "I had to guess") counts as a failure. Warnings are kept,
// not printed. The file is opened only while it is read (ClosedFileInputSource),
// so a document of any length holds no descriptors between its pages.
std::unique_ptr<QPDF> OpenStrictly(const std::string& file, const std::string& what) {
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    pdf->setAttemptRecovery(false);
    auto source = std::make_shared<ClosedFileInputSource>(file.c_str());
    source->stayOpen(true);
    pdf->processInputSource(source);
    source->stayOpen(false);
    RefuseWarnings(*pdf, what);
    return pdf;
}

std::string PageName(std::size_t index, const std::string& file) {
    return "page file " + std::to_string(index + 1) + " (" + file + ")";
}

// Everything of one merge but the clean-up; throws Stopped, Refused, or
// whatever qpdf throws (QPDFExc, std::exception).
void Merge(const std::vector<std::string>& pageFiles, const std::string& outputFile,
           const std::atomic<bool>* abort) {
    if (pageFiles.empty())
        throw Refused{"no page files"};

    QPDF merged;
    merged.setSuppressWarnings(true);
    merged.emptyPDF();
    PDFVersion version(1, 3);
    std::size_t pageCount = 0;
    // The page files stay open as QPDF objects until the output is written:
    // qpdf copies stream data lazily, and their late warnings count too.
    std::vector<std::unique_ptr<QPDF>> sources;
    sources.reserve(pageFiles.size());

    for (std::size_t i = 0; i < pageFiles.size(); ++i) {
        ThrowIfAborted(abort);
        const std::string what = PageName(i, pageFiles[i]);
        std::unique_ptr<QPDF> source = OpenStrictly(pageFiles[i], what);
        // A /Rotate, /MediaBox or /Resources that the page inherits from its
        // page tree would be lost in the copy: give it to the page itself.
        source->pushInheritedAttributesToPage();
        const std::vector<QPDFObjectHandle> pages = source->getAllPages();
        if (pages.empty())
            throw Refused{what + " holds no page"};
        for (const QPDFObjectHandle& page : pages) merged.addPage(page, false);
        RefuseWarnings(*source, what);
        version.updateIfGreater(source->getVersionAsPDFVersion());
        pageCount += pages.size();
        sources.push_back(std::move(source));
    }

    ThrowIfAborted(abort);
    {
        QPDFWriter writer(merged, outputFile.c_str());
        writer.setLinearization(false);
        writer.setObjectStreamMode(qpdf_o_preserve);
        // Stream data byte for byte: no decoding, no recompression.
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setCompressStreams(false);
        writer.setDeterministicID(true);
        writer.setMinimumPDFVersion(version);
        writer.registerProgressReporter(std::make_shared<AbortReporter>(abort));
        writer.write();
    }
    for (std::size_t i = 0; i < sources.size(); ++i) RefuseWarnings(*sources[i], PageName(i, pageFiles[i]));
    RefuseWarnings(merged, "the merged file");
    sources.clear();

    // The file as a reader will see it: it must open cleanly and hold every page.
    ThrowIfAborted(abort);
    const std::unique_ptr<QPDF> check = OpenStrictly(outputFile, "the merged file");
    const std::size_t written = check->getAllPages().size();
    if (written != pageCount)
        throw Refused{"the merged file holds " + std::to_string(written) + " pages instead of " +
                      std::to_string(pageCount)};
}

void RemoveQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

}  // namespace

MergeResult QpdfMerge(const std::vector<std::string>& pageFiles, const std::string& outputFile,
                      const std::atomic<bool>* abort) {
    MergeResult result;
    result.started = true;
    result.exitStatus = 1;
    try {
        Merge(pageFiles, outputFile, abort);
        result.exitStatus = 0;
        result.outputWritten = true;
        return result;
    } catch (const Stopped&) {
        result.stopped = true;
        result.exitStatus = -1;
    } catch (const Refused& refused) {
        result.output = refused.reason;
    } catch (const std::bad_alloc&) {
        result.output = "out of memory";
    } catch (const std::exception& e) {
        // QPDFExc says which file and where.
        result.output = e.what();
    } catch (...) {
        result.output = "unknown failure in qpdf";
    }
    // Neither a stopped nor a failed merge leaves a file behind.
    RemoveQuietly(outputFile);
    if (!result.stopped && Aborted(abort)) {
        result.stopped = true;
        result.exitStatus = -1;
        result.output.clear();
    }
    return result;
}

}  // namespace kestrane
