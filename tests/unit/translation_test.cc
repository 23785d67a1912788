// Unit tests of the translations' argument and length checks: they must be
// refused before any search is sent.  The session points at a closed port,
// so a search that slipped through would fail with another status.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "admin.h"
#include "test_support.h"

namespace {

class Unconnected : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ldap_initialize(&conn_.session, "ldap://127.0.0.1:1/"), LDAP_SUCCESS);
        conn_.subtree = root_.data();
        log_ = dir_.path() + "/log";
        setenv("ZTADMIN_LOG", log_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZTADMIN_LOG");
        ldap_unbind_ext_s(conn_.session, nullptr, nullptr);
    }
    std::string log() const { return zt::test::read_file(log_); }

    zt::test::TempDir dir_;
    std::string log_;
    std::string root_ = "o=ztdata";
    AdminConfig conn_{};
};

TEST_F(Unconnected, LidByRidRefusesMissingArguments) {
    char **out = reinterpret_cast<char **>(&conn_);
    EXPECT_EQ(_zt_getLidByRid(&conn_, "", &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(_zt_getLidByRid(&conn_, nullptr, &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(_zt_getLidByRid(nullptr, "card.1", &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(_zt_getUidByRid(&conn_, "", &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log(), "");
}

TEST_F(Unconnected, LidByRidChecksTheFilterAsWrittenBeforeEscaping) {
    // "ztRawTokenIDs=" has 14 characters: an ID of 113 makes 127 and fits.
    char **out = nullptr;
    std::string id(114, 'x');
    EXPECT_EQ(_zt_getLidByRid(&conn_, id.c_str(), &out), ADMIN_ERR_NO_BUFFER);
    EXPECT_EQ(log(), "14 _zt_getLidByRid(): search filter too long\n");
    // Escaping grows the text but not what is checked: the search is tried
    // (and fails on the closed port).
    std::string stars(113, '*');
    EXPECT_EQ(_zt_getLidByRid(&conn_, stars.c_str(), &out), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Unconnected, LidByRidChecksTheSubtree) {
    // "ztName=logicalTokens, " has 22 characters.
    root_ = std::string(500 - 22, 'r');
    conn_.subtree = root_.data();
    char **out = nullptr;
    EXPECT_EQ(_zt_getLidByRid(&conn_, "card.1", &out), ADMIN_ERR_NO_BUFFER);
    EXPECT_EQ(_zt_getUidByRid(&conn_, "card.1", &out), ADMIN_ERR_NO_BUFFER);
    EXPECT_EQ(log(),
              "14 _zt_getLidByRid(): subtree name too long\n"
              "14 _zt_getLidByRid(): subtree name too long\n");
}

TEST_F(Unconnected, SingleTranslationsGiveNothingForUnusableArguments) {
    std::string long_id(200, 'y');
    EXPECT_EQ(raw_token_id_to_logical_token_id(&conn_, long_id.c_str()), nullptr);
    EXPECT_EQ(logical_token_id_to_user_id(&conn_, nullptr), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(nullptr, "card.1"), nullptr);
    EXPECT_EQ(logical_token_id_to_user(nullptr, "user.1"), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token(&conn_, nullptr), nullptr);
}

}  // namespace
