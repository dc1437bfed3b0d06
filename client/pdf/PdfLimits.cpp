// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/pdf/PdfLimits.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <qpdf/FileInputSource.hh>
#include <qpdf/InputSource.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_RunLength.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjGen.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFStreamFilter.hh>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestrane {

struct InflateBudget::State {
    std::size_t left = kMaxInflated;
    bool exceeded = false;
};

namespace {

// The budget of this thread's innermost InflateBudget; null outside one.
thread_local InflateBudget::State* tlsBudget = nullptr;

// Counts what a decoder hands on against the thread's budget.
class Counted : public Pipeline {
  public:
    explicit Counted(Pipeline* next) : Pipeline("kestrane inflate budget", next) {}
    void write(unsigned char const* data, size_t len) override {
        if (InflateBudget::State* budget = tlsBudget) {
            if (len > budget->left) {
                budget->left = 0;
                budget->exceeded = true;
                throw std::runtime_error(InflateLimitText());
            }
            budget->left -= len;
        }
        getNext()->write(data, len);
    }
    void finish() override { getNext()->finish(); }
};

// Undoes the PNG predictors (10-15) row by row.
class PngRows : public Pipeline {
  public:
    PngRows(Pipeline* next, std::size_t rowBytes, std::size_t pixelBytes)
        : Pipeline("kestrane png rows", next),
          row_(rowBytes + 1, 0),
          previous_(rowBytes, 0),
          pixel_(pixelBytes) {}
    void write(unsigned char const* data, size_t len) override {
        for (size_t i = 0; i < len; ++i) {
            row_[filled_++] = data[i];
            if (filled_ == row_.size())
                EmitRow();
        }
    }
    void finish() override { getNext()->finish(); }

  private:
    void EmitRow() {
        const unsigned char type = row_[0];
        unsigned char* cur = row_.data() + 1;
        const std::size_t n = previous_.size();
        for (std::size_t i = 0; i < n; ++i) {
            const int left = i >= pixel_ ? cur[i - pixel_] : 0;
            const int up = previous_[i];
            const int upLeft = i >= pixel_ ? previous_[i - pixel_] : 0;
            int add = 0;
            if (type == 1) {
                add = left;
            } else if (type == 2) {
                add = up;
            } else if (type == 3) {
                add = (left + up) / 2;
            } else if (type == 4) {
                const int p = left + up - upLeft;
                const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
                add = (pa <= pb && pa <= pc) ? left : (pb <= pc ? up : upLeft);
            }
            cur[i] = static_cast<unsigned char>(cur[i] + add);
        }
        std::copy(cur, cur + n, previous_.begin());
        filled_ = 0;
        getNext()->write(previous_.data(), n);
    }

    std::vector<unsigned char> row_;
    std::vector<unsigned char> previous_;
    std::size_t pixel_;
    std::size_t filled_ = 0;
};

// FlateDecode (and RunLengthDecode) as qpdf would decode them, with the
// inflated bytes counted against the thread's budget.
class BudgetedDecode : public QPDFStreamFilter {
  public:
    explicit BudgetedDecode(bool flate) : flate_(flate) {}
    bool setDecodeParms(QPDFObjectHandle parms) override {
        if (!flate_ || parms.isNull())
            return true;
        if (!parms.isDictionary())
            return false;
        const auto number = [&](const char* key, long long fallback) {
            QPDFObjectHandle v = parms.getKey(key);
            return v.isInteger() ? v.getIntValue() : fallback;
        };
        const long long predictor = number("/Predictor", 1);
        if (predictor == 1)
            return true;
        const long long colors = number("/Colors", 1);
        const long long bits = number("/BitsPerComponent", 8);
        const long long columns = number("/Columns", 1);
        // TIFF prediction (2) is never seen in the streams qpdf must decode:
        // such a stream reads as one that cannot be decoded.
        if (predictor < 10 || predictor > 15 || colors < 1 || colors > 32 ||
            (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) || columns < 1 ||
            columns > (1 << 20))
            return false;
        rowBytes_ = static_cast<std::size_t>((columns * colors * bits + 7) / 8);
        pixelBytes_ = static_cast<std::size_t>(std::max<long long>(1, colors * bits / 8));
        return rowBytes_ <= (1u << 20);
    }
    Pipeline* getDecodePipeline(Pipeline* next) override {
        Pipeline* out = next;
        if (rowBytes_ > 0) {
            rows_ = std::make_unique<PngRows>(out, rowBytes_, pixelBytes_);
            out = rows_.get();
        }
        counted_ = std::make_unique<Counted>(out);
        if (flate_)
            decoder_ =
                std::make_unique<Pl_Flate>("kestrane inflate", counted_.get(), Pl_Flate::a_inflate);
        else
            decoder_ = std::make_unique<Pl_RunLength>("kestrane run length", counted_.get(),
                                                      Pl_RunLength::a_decode);
        return decoder_.get();
    }

