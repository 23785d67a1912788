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
    // A full configuration for `token_id`.
    static XconfigPtr full(const char *token_id) {
        XconfigPtr x(allocate_xconfig());
        x->token_id = strdup(token_id);
        x->resolution = strdup("1280x1024");
        x->refresh = 60;
        x->enable_pc = strdup("yes");
        x->default_pc = strdup("no");
        x->dim_rows = 2;
        x->dim_columns = 2;
        x->ordering = static_cast<int *>(std::malloc(4 * sizeof(int)));
        for (int i = 0; i < 4; ++i) x->ordering[i] = 3 - i;
        x->enable_autosizing = strdup("on");
        x->enable_multiscreen = strdup("off");
        x->enable_xinerama = strdup("yes");
        x->enable_xkb = strdup("no");
        return x;
    }
    XconfigPtr read(const char *token_id, AdminStatus expected = ADMIN_SUCCESS) {
        Xconfig *x = nullptr;
        EXPECT_EQ(zt_getXconfByTokenID(conn_.get(), token_id, &x), expected) << token_id;
        return XconfigPtr(x);
    }
    // Writes attributes straight to the primary and waits for the replica.
    void store(const std::string &entry_dn, const Attrs &attrs) {
        for (const auto &[type, value] : attrs) {
            ASSERT_EQ(primary_->replace(entry_dn, type, value), LDAP_SUCCESS) << type;
        }
        ASSERT_TRUE(wait_value(entry_dn, attrs.back().first, attrs.back().second));
    }
    bool replica_has_class(const std::string &entry_dn, bool present) {
        return wait_value(entry_dn, "objectClass", "ztXconfig", present);
    }
};

TEST_F(XconfigStore, FullRecordRoundTripsOnALogicalToken) {
    put_logical("user.rt", {});
    XconfigPtr x = full("user.rt");
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("user.rt", "logicalTokens");
    ASSERT_TRUE(replica_has_class(entry, true));
    EXPECT_EQ(primary_->values(entry, "ztScreenOrdering"), (std::vector<std::string>{"3,2,1,0"}));
    EXPECT_EQ(primary_->values(entry, "ztScreenX11Options"), (std::vector<std::string>{"screenEnableXKB=no"}));

    XconfigPtr back = read("USER.rt");
    ASSERT_TRUE(back);
    EXPECT_STREQ(back->token_id, "user.rt");
    EXPECT_STREQ(back->resolution, "1280x1024");
    EXPECT_EQ(back->refresh, 60);
    EXPECT_STREQ(back->enable_pc, "yes");
    EXPECT_STREQ(back->default_pc, "no");
    ASSERT_EQ(back->dim_rows * back->dim_columns, 4);
    ASSERT_NE(back->ordering, nullptr);
    EXPECT_EQ(std::vector<int>(back->ordering, back->ordering + 4), (std::vector<int>{3, 2, 1, 0}));
    EXPECT_STREQ(back->enable_autosizing, "on");
    EXPECT_STREQ(back->enable_multiscreen, "off");
    EXPECT_STREQ(back->enable_xinerama, "yes");
    EXPECT_STREQ(back->enable_xkb, "no");
}

TEST_F(XconfigStore, PseudoTokenConfigurationLivesUnderTheBareId) {
    XconfigPtr x(allocate_xconfig());
    x->token_id = strdup("pseudo.02000012ab");
    x->resolution = strdup("1024x768");
    x->enable_xkb = strdup("yes");
    // No raw token yet: it is created, named as the configuration addresses it.
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("02000012ab", "rawTokens");
    ASSERT_TRUE(replica_has_class(entry, true));
    EXPECT_EQ(primary_->values(entry, "ztTokenType"), (std::vector<std::string>{"user"}));
    EXPECT_EQ(primary_->values(entry, "ztTokenState"), (std::vector<std::string>{"unknown"}));
    EXPECT_EQ(primary_->values(entry, "ztEnabled"), (std::vector<std::string>{"allowed"}));
    EXPECT_FALSE(primary_->exists(dn("pseudo.02000012ab", "rawTokens")));

    XconfigPtr back = read("Pseudo.02000012ab");
    ASSERT_TRUE(back);
    EXPECT_STREQ(back->token_id, "pseudo.02000012ab");
    EXPECT_STREQ(back->resolution, "1024x768");
    EXPECT_EQ(back->refresh, -1);
    EXPECT_EQ(back->ordering, nullptr);
}

TEST_F(XconfigStore, AnUnknownCardGetsARawTokenAnUnknownLogicalTokenDoesNot) {
    XconfigPtr card = full("card.new");
    ASSERT_EQ(zt_addXconf(conn_.get(), card.get(), 0), ADMIN_SUCCESS);
    EXPECT_TRUE(primary_->exists(dn("card.new", "rawTokens")));

    XconfigPtr lt = full("user.ghost");
    EXPECT_EQ(zt_addXconf(conn_.get(), lt.get(), 0), ADMIN_ERR_TOKEN_NOT_FOUND);
    EXPECT_FALSE(primary_->exists(dn("user.ghost", "logicalTokens")));
}

