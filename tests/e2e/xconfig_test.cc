// SPDX-License-Identifier: GPL-3.0-or-later
// X configurations against the sandbox: stored on logical and raw token entries (a pseudo token's under the bare
// terminal ID), read back, kept or replaced, and removed with values the record cannot show.
#include "records_fixture.h"

namespace zt::test {
namespace {

class XconfigStore : public RecordsTest {
protected:
    XconfigPtr read(const char *token_id, AdminStatus expected = ADMIN_SUCCESS) {
        Xconfig *x = nullptr;
        EXPECT_EQ(zt_getXconfByTokenID(conn_.get(), token_id, &x), expected) << token_id;
        return XconfigPtr(x);
    }
};

TEST_F(XconfigStore, RecordRoundTripsAndIsKeptUnlessReplaced) {
    put_logical("user.rt", {});
    XconfigPtr x = xconfig_for("user.rt", "1280x1024", "no");
    x->refresh = 60;
    x->dim_rows = x->dim_columns = 2;
    x->ordering = static_cast<int *>(std::malloc(4 * sizeof(int)));
    for (int i = 0; i < 4; ++i) x->ordering[i] = 3 - i;
    ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), 0);
    EXPECT_EQ(vals("user.rt", "logicalTokens", "ztScreenOrdering"), Strings{"3,2,1,0"});
    EXPECT_EQ(vals("user.rt", "logicalTokens", "ztScreenX11Options"), Strings{"screenEnableXKB=no"});
    await_same("user.rt", "logicalTokens", "objectClass");
    XconfigPtr back = read("USER.rt");
    ASSERT_TRUE(back && back->ordering);
    EXPECT_EQ(std::make_tuple(back->refresh, back->dim_rows, back->dim_columns), std::make_tuple(60, 2, 2));
    EXPECT_EQ(std::vector<int>(back->ordering, back->ordering + 4), (std::vector<int>{3, 2, 1, 0}));

    XconfigPtr second = xconfig_for("user.rt", "640x480", nullptr);
    EXPECT_EQ(zt_addXconf(conn_.get(), second.get(), 0), ADMIN_ERR_EXISTS);
    EXPECT_EQ(vals("user.rt", "logicalTokens", "ztScreenResolution"), Strings{"1280x1024"});
    // Replaced by a record without the switch: the options value goes too.
    ASSERT_EQ(zt_addXconf(conn_.get(), second.get(), 1), 0);
    EXPECT_EQ(vals("user.rt", "logicalTokens", "ztScreenResolution"), Strings{"640x480"});
    for (const char *attr : {"ztScreenRefresh", "ztScreenOrdering", "ztScreenX11Options"})
        EXPECT_EQ(vals("user.rt", "logicalTokens", attr), Strings{}) << attr;
}

TEST_F(XconfigStore, MissingTokensAreCreatedForRawTokensOnly) {
    ASSERT_EQ(zt_addXconf(conn_.get(), xconfig_for("pseudo.02000012ab", "1024x768", "yes").get(), 0), 0);
    EXPECT_EQ(vals("02000012ab", "rawTokens", "ztEnabled"), Strings{"allowed"});
    EXPECT_FALSE(on_primary("pseudo.02000012ab", "rawTokens"));
    await_same("02000012ab", "rawTokens", "objectClass");
    XconfigPtr back = read("Pseudo.02000012ab");
    ASSERT_TRUE(back);
    EXPECT_STREQ(back->token_id, "pseudo.02000012ab");
    EXPECT_EQ(back->refresh, -1);
    EXPECT_EQ(zt_addXconf(conn_.get(), xconfig_for("user.ghost", "1x1", "yes").get(), 0), ADMIN_ERR_TOKEN_NOT_FOUND);
    EXPECT_FALSE(on_primary("user.ghost", "logicalTokens"));
}

// Dimensions without enough numbers, or that are not positive, do not
// reach the record; the delete still takes them (and the class) away.
TEST_F(XconfigStore, StoredValuesTheRecordCannotShowAreStillRemovedAndBadOnesRefused) {
    struct Case { const char *id, *rows, *ordering; int heads; } cases[] = {
        {"card.short", "2", "1, 2, 3", 4}, {"card.neg", "-1", "1,2", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        put_raw(c.id, {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=ON"},
                       {"ztScreenDimRows", c.rows}, {"ztScreenDimColumns", "2"}, {"ztScreenOrdering", c.ordering}});
        XconfigPtr x = read(c.id);
        ASSERT_TRUE(x);
        EXPECT_STREQ(x->enable_xkb, "yes");
        EXPECT_EQ(x->dim_rows * x->dim_columns, c.heads);
        EXPECT_EQ(x->ordering, nullptr);
        ASSERT_EQ(zt_delXconfByTokenID(conn_.get(), c.id), 0);
        for (const char *attr : {"ztScreenDimRows", "ztScreenOrdering", "ztScreenX11Options"})
            EXPECT_EQ(vals(c.id, "rawTokens", attr), Strings{}) << attr;
        EXPECT_EQ(vals(c.id, "rawTokens", "objectClass"), Strings{"ztRawToken"});
    }

    // Unreadable or invalid configurations are refused.
    put_raw("card.bad", {{"objectClass", "ztXconfig"}, {"ztScreenX11Options", "screenEnableXKB=maybe"}});
    read("card.bad", ADMIN_ERR_NOT_FOUND);
    read("user.", ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_delXconfByTokenID(conn_.get(), "abc"), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_addXconf(conn_.get(), xconfig_for(".x", "1x1", "yes").get(), 0), ADMIN_ERR_INVALID_ARGS);
}

}  // namespace
}  // namespace zt::test
