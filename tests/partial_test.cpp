// SPDX-License-Identifier: GPL-3.0-or-later
// Pages kept for resume: trusted only after the checks, never across a change.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/PartialStore.h"
#include "support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;

const std::string kPage =
    std::string(KESTRANE_TEST_DATA) + "/ops_fullimage_pdf_WO2010050748A2_Range2.pdf";

void KeepPages(PartialStore& store, std::initializer_list<int> pages) {
    for (int n : pages) {
        fs::copy_file(kPage, store.PagePath(n), fs::copy_options::overwrite_existing);
        ASSERT_TRUE(store.Keep(n));
    }
}

TEST(PartialStore, KeepsCheckedPagesAndDropsWhatFailsTheChecks) {
    test::TempDir dir;
    const std::string link = "published-data/images/DE/1/A1/fullimage";
    {
        PartialStore first(dir.str(), "ops", "DE1A1", link, 5);
        ASSERT_TRUE(first.Open());
        KeepPages(first, {1, 2, 3, 4});
        // Fetched but never noted (the run ended in between): not trusted.
        fs::copy_file(kPage, first.PagePath(5));
        // A kept page damaged on disk, and another that still reads as a
        // page but is not the one noted.
        test::WriteFile(first.PagePath(2), test::ReadFile(kPage).substr(0, 500));
        std::string other = test::ReadFile(kPage);
        other.replace(other.rfind("%%EOF"), 5, "%%EOF\n%");
        test::WriteFile(first.PagePath(3), other);
    }
    PartialStore store(dir.str(), "ops", "DE1A1", link, 5);
    ASSERT_TRUE(store.Open());
    EXPECT_TRUE(store.Has(1));
    EXPECT_FALSE(store.Has(2));
    EXPECT_FALSE(store.Has(3));
    EXPECT_TRUE(store.Has(4));
    EXPECT_FALSE(store.Has(5));
    EXPECT_FALSE(fs::exists(store.PagePath(5)));
    EXPECT_EQ(store.KeptCount(), 2);

    // Another page count (or id, or source) trusts nothing of it.
    PartialStore changed(dir.str(), "ops", "DE1A1", link, 6);
    ASSERT_TRUE(changed.Open());
    EXPECT_EQ(changed.KeptCount(), 0);
    EXPECT_FALSE(fs::exists(changed.PagePath(1)));

    KeepPages(changed, {1, 2, 3, 4, 5, 6});
    changed.Finish();
    EXPECT_FALSE(fs::exists(dir.path() / ".kestrane"));
}

TEST(PartialStore, RefusesFoldersThatAreLinksOrNamesThatLeaveTheFolder) {
    test::TempDir dir;
    test::TempDir elsewhere;
    fs::create_directory_symlink(elsewhere.path(), dir.path() / ".kestrane");
    EXPECT_FALSE(PartialStore(dir.str(), "ops", "DE1A1", "x", 3).Open());
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    fs::remove(dir.path() / ".kestrane");
    EXPECT_FALSE(PartialStore(dir.str(), "ops", "../x", "x", 3).Open());
    EXPECT_FALSE(PartialStore(dir.str(), "ops", "DE1A1", "a\nsource google", 3).Open());
    EXPECT_TRUE(PartialStore(dir.str(), "ops", "DE1A1", "x", 3).Open());
}

}  // namespace
}  // namespace kestrane
