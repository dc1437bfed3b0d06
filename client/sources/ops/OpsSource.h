// SPDX-License-Identifier: GPL-3.0-or-later
// The EPO OPS source: a number's facsimile page by page from Open Patent
// Services v3.2, merged like the publication server's pages.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "client/Source.h"
#include "client/sources/ops/OpsSession.h"

namespace kestrane {

namespace ops {
class Exchanger;
}

class OpsSource : public Source {
  public:
    explicit OpsSource(std::shared_ptr<OpsSession> session) : session_(std::move(session)) {}
    [[nodiscard]] Failure Open(ClientContext& ctx) override;
    [[nodiscard]] Failure Find(ClientContext& ctx, FoundDocument& found) override;
    [[nodiscard]] Failure Fetch(ClientContext& ctx, const FoundDocument& found) override;
    [[nodiscard]] std::string StatusSuffix() const override { return "(EPO OPS)"; }
    // The compact number: "de 197 58 096 c2" is saved as DE19758096C2.pdf.
    [[nodiscard]] std::string OutputName(const std::string& number) const override;
    // Blanks around the number mean nothing to OPS; the record leaves them out.
    [[nodiscard]] std::string RecordNumber(const std::string& typed) const override;

  private:
    // One page into file, checked to be a one-page PDF.
    [[nodiscard]] Failure FetchPage(ClientContext& ctx, ops::Exchanger& exchanger,
                                    const FoundDocument& found, int n, const std::string& file);

    std::shared_ptr<OpsSession> session_;
};

// The file name (without ".pdf") this source saves a number's document under.
std::string OpsOutputName(const std::string& number);

// MakeSource for one run: every source it makes shares one session.
std::function<std::unique_ptr<Source>()> OpsSourceMaker(OpsConfig config,
                                                        OpsTiming timing = OpsTiming::Real());

// A real inquiry is a few KB; a larger answer is refused unread.
inline constexpr std::size_t kMaxInquiryAnswer = 1024 * 1024;

// The FullDocument of an images inquiry that is the publication itself (not
// an AMENDMENT-only correction) and states its pages as a plain count of at
// most 5000; false when the answer holds none.
bool ParseImagesInquiry(const std::string& xml, FoundDocument& found);

// The text the user sees for a failure of this source (the usual text, and
// what OPS said where it matters). Never holds a credential.
std::string OpsFailureText(const Failure& failure, const std::string& number);

}  // namespace kestrane
