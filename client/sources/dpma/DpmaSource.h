// SPDX-License-Identifier: GPL-3.0-or-later
// The DPMAconnectPlus source: one German publication as one whole PDF from
// the DPMA's own interface, with the user's contract credentials (HTTP Basic
// on every request), asked under its padded id, then its plain one.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "client/Source.h"

namespace kestrane {

inline constexpr const char* kDpmaDefaultBase = "https://dpmaconnect.dpma.de/dpmaws/rest-services";
// A document beyond this fails naming the limit instead of filling the disk.
inline constexpr std::size_t kDpmaMaxDocument = 512u << 20;

struct DpmaConfig {
    std::string Base = kDpmaDefaultBase;  // without a trailing "/"
    std::string User;
    std::string Password;  // never printed, logged or saved by the source
};

class DpmaSource : public Source {
  public:
    explicit DpmaSource(std::shared_ptr<const DpmaConfig> config) : config_(std::move(config)) {}
    [[nodiscard]] Failure Open(ClientContext& ctx) override;
    [[nodiscard]] Failure Find(ClientContext& ctx, FoundDocument& found) override;
    [[nodiscard]] Failure Fetch(ClientContext& ctx, const FoundDocument& found) override;
    [[nodiscard]] std::string StatusSuffix() const override { return "(DPMAconnectPlus)"; }

  private:
    std::shared_ptr<const DpmaConfig> config_;
};

std::function<std::unique_ptr<Source>()> DpmaSourceMaker(DpmaConfig config);

// GET .../version with the credentials: they are accepted (it does not prove
// the right to the PDF call). For Test connection; abort may be null.
Failure TestDpmaConnection(const DpmaConfig& config, const std::atomic<bool>* abort);

}  // namespace kestrane
