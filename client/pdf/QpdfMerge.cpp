// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/QpdfMerge.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <qpdf/ClosedFileInputSource.hh>
#include <qpdf/PDFVersion.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>
#include <utility>

#include "client/SafeFiles.h"
#include "client/pdf/PdfLimits.h"

namespace kestrane {

namespace {

// Thrown out of qpdf's progress callback (and out of our own loop) when the
// abort flag is set; never leaves QpdfMerge.
struct Stopped {};

// Thrown by our checks with the reason for the result's output; limit: a
// page passed one of the limits of client/pdf/PdfLimits.h.
struct Refused {
    std::string reason;
    bool limit = false;
};

// What ends a merge early: the worker's stop, or a confirmed cancel.
struct StopFlags {
    const std::atomic<bool>* abort;
    const std::atomic<bool>* cancel;
    bool Set() const {
        return (abort != nullptr && abort->load(std::memory_order_acquire)) ||
               (cancel != nullptr && cancel->load(std::memory_order_acquire));
    }
};

void ThrowIfAborted(StopFlags stop) {
    if (stop.Set())
        throw Stopped{};
}

// qpdf calls this while it writes, about once per percent of the objects.
class AbortReporter : public QPDFWriter::ProgressReporter {
  public:
    explicit AbortReporter(StopFlags stop) : stop_(stop) {}
    void reportProgress(int) override { ThrowIfAborted(stop_); }

  private:
    StopFlags stop_;
};

// Throws Refused when qpdf had to warn about pdf (its warnings are kept, not printed).
void RefuseWarnings(QPDF& pdf, const std::string& what) {
    if (pdf.anyWarnings())
        throw Refused{what +
                      " can be read only with warnings: " + pdf.getWarnings().front().what()};
}

// A PDF file read strictly: no recovery of a damaged file, and any warning
// (qpdf's word for "I had to guess") counts as a failure. Warnings are kept,
// not printed. The file stays open while the Strict lives; afterwards qpdf
// opens it again only for the moments it reads stream data from it (while the
// merged file is written), so a document of any length holds no descriptors
// and no parsed objects of the pages already copied.
struct Strict {
    Strict(const std::string& file, const std::string& what, StopFlags stop)
        : source(std::make_shared<ClosedFileInputSource>(file.c_str())) {
        pdf.setSuppressWarnings(true);
        pdf.setAttemptRecovery(false);
        source->stayOpen(true);
        // Reading one large page file can take long: a stop reaches into it.
        pdf.processInputSource(StoppableInput(source, stop.abort, stop.cancel));
        RefuseWarnings(pdf, what);
    }
    ~Strict() { source->stayOpen(false); }
    Strict(const Strict&) = delete;
    Strict& operator=(const Strict&) = delete;

    std::shared_ptr<ClosedFileInputSource> source;
    QPDF pdf;  // destroyed before source is closed
};

std::string PageName(std::size_t index, const std::string& file) {
    return "page file " + std::to_string(index + 1) + " (" + file + ")";
}

std::size_t AppendWithinLimits(QPDF& merged, const std::string& file, const std::string& what,
                               PDFVersion& version, std::size_t& objects, StopFlags stop);

// Appends every page of one page file to merged; returns how many. Before
// anything is copied the file is held to the limits of client/pdf/PdfLimits.h (a
// copy recurses once per level of a page's objects, and keeps every object
// it copies until the merge ends); objects counts what the document holds.
std::size_t AppendPages(QPDF& merged, const std::string& file, const std::string& what,
                        PDFVersion& version, std::size_t& objects, StopFlags stop) {
    InflateBudget budget;
    try {
        return AppendWithinLimits(merged, file, what, version, objects, stop);
    } catch (...) {
        // qpdf may report a decode the budget stopped as a damaged file.
        if (budget.Exceeded())
            throw Refused{what + ": " + InflateLimitText(), true};
        throw;
    }
}

std::size_t AppendWithinLimits(QPDF& merged, const std::string& file, const std::string& what,
                               PDFVersion& version, std::size_t& objects, StopFlags stop) {
    Strict source(file, what, stop);
    std::size_t reached = 0;
    if (std::string refused = CheckPdfShape(source.pdf, true, reached); !refused.empty())
        throw Refused{what + ": " + refused, true};
    objects += reached;
    if (objects > kMaxDocumentObjects)
        throw Refused{"the pages reach more than " + std::to_string(kMaxDocumentObjects) +
                          " objects, the limit for one document",
                      true};
    // A /Rotate, /MediaBox or /Resources that the page inherits from its
    // page tree would be lost in the copy: give it to the page itself.
    source.pdf.pushInheritedAttributesToPage();
    const std::vector<QPDFObjectHandle> pages = source.pdf.getAllPages();
    if (pages.empty())
        throw Refused{what + " holds no page"};
    // Copies every object the page reaches; stream data follows lazily,
    // read from the page file while the merged file is written (its
    // warnings then land on merged).
    for (const QPDFObjectHandle& page : pages) merged.addPage(page, false);
    RefuseWarnings(source.pdf, what);
    version.updateIfGreater(source.pdf.getVersionAsPDFVersion());
    return pages.size();
}

// Everything of one merge but the clean-up; throws Stopped, Refused, or
// whatever qpdf throws (QPDFExc, std::exception).
void Merge(const std::vector<std::string>& pageFiles, const std::string& outputFile,
           StopFlags abort) {
    if (pageFiles.empty())
        throw Refused{"no page files"};

    QPDF merged;
    merged.setSuppressWarnings(true);
    merged.emptyPDF();
    PDFVersion version(1, 3);
    std::size_t pageCount = 0;
    std::size_t objects = 0;

    for (std::size_t i = 0; i < pageFiles.size(); ++i) {
        ThrowIfAborted(abort);
        const std::string what = PageName(i, pageFiles[i]);
        try {
            pageCount += AppendPages(merged, pageFiles[i], what, version, objects, abort);
        } catch (const std::exception& e) {
            // QPDFExc for what is no readable PDF, QPDFSystemError for what cannot be opened.
            throw Refused{what + " is not a PDF that qpdf can read: " + e.what()};
        }
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
    // A page's stream data that could be read only with warnings.
    RefuseWarnings(merged, "a page's stream data");

    // The file as a reader will see it: it must open cleanly and hold every page.
    ThrowIfAborted(abort);
    InflateBudget budget;
    Strict check(outputFile, "the merged file", abort);
    const std::size_t written = check.pdf.getAllPages().size();
    if (written != pageCount)
        throw Refused{"the merged file holds " + std::to_string(written) + " pages instead of " +
                      std::to_string(pageCount)};
}

}  // namespace

MergeResult QpdfMerge(const std::vector<std::string>& pageFiles, const std::string& outputFile,
                      const std::atomic<bool>* abort, const std::atomic<bool>* cancel) {
    MergeResult result;
    result.started = true;
    result.exitStatus = 1;
    const StopFlags stop{abort, cancel};
    try {
        Merge(pageFiles, outputFile, stop);
        result.exitStatus = 0;
        result.outputWritten = true;
        return result;
    } catch (const Stopped&) {
        result.stopped = true;
        result.exitStatus = -1;
    } catch (const Refused& refused) {
        result.output = refused.reason;
        result.overLimit = refused.limit;
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
    if (!result.stopped && stop.Set()) {
        result.stopped = true;
        result.exitStatus = -1;
        result.output.clear();
    }
    return result;
}

}  // namespace kestrane