  private:
    const bool flate_;
    std::size_t rowBytes_ = 0;
    std::size_t pixelBytes_ = 1;
    std::unique_ptr<PngRows> rows_;
    std::unique_ptr<Counted> counted_;
    std::unique_ptr<Pipeline> decoder_;
};

// LZW could expand past any budget as Flate can; no stream qpdf must decode
// uses it, so such a stream reads as one that cannot be decoded.
class Undecodable : public QPDFStreamFilter {
  public:
    bool setDecodeParms(QPDFObjectHandle) override { return false; }
    Pipeline* getDecodePipeline(Pipeline* next) override { return next; }
};

void RegisterBudgetedDecoders() {
    static std::once_flag once;
    std::call_once(once, [] {
        QPDF::registerStreamFilter("/FlateDecode",
                                   [] { return std::make_shared<BudgetedDecode>(true); });
        QPDF::registerStreamFilter("/RunLengthDecode",
                                   [] { return std::make_shared<BudgetedDecode>(false); });
        QPDF::registerStreamFilter("/LZWDecode", [] { return std::make_shared<Undecodable>(); });
    });
}

}  // namespace

InflateBudget::InflateBudget() : state_(std::make_unique<State>()), outer_(tlsBudget) {
    RegisterBudgetedDecoders();
    tlsBudget = state_.get();
}

InflateBudget::~InflateBudget() {
    tlsBudget = outer_;
}

bool InflateBudget::Exceeded() const {
    return state_->exceeded;
}

std::string InflateLimitText() {
    return "its compressed objects inflate past " + std::to_string(kMaxInflated >> 20) +
           " MiB, the limit";
}

namespace {

// One level of the walk: an object and the children still to visit.
struct Level {
    std::vector<QPDFObjectHandle> children;
    std::size_t next = 0;
};

// The children a copy visits, in its order: array items, dictionary values
// by sorted key, a stream's dictionary.
std::vector<QPDFObjectHandle> ChildrenOf(QPDFObjectHandle& object) {
    std::vector<QPDFObjectHandle> children;
    if (object.isArray()) {
        const int n = object.getArrayNItems();
        children.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) children.push_back(object.getArrayItem(i));
    } else if (object.isDictionary()) {
        for (const std::string& key : object.getKeys()) children.push_back(object.getKey(key));
    } else if (object.isStream()) {
        children.push_back(object.getDict());
    }
    return children;
}

// Everything a copy of the page reaches, as qpdf's copy walks it (each
// indirect object once; the page tree's /Pages nodes are not followed).
std::string WalkPage(QPDFObjectHandle page, std::set<QPDFObjGen>& seen, std::size_t& objects) {
    std::size_t pageObjects = 0;
    std::vector<Level> path;
    auto enter = [&](QPDFObjectHandle object) -> std::string {
        if (object.isPagesObject())
            return {};
        if (object.isIndirect()) {
            if (!seen.insert(object.getObjGen()).second)
                return {};
            ++objects;
            if (++pageObjects > kMaxPageObjects)
                return "a page reaches more than " + std::to_string(kMaxPageObjects) +
                       " objects, the limit";
        }
        if (static_cast<int>(path.size()) >= kMaxObjectDepth)
            return "a page nests objects more than " + std::to_string(kMaxObjectDepth) +
                   " deep, the limit";
        path.push_back(Level{ChildrenOf(object), 0});
        return {};
    };
    if (std::string refused = enter(page); !refused.empty())
        return refused;
    while (!path.empty()) {
        Level& level = path.back();
        if (level.next == level.children.size()) {
            path.pop_back();
            continue;
        }
        QPDFObjectHandle child = level.children[level.next++];
        if (std::string refused = enter(child); !refused.empty())
            return refused;
    }
    return {};
}

// The page tree from the root, as qpdf's page functions walk it; the pages in
// pages (when given).
std::string WalkPageTree(QPDF& pdf, std::vector<QPDFObjectHandle>* pages) {
    std::set<QPDFObjGen> seen;
    std::vector<std::pair<QPDFObjectHandle, int>> todo{{pdf.getRoot().getKey("/Pages"), 1}};
    while (!todo.empty()) {
        auto [node, depth] = todo.back();
        todo.pop_back();
        if (depth > kMaxObjectDepth)
            return "its page tree is more than " + std::to_string(kMaxObjectDepth) +
                   " levels deep, the limit";
        if (node.isIndirect() && !seen.insert(node.getObjGen()).second)
            continue;
        if (seen.size() > kMaxDocumentObjects)
            return "its page tree holds more than " + std::to_string(kMaxDocumentObjects) +
                   " nodes, the limit";
        QPDFObjectHandle kids = node.isDictionary() ? node.getKey("/Kids") : QPDFObjectHandle();
        if (!kids.isArray()) {
            if (pages != nullptr)
                pages->push_back(node);
            continue;
        }
        for (int i = kids.getArrayNItems(); i-- > 0;)
            todo.emplace_back(kids.getArrayItem(i), depth + 1);
    }
    return {};
}

