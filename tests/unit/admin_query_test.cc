// admin_query_test.cc - filter conjunction and the wrap-around order of the
// generation counter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "admin_private.h"

namespace {

TEST(NormalizeSearchFilter, WrapsOnlyLists) {
    const char *cases[][2] = {
        {"(a=1)", "(a=1)"}, {"(a=1)(b=2)", "(&(a=1)(b=2))"}, {"a=1", "a=1"}, {"(|(a=1)(b=2))", "(&(|(a=1)(b=2)))"}};
    for (const auto &c : cases) {
        char *out = normalize_search_filter(c[0]);
        EXPECT_STREQ(out, c[1]);
        std::free(out);
    }
    EXPECT_EQ(normalize_search_filter(nullptr), nullptr);
}

TEST(GenerationOrder, ReachedWithinAQuarterOfTheCounterAhead) {
    struct Case {
        int counter, generation;
        bool reached;
    } cases[] = {
        {5, 5, true}, {5, 3, true}, {5, 6, false}, {0, 2147483647, true},  // after the wrap
        {2147483647, 0, false},                                           // not yet wrapped
        {(1 << 30) - 1, 0, true},                                         // the farthest ahead that counts
        {1 << 30, 0, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(zt::generation_reached(c.counter, c.generation), c.reached) << c.counter << " vs " << c.generation;
    }
}

}  // namespace
