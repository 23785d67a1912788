// SPDX-License-Identifier: GPL-3.0-or-later
// admin_query_test.cc - filter conjunction and the wrap-around order of the generation counter.
#include "admin_private.h"
#include "test_support.h"

namespace {

TEST(AdminQuery, FiltersWrapOnlyListsAndGenerationsWrapAround) {
    for (auto [in, out] : {std::pair{"(a=1)", "(a=1)"}, {"(a=1)(b=2)", "(&(a=1)(b=2))"}, {"a=1", "a=1"}}) {
        char *normal = normalize_search_filter(in);
        EXPECT_STREQ(normal, out);
        std::free(normal);
    }

    EXPECT_TRUE(zt::generation_reached(5, 3));
    EXPECT_FALSE(zt::generation_reached(5, 6));
    EXPECT_TRUE(zt::generation_reached(0, 2147483647));  // after the wrap
    EXPECT_FALSE(zt::generation_reached(2147483647, 0));  // not yet wrapped
    EXPECT_TRUE(zt::generation_reached((1 << 30) - 1, 0));
    EXPECT_FALSE(zt::generation_reached(1 << 30, 0));
}

}  // namespace
