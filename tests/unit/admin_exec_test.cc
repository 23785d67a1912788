// SPDX-License-Identifier: GPL-3.0-or-later
// admin_exec_test.cc - finding the primary in a referral list.
#include "admin_private.h"
#include "test_support.h"

namespace {

TEST(ReferralHost, FirstUsableUrlNamesThePrimary) {
    struct Case { std::vector<std::string> urls; std::optional<std::string> host; } cases[] = {
        {{"ldap://127.0.0.2:389/ztID=a,o=ztdata"}, "127.0.0.2"},  // the port is not taken over
        {{"ldap:///h"}, "h"},                                     // any number of slashes
        {{"ldap://h/o=x"}, "h"},                                  // without a port the DN ends the host
        {{"ldap:/"}, std::nullopt},                               // 6 characters are not enough
        {{"http://h", "ldap:/", "ldaps://h", "ldap://second:1", "ldap://third:1"}, "second"},
        {{}, std::nullopt},
    };
    for (auto &c : cases) {
        std::vector<char *> list;
        for (auto &u : c.urls) list.push_back(u.data());
        list.push_back(nullptr);
        EXPECT_EQ(zt::primary_host_from_referrals(list.data()), c.host) << (c.urls.empty() ? "" : c.urls[0]);
    }
}

}  // namespace
