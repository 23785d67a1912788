// Upward translations against the sandbox: single answers that refuse
// ambiguity, the array forms that list every owner, the status merge,
// counting a user's tokens, IDs that look like patterns, and whether a
// logical token is fixed to a terminal.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class Translation : public SubtreeTest {};

TEST_F(Translation, FollowsTheLinksUpwardAndMergesTheStatusRecord) {
    put_logical("user.u1", {"card.0", "card.1"}, {{"ztServerPort", "7007"}});
    put_user("u1", "Ann", {"user.u1"}, {{"ztStatus", "2"}, {"ztLastDesktop", "dir.desk"}});
    put_logical("user.u2", {"card.2"});
    put_user("u2", "Bob", {"user.u2"}, {{"ztStatus", "2"}, {"ztLastDesktop", "dir.desk"}});
    DbmUser record{const_cast<char *>("u2"), const_cast<char *>("Bob"), 100, 1, const_cast<char *>("ab.12"), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);

    EXPECT_STREQ(Text(raw_token_id_to_logical_token_id(conn_.get(), "CARD.1")).get(), "user.u1");
    EXPECT_STREQ(Text(raw_token_id_to_user_id(conn_.get(), "card.1")).get(), "u1");
    LogicalTokenPtr lt(raw_token_id_to_logical_token(conn_.get(), "card.1"));
    ASSERT_TRUE(lt);
    EXPECT_EQ(lt->server_port, 7007);
    UserPtr plain(raw_token_id_to_user(conn_.get(), "card.1"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 2);
    EXPECT_STREQ(plain->last_desktop, "dir.desk");
    UserPtr merged(raw_token_id_to_user(conn_.get(), "card.2"));
    ASSERT_TRUE(merged);
    EXPECT_EQ(std::make_tuple(merged->create_time, merged->status, merged->last_time), std::make_tuple(100, 1, 200));
    EXPECT_STREQ(merged->last_desktop, "ab.12");
    EXPECT_EQ(raw_token_id_to_user(conn_.get(), "card.9"), nullptr);
}

TEST_F(Translation, SharedRawTokenHasNoSingleOwnerButEveryOwnerInTheArrays) {
    put_logical("user.a", {"card.shared"});
    put_logical("user.b", {"card.other", "card.shared"});
    put_logical("user.orphan", {"card.shared", "card.o"});
    put_user("a", "A", {"user.a"});
    put_user("b", "B", {"user.b"});

    EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), "card.shared"), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token(conn_.get(), "card.shared"), nullptr);
    char **ids = nullptr;
    ASSERT_EQ(_zt_getLidByRid(conn_.get(), "card.shared", &ids), ADMIN_SUCCESS);
    EXPECT_EQ(take_sorted(ids), (std::vector<std::string>{"user.a", "user.b", "user.orphan"}));
    ASSERT_EQ(_zt_getUidByRid(conn_.get(), "card.shared", &ids), ADMIN_SUCCESS);
    EXPECT_EQ(take_sorted(ids), (std::vector<std::string>{"a", "b"}));

    EXPECT_EQ(_zt_getUidByRid(conn_.get(), "card.o", &ids), ADMIN_ERR_NOT_FOUND);  // no user
    EXPECT_EQ(_zt_getLidByRid(conn_.get(), "card.none", &ids), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(ids, nullptr);
}

TEST_F(Translation, PatternCharactersInIdsMatchOnlyThemselves) {
    put_logical("user.s", {"card.star"});
    put_user("s", "S", {"user.s"});
    char **ids = nullptr;
    for (const char *pattern : {"card.*", "*", "card.star)(ztID=*"}) {
        EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), pattern), nullptr) << pattern;
        EXPECT_EQ(_zt_getLidByRid(conn_.get(), pattern, &ids), ADMIN_ERR_NOT_FOUND) << pattern;
    }
    EXPECT_EQ(logical_token_id_to_user_id(conn_.get(), "user.*"), nullptr);
}

TEST_F(Translation, CountsTheRawTokensOfEveryLogicalToken) {
    put_logical("user.c1", {"card.c1", "card.c2", "card.c3"});
    put_logical("user.c2", {});
    put_user("c", "C", {"user.c1", "user.c2"});
    put_user("broken", "E", {"user.c1", "user.missing"});
    put_user("none", "F", {});
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "c"), 3);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "none"), 0);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "broken"), -1);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "nobody"), -1);
}


TEST_F(Translation, LogicalTokensAreFixedWhenTheirFirstRawTokenIs) {
    put_logical("user.kiosk", {"pseudo.0800aa", "card.1"});
    put_logical("user.person", {"card.2", "pseudo.0800bb"});
    put_logical("user.empty", {});
    struct Case {
        const char *id;
        int fixed, personal;
    } cases[] = {
        {"USER.kiosk", 1, 0},   {"user.person", 0, 1},   {"user.empty", 0, 1}, {"user.missing", 0, 1},
        {"TerminalId.abc", 1, 0}, {"card.1", 0, 1},      {"pseudo", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zt_isFixedToken(conn_.get(), c.id), c.fixed) << c.id;
        EXPECT_EQ(zt_isPersonalToken(conn_.get(), c.id), c.personal) << c.id;
    }
    EXPECT_EQ(zt_isFixedToken(nullptr, "user.kiosk"), 0);  // no connection: not fixed
}

}  // namespace
}  // namespace zt::test