TEST_F(XconfigStore, ExistingConfigurationIsKeptUnlessReplaced) {
    put_raw("card.keep");
    XconfigPtr first = full("card.keep");
    ASSERT_EQ(zt_addXconf(conn_.get(), first.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("card.keep", "rawTokens");
    ASSERT_TRUE(replica_has_class(entry, true));

    XconfigPtr second(allocate_xconfig());
    second->token_id = strdup("card.keep");
    second->resolution = strdup("640x480");
    second->enable_xkb = strdup("yes");
    EXPECT_EQ(zt_addXconf(conn_.get(), second.get(), 0), ADMIN_ERR_EXISTS);
    EXPECT_EQ(primary_->values(entry, "ztScreenResolution"), (std::vector<std::string>{"1280x1024"}));

    ASSERT_EQ(zt_addXconf(conn_.get(), second.get(), 1), ADMIN_SUCCESS);
    EXPECT_EQ(primary_->values(entry, "ztScreenResolution"), (std::vector<std::string>{"640x480"}));
    EXPECT_TRUE(primary_->values(entry, "ztScreenRefresh").empty());
    EXPECT_TRUE(primary_->values(entry, "ztScreenOrdering").empty());
    EXPECT_EQ(primary_->values(entry, "ztTokenType"), (std::vector<std::string>{"user"}));
}

TEST_F(XconfigStore, WithoutTheSwitchTheOptionsValueIsLeftOut) {
    put_logical("user.noxkb", {});
    XconfigPtr x(allocate_xconfig());
    x->token_id = strdup("user.noxkb");
    x->resolution = strdup("800x600");
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("user.noxkb", "logicalTokens");
    EXPECT_EQ(primary_->values(entry, "ztScreenResolution"), (std::vector<std::string>{"800x600"}));
    EXPECT_TRUE(primary_->values(entry, "ztScreenX11Options").empty());
    ASSERT_TRUE(replica_has_class(entry, true));
    XconfigPtr back = read("user.noxkb");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->enable_xkb, nullptr);
}

TEST_F(XconfigStore, StoredValuesTheRecordCannotShow) {
    struct Case {
        const char *id;
        Attrs stored;
        std::vector<int> ordering;  // empty: none
        int rows, columns;
    } cases[] = {
        {"card.short", {{"ztScreenDimRows", "2"}, {"ztScreenDimColumns", "2"}, {"ztScreenOrdering", "1, 2, 3"}}, {}, 2, 2},
        {"card.long", {{"ztScreenDimRows", "2"}, {"ztScreenDimColumns", "2"}, {"ztScreenOrdering", "1,2,3,4,5"}},
         {1, 2, 3, 4}, 2, 2},
        {"card.flat", {{"ztScreenDimRows", "3"}, {"ztScreenDimColumns", "0"}, {"ztScreenOrdering", "1,2,3"}}, {}, 0, 0},
        {"card.neg", {{"ztScreenDimRows", "-1"}, {"ztScreenDimColumns", "2"}}, {}, 0, 0},
    };
    for (const Case &c : cases) {
        put_raw(c.id, {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=ON"}});
        store(dn(c.id, "rawTokens"), c.stored);
        XconfigPtr x = read(c.id);
        ASSERT_TRUE(x) << c.id;
        EXPECT_STREQ(x->enable_xkb, "yes");
        EXPECT_EQ(x->dim_rows, c.rows) << c.id;
        EXPECT_EQ(x->dim_columns, c.columns) << c.id;
        std::vector<int> ordering;
        if (x->ordering != nullptr) ordering.assign(x->ordering, x->ordering + x->dim_rows * x->dim_columns);
        EXPECT_EQ(ordering, c.ordering) << c.id;

        // Removal takes every stored attribute with it, shown or not.
        ASSERT_EQ(zt_delXconfByTokenID(conn_.get(), c.id), ADMIN_SUCCESS) << c.id;
        std::string entry = dn(c.id, "rawTokens");
        EXPECT_EQ(primary_->values(entry, "objectClass"), (std::vector<std::string>{"ztRawToken"})) << c.id;
        for (const auto &[type, value] : c.stored) EXPECT_TRUE(primary_->values(entry, type).empty()) << type;
        EXPECT_TRUE(primary_->values(entry, "ztScreenX11Options").empty());
    }
}

TEST_F(XconfigStore, UnreadableOptionsMakeTheRecordUnreadable) {
    put_raw("card.bad", {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=maybe"}});
    read("card.bad", ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), "card.bad"), ADMIN_ERR_NOT_FOUND);
}

TEST_F(XconfigStore, RemovalThenReadFindsNothing) {
    put_logical("user.del", {}, {{"ztServerName", "srv"}});
    XconfigPtr x = full("user.del");
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_SUCCESS);
    std::string entry = dn("user.del", "logicalTokens");
    ASSERT_TRUE(replica_has_class(entry, true));
    ASSERT_EQ(zt_delXconfByTokenID(conn_.get(), "user.del"), ADMIN_SUCCESS);
    ASSERT_TRUE(replica_has_class(entry, false));
    read("user.del", ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), "user.del"), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(primary_->values(entry, "ztServerName"), (std::vector<std::string>{"srv"}));
}

TEST_F(XconfigStore, InvalidIdsAreRefusedWithoutASearch) {
    for (const char *id : {"abc", "user.", ".x", "x."}) {
        read(id, ADMIN_ERR_INVALID_ARGS);
        EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), id), ADMIN_ERR_INVALID_ARGS) << id;
        XconfigPtr x(allocate_xconfig());
        x->token_id = strdup(id);
        EXPECT_EQ(zt_addXconf(conn_.get(), x.get(), 0), ADMIN_ERR_INVALID_ARGS) << id;
    }
    EXPECT_EQ(zt_addXconf(conn_.get(), nullptr, 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(log_->lines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace zt::test
