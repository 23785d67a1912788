// Unit tests of the search each iterator kind runs: containers, the
// composition of the caller's filter, and the length limits.
#include <string>

#include <gtest/gtest.h>

#include "admin.h"
#include "admin_iterator.h"

namespace {

TEST(IteratorSearch, EachKindSearchesItsContainer) {
    struct Case {
        int kind;
        const char *base;
        const char *plain_filter;
        const char *with_filter;
    } cases[] = {
        {ITERATOR_DESKTOPS, "ztName=desktops, o=zt", "objectclass=ztDesktop", "(&(objectclass=ztDesktop)(a=1))"},
        {ITERATOR_USERS, "ztName=users, o=zt", "objectclass=ztUser", "(&(objectclass=ztUser)(a=1))"},
        {ITERATOR_LOGICAL_TOKENS, "ztName=logicalTokens, o=zt", "objectclass=ztLogicalToken",
         "(&(objectclass=ztLogicalToken)(a=1))"},
        {ITERATOR_RAW_TOKENS, "ztName=rawTokens, o=zt", "objectclass=ztRawToken", "(&(objectclass=ztRawToken)(a=1))"},
        {ITERATOR_LOGGED_IN_USERS, "ztName=users, o=zt", "ztStatus=1", "ztStatus=1"},
        {ITERATOR_XCONFIG_LTOKENS, "ztName=logicalTokens, o=zt", "objectclass=ztXconfig",
         "(&(objectclass=ztXconfig)(a=1))"},
        {ITERATOR_XCONFIG_RTOKENS, "ztName=rawTokens, o=zt", "objectclass=ztXconfig",
         "(&(objectclass=ztXconfig)(a=1))"},
    };
    for (const auto &c : cases) {
        auto plain = zt::iterator_search(c.kind, nullptr, "o=zt");
        ASSERT_TRUE(plain) << c.kind;
        EXPECT_EQ(plain->base, c.base);
        EXPECT_EQ(plain->filter, c.plain_filter);
        auto filtered = zt::iterator_search(c.kind, "(a=1)", "o=zt");
        ASSERT_TRUE(filtered) << c.kind;
        EXPECT_EQ(filtered->filter, c.with_filter);
    }
}

TEST(IteratorSearch, UnknownKindsHaveNoSearch) {
    for (int kind : {0, 8, -1, 100}) EXPECT_FALSE(zt::iterator_search(kind, nullptr, "o=zt")) << kind;
}

TEST(IteratorSearch, CallerFilterWithOrWithoutParenthesesComposesAlike) {
    struct Case {
        const char *caller;
        const char *composed;
    } cases[] = {
        {"(ztName=*ann*)", "(&(objectclass=ztUser)(ztName=*ann*))"},
        {"ztName=*ann*", "(&(objectclass=ztUser)(ztName=*ann*))"},
        // Several components: the kind's parentheses close them into one conjunction.
        {"(zttokentype=user)(ztid=*ab*)", "(&(objectclass=ztUser)(zttokentype=user)(ztid=*ab*))"},
        // Only one parenthesis is dropped at each end.
        {"((a=1))", "(&(objectclass=ztUser)((a=1)))"},
        {"(a=1", "(&(objectclass=ztUser)(a=1))"},
        {"a=1)", "(&(objectclass=ztUser)(a=1))"},
        {"", "(&(objectclass=ztUser)())"},
        {"(", "(&(objectclass=ztUser)())"},
    };
    for (const auto &c : cases) {
        auto search = zt::iterator_search(ITERATOR_USERS, c.caller, "o=zt");
        ASSERT_TRUE(search) << c.caller;
        EXPECT_EQ(search->filter, c.composed) << c.caller;
    }
}

TEST(IteratorSearch, LoggedInUsersIgnoreTheCallerFilter) {
    auto search = zt::iterator_search(ITERATOR_LOGGED_IN_USERS, "(ztName=*x*)", "o=zt");
    ASSERT_TRUE(search);
    EXPECT_EQ(search->filter, "ztStatus=1");
}

TEST(IteratorSearch, RefusesTextsBeyondTheirLimits) {
    // "(&(objectclass=ztUser)(" + F + "))" is 25 characters around F.
    std::string filter(255 - 25, 'f');
    ASSERT_TRUE(zt::iterator_search(ITERATOR_USERS, filter.c_str(), "o=zt"));
    filter += 'f';
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, filter.c_str(), "o=zt"));

    // A caller filter of 512 characters is refused even where it is ignored.
    std::string caller(511, 'c');
    EXPECT_TRUE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, caller.c_str(), "o=zt"));
    caller += 'c';
    EXPECT_FALSE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, caller.c_str(), "o=zt"));

    // "ztName=users, " is 14 characters before the root.
    std::string root(499 - 14, 'r');
    ASSERT_TRUE(zt::iterator_search(ITERATOR_USERS, nullptr, root));
    root += 'r';
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, nullptr, root));
}

TEST(Iterator, NullIteratorAndConnectionAreHarmless) {
    EXPECT_EQ(num_iterator_entries(nullptr), -1);
    EXPECT_EQ(get_next_user(nullptr, nullptr), nullptr);
    EXPECT_EQ(start_iterator(nullptr, ITERATOR_USERS, nullptr, nullptr), nullptr);
    finish_iterator(nullptr, nullptr);
}

}  // namespace
