// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: every page reader the client applies to server pages, on
// arbitrary bytes. A page may be huge, hostile or binary; none may crash, hang
// or read past the page.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/net/HttpExchange.h"
#include "client/sources/classic/Documents.h"
#include "client/sources/classic/Scrape.h"

using namespace kestrane;

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);

    for (const char* pattern : {kHitLinkPattern, kPagePdfPattern, kNavigationPattern,
                                kNextPagePattern, kHitCountPattern}) {
        if (const auto group = FindGroup1(pattern, page)) {
            Check(group->end <= page.size());
            Check(group->text.size() <= group->end);
            const std::string url = LinkToUrl("http://127.0.0.1", group->text);
            Check(ReplaceAmp(group->text).size() <= group->text.size());
            // Names derived from links must never leave their folder.
            const std::string name = DocumentNameFromUrl(url, "DE1");
            if (IsSafeDocumentName(name)) {
                Check(name.find('/') == std::string::npos && name.find("..") == std::string::npos);
            }
        }
    }

    // The selection walk: every link once, in page order, always moving on.
    std::string_view rest(page);
    for (int hit = 0; hit < 1000; ++hit) {
        const auto link = FindGroup1(kHitLinkPattern, rest);
        if (!link)
            break;
        Check(link->end > 0 && link->end <= rest.size());
        rest.remove_prefix(link->end);
    }

    (void)PageHasMatches(page);
    return 0;
}
