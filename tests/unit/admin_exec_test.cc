// admin_exec_test.cc - the executor's pure pieces: finding the primary in a
// referral list and reading modification times.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin_private.h"

namespace {

TEST(ReferralHost, FirstUsableUrlNamesThePrimary) {
    struct Case {
        std::vector<std::string> urls;
        std::optional<std::string> host;
    } cases[] = {
        {{"ldap://127.0.0.2:389/ztID=a,o=ztdata"}, "127.0.0.2"},  // the port is not taken over
        {{"ldap:///h"}, "h"},                                     // any number of slashes
        {{"ldap://h/o=x"}, "h/o=x"},                              // only a ":" ends the host
        {{"ldap://"}, ""},                                        // 7 characters: usable, empty
        {{"ldap:/"}, std::nullopt},                               // 6 characters are not enough
        {{"ldaps://h:636/o=x"}, std::nullopt},
        {{"http://h", "ldap:/", "ldap://second:1", "ldap://third:1"}, "second"},
        {{}, std::nullopt},
    };
    for (auto &c : cases) {
        std::vector<char *> list;
        for (auto &u : c.urls) list.push_back(u.data());
        list.push_back(nullptr);
        EXPECT_EQ(zt::primary_host_from_referrals(list.data()), c.host) << (c.urls.empty() ? "" : c.urls[0]);
    }
    EXPECT_EQ(zt::primary_host_from_referrals(nullptr), std::nullopt);
}

TEST(ModificationTime, TimestampsBecomeSecondsSinceTheEpoch) {
    struct Case {
        const char *text;
        int seconds;
    } cases[] = {
        {"19700101000000Z", 0},
        {"20261205140827.123456Z", 1796479707},
        {"20380119031407Z", 2147483647},
        {"20380119031408Z", 0},  // folded into 31 bits
        {"2026120514082Z", ADMIN_ERR_NOT_FOUND},
        {"yesterday", ADMIN_ERR_NOT_FOUND},
        {nullptr, ADMIN_ERR_NOT_FOUND},
    };
    for (const auto &c : cases) EXPECT_EQ(zt::modtime_from_timestamp(c.text), c.seconds) << (c.text ? c.text : "");
}

}  // namespace
