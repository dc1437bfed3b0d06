// SPDX-License-Identifier: GPL-3.0-or-later
// What one PDF from a server may cost a run, and the strict way every PDF is
// opened. A run keeps within a memory budget of kRunMemoryBudget whatever a
// server sends: each page file is held to the limits below before the merge
// copies anything, and no walk of a PDF's objects recurses on the file's data.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class InputSource;
class QPDF;

namespace kestrane {

// The memory a whole run stays within (measured in bench/, against every
// hostile page the stand-in serves).
inline constexpr std::size_t kRunMemoryBudget = 512u << 20;
// Stream data qpdf may inflate in memory for one PDF (its object and
// cross-reference streams; page contents are copied as they stand).
// (An object stream of this size already holds some 500,000 tiny objects.)
inline constexpr std::size_t kMaxInflated = 8u << 20;
// Objects one page may reach, one merged document may hold, and one file may
// list in its cross-reference table.
inline constexpr std::size_t kMaxPageObjects = 20000;
inline constexpr std::size_t kMaxDocumentObjects = 200000;
inline constexpr std::size_t kMaxFileObjects = 250000;
// The longest chain of nested objects from a page, or of page tree levels:
// a copy that follows it recurses once per link.
inline constexpr int kMaxObjectDepth = 400;

// While one lives on a thread, every Flate or RunLength decode that qpdf does
// on that thread counts against kMaxInflated and fails past it. Not movable.
class InflateBudget {
  public:
    InflateBudget();
    ~InflateBudget();
    InflateBudget(const InflateBudget&) = delete;
    InflateBudget& operator=(const InflateBudget&) = delete;
    // Some decode wanted more than the budget.
    [[nodiscard]] bool Exceeded() const;
    struct State;

  private:
    std::unique_ptr<State> state_;
    State* outer_;
};

// The limit a PDF passed, as the user reads it ("a page reaches more than
// 20000 objects, the limit"); "" when the file keeps within every limit above.
// Walks the page tree from the root, and with pages, each page's objects in
// the order a copy of the page visits them, without recursion; objects
// receives how many objects the pages reach.
std::string CheckPdfShape(QPDF& pdf, bool pages, std::size_t& objects);

// The reason a budget was exceeded, naming the limit.
std::string InflateLimitText();

// inner, read on until *abort or *cancel (either may be null) is set; from
// then on every read throws, so that a stop ends even the reading of one large
// file (qpdf has no other way in while it parses).
std::shared_ptr<InputSource> StoppableInput(std::shared_ptr<InputSource> inner,
                                            const std::atomic<bool>* abort,
                                            const std::atomic<bool>* cancel);

struct PdfReading {
    std::string refused;     // why the file is not taken; "" when it is
    bool overLimit = false;  // refused for passing a limit above (named in refused)
    int pages = 0;           // its pages when taken
};
// Reads a PDF file strictly (no recovery of a damaged file; any warning
// refuses it) within the limits above; with walkPages, each page's objects
// are held to them too. A set *abort or *cancel (either may be null) ends the
// reading, which is then refused. Never throws.
PdfReading ReadPdfWithinLimits(const std::string& file, bool walkPages,
                               const std::atomic<bool>* abort = nullptr,
                               const std::atomic<bool>* cancel = nullptr);

}  // namespace kestrane
