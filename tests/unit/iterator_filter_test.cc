// Unit tests of the search each iterator kind runs: containers, the
// composition of the caller's filter, and the length limits.
#include <string>

#include <gtest/gtest.h>

#include "admin.h"
#include "admin_iterator.h"

namespace {

TEST(IteratorSearch, EachKindSearchesItsContainerForItsClass) {
    struct Case {
        int kind;
        const char *base;
        const char *filter;  // with the caller filter "(a=1)"
    } cases[] = {
        {ITERATOR_DESKTOPS, "ztName=desktops, o=zt", "(&(objectclass=ztDesktop)(a=1))"},
        {ITERATOR_USERS, "ztName=users, o=zt", "(&(objectclass=ztUser)(a=1))"},
        {ITERATOR_LOGICAL_TOKENS, "ztName=logicalTokens, o=zt", "(&(objectclass=ztLogicalToken)(a=1))"},
        {ITERATOR_RAW_TOKENS, "ztName=rawTokens, o=zt", "(&(objectclass=ztRawToken)(a=1))"},
        {ITERATOR_LOGGED_IN_USERS, "ztName=users, o=zt", "ztStatus=1"},
        {ITERATOR_XCONFIG_LTOKENS, "ztName=logicalTokens, o=zt", "(&(objectclass=ztXconfig)(a=1))"},
        {ITERATOR_XCONFIG_RTOKENS, "ztName=rawTokens, o=zt", "(&(objectclass=ztXconfig)(a=1))"},
    };
    for (const auto &c : cases) {
        auto search = zt::iterator_search(c.kind, "(a=1)", "o=zt");
        ASSERT_TRUE(search) << c.kind;
        EXPECT_EQ(search->base, c.base);
        EXPECT_EQ(search->filter, c.filter);
    }
    EXPECT_EQ(zt::iterator_search(ITERATOR_RAW_TOKENS, nullptr, "o=zt")->filter, "objectclass=ztRawToken");
    EXPECT_EQ(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, nullptr, "o=zt")->filter, "ztStatus=1");
    for (int kind : {0, 8, -1}) EXPECT_FALSE(zt::iterator_search(kind, nullptr, "o=zt")) << kind;
}

TEST(IteratorSearch, DropsOneParenthesisAtEachEndOfTheCallerFilter) {
    struct Case {
        const char *caller;
        const char *composed;
    } cases[] = {
        {"(ztName=*ann*)", "(&(objectclass=ztUser)(ztName=*ann*))"},
        {"ztName=*ann*", "(&(objectclass=ztUser)(ztName=*ann*))"},
        {"(zttokentype=user)(ztid=*ab*)", "(&(objectclass=ztUser)(zttokentype=user)(ztid=*ab*))"},
        {"((a=1))", "(&(objectclass=ztUser)((a=1)))"},
        {"(a=1", "(&(objectclass=ztUser)(a=1))"},
        {"(", "(&(objectclass=ztUser)())"},
    };
    for (const auto &c : cases) {
        auto search = zt::iterator_search(ITERATOR_USERS, c.caller, "o=zt");
        ASSERT_TRUE(search) << c.caller;
        EXPECT_EQ(search->filter, c.composed) << c.caller;
    }
}

TEST(IteratorSearch, RefusesTextsBeyondTheirLimits) {
    // The composed filter holds 25 characters around the caller's.
    std::string filter(255 - 25, 'f');
    EXPECT_TRUE(zt::iterator_search(ITERATOR_USERS, filter.c_str(), "o=zt"));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, (filter + "f").c_str(), "o=zt"));
    // The caller's filter is limited even where it is not used.
    std::string caller(511, 'c');
    EXPECT_TRUE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, caller.c_str(), "o=zt"));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, (caller + "c").c_str(), "o=zt"));
    // "ztName=users, " has 14 characters.
    std::string root(499 - 14, 'r');
    EXPECT_TRUE(zt::iterator_search(ITERATOR_USERS, nullptr, root));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, nullptr, root + "r"));
}

}  // namespace
