// admin_exec_test.cc - the executor's pure pieces: finding the primary in a
// referral list, reading modification times, and the backoff delays.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "admin_private.h"

namespace {

std::optional<std::string> host_of(std::vector<std::string> urls) {
    std::vector<char *> list;
    for (auto &u : urls) list.push_back(u.data());
    list.push_back(nullptr);
    return zt::primary_host_from_referrals(list.data());
}

TEST(ReferralHost, FirstUsableUrlNamesThePrimary) {
    struct Case {
        std::vector<std::string> urls;
        std::optional<std::string> host;
    } cases[] = {
        {{"ldap://127.0.0.2:389/ztID=a,o=ztdata"}, "127.0.0.2"},
        {{"ldap://h:7000"}, "h"},              // the port is not taken over
        {{"ldap:///h"}, "h"},                  // any number of slashes
        {{"ldap:/h:1"}, "h"},
        {{"ldap://h/o=x"}, "h"},               // without a port the DN ends the host
        {{"ldap://"}, ""},                     // 7 characters: usable, empty
        {{"ldap:/"}, std::nullopt},            // 6 characters are not enough
        {{"ldaps://h:636/o=x"}, std::nullopt},
        {{"LDAP://h:1"}, std::nullopt},
        {{"http://h", "ldap:/", "ldap://second:1", "ldap://third:1"}, "second"},
        {{}, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.urls.empty() ? "(none)" : c.urls.front());
        EXPECT_EQ(host_of(c.urls), c.host);
    }
    EXPECT_EQ(zt::primary_host_from_referrals(nullptr), std::nullopt);
}

TEST(ModificationTime, TimestampsBecomeSecondsSinceTheEpoch) {
    struct Case {
        const char *text;
        int seconds;
    } cases[] = {
        {"19700101000000Z", 0},
        {"20261205140827Z", 1796479707},
        {"20261205140827.123456Z", 1796479707},
        {"20380119031407Z", 2147483647},
        {"20380119031408Z", 0},                 // folded into 31 bits
        {"21000101000000Z", static_cast<int>(4102444800LL & 0x7fffffff)},
        {"19691231235959Z", 0},
        {"2026120514082Z", ADMIN_ERR_NOT_FOUND},
        {"", ADMIN_ERR_NOT_FOUND},
        {"yesterday", ADMIN_ERR_NOT_FOUND},
        {nullptr, ADMIN_ERR_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(zt::modtime_from_timestamp(c.text), c.seconds);
    }
}

TEST(Backoff, DelayDoublesAfterEachWait) {
    _init_backoff();
    EXPECT_EQ(zt::_ms_backoff, 100);
    auto start = std::chrono::steady_clock::now();
    _wait_backoff();
    _wait_backoff();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    EXPECT_EQ(zt::_ms_backoff, 400);
    EXPECT_EQ(zt::_tv_backoff.tv_sec, 0);
    _init_backoff();
    EXPECT_EQ(zt::_ms_backoff, 100);
}

}  // namespace
