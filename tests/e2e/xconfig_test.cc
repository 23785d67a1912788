// X configuration records against the sandbox: stored on logical and raw
// token entries (a pseudo token's under the bare terminal ID), read back,
// refused over an existing one, replaced, removed, and stored values that
// the record cannot show.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class XconfigStore : public SubtreeTest {
protected:
    static XconfigPtr make(const char *token_id, const char *resolution, const char *xkb) {
        XconfigPtr x(allocate_xconfig());
        x->token_id = strdup(token_id);
        x->resolution = strdup(resolution);
        x->enable_xkb = xkb != nullptr ? strdup(xkb) : nullptr;
        return x;
    }
    XconfigPtr read(const char *token_id, AdminStatus expected = ADMIN_SUCCESS) {
        Xconfig *x = nullptr;
        EXPECT_EQ(zt_getXconfByTokenID(conn_.get(), token_id, &x), expected) << token_id;
        return XconfigPtr(x);
    }
    bool replica_has_class(const std::string &entry_dn, bool present = true) {
        return wait_value(entry_dn, "objectClass", "ztXconfig", present);
    }
};

TEST_F(XconfigStore, FullRecordRoundTripsOnALogicalToken) {
    put_logical("user.rt", {});
    XconfigPtr x = make("user.rt", "1280x1024", "no");
    x->refresh = 60;
    x->enable_pc = strdup("yes");
    x->dim_rows = x->dim_columns = 2;
    x->ordering = static_cast<int *>(std::malloc(4 * sizeof(int)));
    for (int i = 0; i < 4; ++i) x->ordering[i] = 3 - i;
    x->enable_multiscreen = strdup("off");
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("user.rt", "logicalTokens");
    EXPECT_EQ(primary_->values(entry, "ztScreenOrdering"), (std::vector<std::string>{"3,2,1,0"}));
    EXPECT_EQ(primary_->values(entry, "ztScreenX11Options"), (std::vector<std::string>{"screenEnableXKB=no"}));
    ASSERT_TRUE(replica_has_class(entry));

    XconfigPtr back = read("USER.rt");
    ASSERT_TRUE(back);
    EXPECT_STREQ(back->token_id, "user.rt");
    EXPECT_EQ(std::make_tuple(back->refresh, back->dim_rows, back->dim_columns), std::make_tuple(60, 2, 2));
    ASSERT_NE(back->ordering, nullptr);
    EXPECT_EQ(std::vector<int>(back->ordering, back->ordering + 4), (std::vector<int>{3, 2, 1, 0}));
    EXPECT_STREQ(back->enable_pc, "yes");
    EXPECT_STREQ(back->enable_multiscreen, "off");
    EXPECT_EQ(back->default_pc, nullptr);
    EXPECT_STREQ(back->enable_xkb, "no");
}