// Before any object is parsed: a file listing more objects than any page or
// document needs would cost memory for each as soon as they are referred to.
std::string CheckObjectCount(QPDF& pdf) {
    const std::string refused =
        "it lists more than " + std::to_string(kMaxFileObjects) + " objects, the limit";
    QPDFObjectHandle size = pdf.getTrailer().getKey("/Size");
    if (size.isInteger() && size.getIntValue() > static_cast<long long>(kMaxFileObjects))
        return refused;
    // The trailer may understate it.
    return pdf.getXRefTable().size() > kMaxFileObjects ? refused : std::string();
}

// Forwards every call to the file it wraps, and refuses each once a stop is
// set. last_offset follows the inner source's: qpdf's tokenizer reads it.
class Stoppable : public InputSource {
  public:
    Stoppable(std::shared_ptr<InputSource> inner, const std::atomic<bool>* abort,
              const std::atomic<bool>* cancel)
        : inner_(std::move(inner)), abort_(abort), cancel_(cancel) {}
    qpdf_offset_t findAndSkipNextEOL() override {
        Check();
        return Synced(inner_->findAndSkipNextEOL());
    }
    std::string const& getName() const override { return inner_->getName(); }
    qpdf_offset_t tell() override { return inner_->tell(); }
    void seek(qpdf_offset_t offset, int whence) override {
        Check();
        inner_->seek(offset, whence);
    }
    void rewind() override { inner_->rewind(); }
    size_t read(char* buffer, size_t length) override {
        Check();
        return Synced(inner_->read(buffer, length));
    }
    void unreadCh(char ch) override { inner_->unreadCh(ch); }

  private:
    void Check() const {
        if ((abort_ != nullptr && abort_->load(std::memory_order_acquire)) ||
            (cancel_ != nullptr && cancel_->load(std::memory_order_acquire)))
            throw std::runtime_error("stopped while reading " + inner_->getName());
    }
    template <class T>
    T Synced(T result) {
        last_offset = inner_->getLastOffset();
        return result;
    }

    std::shared_ptr<InputSource> inner_;
    const std::atomic<bool>* abort_;
    const std::atomic<bool>* cancel_;
};

}  // namespace

std::shared_ptr<InputSource> StoppableInput(std::shared_ptr<InputSource> inner,
                                            const std::atomic<bool>* abort,
                                            const std::atomic<bool>* cancel) {
    return std::make_shared<Stoppable>(std::move(inner), abort, cancel);
}

std::string CheckPdfShape(QPDF& pdf, bool pages, std::size_t& objects) {
    objects = 0;
    if (std::string refused = CheckObjectCount(pdf); !refused.empty())
        return refused;
    std::vector<QPDFObjectHandle> leaves;
    if (std::string refused = WalkPageTree(pdf, pages ? &leaves : nullptr); !refused.empty())
        return refused;
    std::set<QPDFObjGen> seen;
    for (const QPDFObjectHandle& page : leaves) {
        if (std::string refused = WalkPage(page, seen, objects); !refused.empty())
            return refused;
    }
    return {};
}

PdfReading ReadPdfWithinLimits(const std::string& file, bool walkPages,
                               const std::atomic<bool>* abort, const std::atomic<bool>* cancel) {
    PdfReading reading;
    InflateBudget budget;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.setAttemptRecovery(false);
        pdf.processInputSource(
            StoppableInput(std::make_shared<FileInputSource>(file.c_str()), abort, cancel));
        std::size_t objects = 0;
        reading.refused = CheckPdfShape(pdf, walkPages, objects);
        reading.overLimit = !reading.refused.empty();
        if (reading.refused.empty()) {
            for (QPDFObjectHandle page : pdf.getAllPages()) {
                if (!page.isPageObject())
                    reading.refused = "a page is not a page";
                ++reading.pages;
            }
        }
        if (reading.refused.empty() && pdf.anyWarnings())
            reading.refused = "it can be read only with warnings";
    } catch (const std::exception& e) {
        reading.refused = e.what();
    }
    if (budget.Exceeded()) {
        reading.refused = InflateLimitText();
        reading.overLimit = true;
    }
    if (!reading.refused.empty())
        reading.pages = 0;
    return reading;
}

}  // namespace kestrane
