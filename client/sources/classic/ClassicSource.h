// SPDX-License-Identifier: GPL-3.0-or-later
// The default source: the publication server's session, search form, hit
// or selection page, and page-by-page download with the merge.
#pragma once

#include "client/Source.h"

namespace kestrane {

class ClassicSource : public Source {
  public:
    // The session start (the server's cookie).
    [[nodiscard]] Failure Open(ClientContext& ctx) override;
    // The search form; found.link is the first hit's address.
    [[nodiscard]] Failure Find(ClientContext& ctx, FoundDocument& found) override;
    // The hit's document, or every document of its selection page.
    [[nodiscard]] Failure Fetch(ClientContext& ctx, const FoundDocument& found) override;
    // At its built-in address: the publication server dropped this interface.
    [[nodiscard]] bool InterfaceGone(const ClientContext& ctx) const override {
        return ctx.ServerBase == kDefaultServerBase;
    }
};

}  // namespace kestrane