TEST_F(XconfigStore, MissingTokensAreCreatedForCardsOnly) {
    // A pseudo token's raw token is created under the bare terminal ID.
    ASSERT_EQ(zt_addXconf(conn_.get(), make("pseudo.02000012ab", "1024x768", "yes").get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("02000012ab", "rawTokens");
    EXPECT_EQ(primary_->values(entry, "ztEnabled"), (std::vector<std::string>{"allowed"}));
    EXPECT_FALSE(primary_->exists(dn("pseudo.02000012ab", "rawTokens")));
    ASSERT_TRUE(replica_has_class(entry));
    XconfigPtr back = read("Pseudo.02000012ab");
    ASSERT_TRUE(back);
    EXPECT_STREQ(back->token_id, "pseudo.02000012ab");
    EXPECT_EQ(back->refresh, -1);

    EXPECT_EQ(zt_addXconf(conn_.get(), make("user.ghost", "1x1", "yes").get(), 0), ADMIN_ERR_TOKEN_NOT_FOUND);
    EXPECT_FALSE(primary_->exists(dn("user.ghost", "logicalTokens")));
}

TEST_F(XconfigStore, ExistingConfigurationIsKeptUnlessReplaced) {
    put_raw("card.keep");
    XconfigPtr first = make("card.keep", "1280x1024", "yes");
    first->refresh = 75;
    ASSERT_EQ(zt_addXconf(conn_.get(), first.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("card.keep", "rawTokens");
    ASSERT_TRUE(replica_has_class(entry));

    XconfigPtr second = make("card.keep", "640x480", nullptr);
    EXPECT_EQ(zt_addXconf(conn_.get(), second.get(), 0), ADMIN_ERR_EXISTS);
    EXPECT_EQ(primary_->values(entry, "ztScreenResolution"), (std::vector<std::string>{"1280x1024"}));
    // Replaced by a record without the switch: the options value goes too.
    ASSERT_EQ(zt_addXconf(conn_.get(), second.get(), 1), ADMIN_SUCCESS);
    EXPECT_EQ(primary_->values(entry, "ztScreenResolution"), (std::vector<std::string>{"640x480"}));
    EXPECT_TRUE(primary_->values(entry, "ztScreenRefresh").empty());
    EXPECT_TRUE(primary_->values(entry, "ztScreenX11Options").empty());
    EXPECT_EQ(primary_->values(entry, "ztTokenType"), (std::vector<std::string>{"user"}));
}

TEST_F(XconfigStore, StoredValuesTheRecordCannotShowAreStillRemoved) {
    struct Case {
        const char *id, *rows, *columns, *ordering;
        int heads;               // rows x columns as read
        std::vector<int> shown;  // empty: no ordering
    } cases[] = {
        {"card.short", "2", "2", "1, 2, 3", 4, {}},
        {"card.long", "2", "2", "1,2,3,4,5", 4, {1, 2, 3, 4}},
        {"card.flat", "3", "0", "1,2,3", 0, {}},
        {"card.neg", "-1", "2", "1,2", 0, {}},
    };
    for (const Case &c : cases) {
        put_raw(c.id, {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=ON"},
                       {"ztScreenDimRows", c.rows}, {"ztScreenDimColumns", c.columns},
                       {"ztScreenOrdering", c.ordering}});
        XconfigPtr x = read(c.id);
        ASSERT_TRUE(x) << c.id;
        EXPECT_STREQ(x->enable_xkb, "yes");
        std::vector<int> shown;
        if (x->ordering != nullptr) shown.assign(x->ordering, x->ordering + x->dim_rows * x->dim_columns);
        EXPECT_EQ(shown, c.shown) << c.id;
        EXPECT_EQ(x->dim_rows * x->dim_columns, c.heads) << c.id;

        ASSERT_EQ(zt_delXconfByTokenID(conn_.get(), c.id), ADMIN_SUCCESS) << c.id;
        std::string entry = dn(c.id, "rawTokens");
        EXPECT_EQ(primary_->values(entry, "objectClass"), (std::vector<std::string>{"ztRawToken"})) << c.id;
        for (const char *attr : {"ztScreenDimRows", "ztScreenDimColumns", "ztScreenOrdering", "ztScreenX11Options"}) {
            EXPECT_TRUE(primary_->values(entry, attr).empty()) << c.id << " " << attr;
        }
        ASSERT_TRUE(replica_has_class(entry, false));
        read(c.id, ADMIN_ERR_NOT_FOUND);
    }
}

TEST_F(XconfigStore, UnreadableOrInvalidConfigurationsAreRefused) {
    put_raw("card.bad", {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=maybe"}});
    read("card.bad", ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), "card.bad"), ADMIN_ERR_NOT_FOUND);
    for (const char *id : {"abc", "user.", ".x"}) {
        read(id, ADMIN_ERR_INVALID_ARGS);
        EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), id), ADMIN_ERR_INVALID_ARGS) << id;
        EXPECT_EQ(zt_addXconf(conn_.get(), make(id, "1x1", "yes").get(), 0), ADMIN_ERR_INVALID_ARGS) << id;
    }
}

}  // namespace
}  // namespace zt::test
