// Upward translations against the sandbox: raw token to logical token to
// user, single answers that refuse ambiguity, the array forms that list
// every owner, counting a user's tokens, and IDs that look like patterns.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class Translation : public SubtreeTest {};

TEST_F(Translation, FollowsTheLinksUpward) {
    put_raw("card.1");
    put_logical("user.u1", {"card.0", "card.1"}, {{"ztServerName", "srv"}, {"ztServerPort", "7007"}});
    put_user("u1", "Ann", {"user.u1"}, {{"ztStatus", "2"}, {"ztLastDesktop", "dir.desk"}});

    EXPECT_STREQ(Text(raw_token_id_to_logical_token_id(conn_.get(), "card.1")).get(), "user.u1");
    EXPECT_STREQ(Text(raw_token_id_to_logical_token_id(conn_.get(), "CARD.1")).get(), "user.u1");
    EXPECT_STREQ(Text(logical_token_id_to_user_id(conn_.get(), "user.u1")).get(), "u1");
    EXPECT_STREQ(Text(raw_token_id_to_user_id(conn_.get(), "card.1")).get(), "u1");

    LogicalTokenPtr lt(raw_token_id_to_logical_token(conn_.get(), "card.1"));
    ASSERT_TRUE(lt);
    EXPECT_STREQ(lt->server_name, "srv");
    EXPECT_EQ(lt->server_port, 7007);

    UserPtr user(raw_token_id_to_user(conn_.get(), "card.1"));
    ASSERT_TRUE(user);
    EXPECT_STREQ(user->name, "Ann");
    EXPECT_EQ(user->status, 2);  // no status record: the directory's values stay
    EXPECT_STREQ(user->last_desktop, "dir.desk");

    for (const char *unknown : {"card.9", "card.1x", ""}) {
        EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), unknown), nullptr) << unknown;
        EXPECT_EQ(raw_token_id_to_user(conn_.get(), unknown), nullptr) << unknown;
    }
}

TEST_F(Translation, UserRecordTakesItsStatusFromTheStatusDatabase) {
    put_logical("user.u2", {"card.2"});
    put_user("u2", "Bob", {"user.u2"},
             {{"ztStatus", "2"}, {"ztFirstTime", "5"}, {"ztLastTime", "6"}, {"ztLastDesktop", "dir.desk"}});
    DbmUser record{const_cast<char *>("u2"), const_cast<char *>("Bob"), 100, 1, const_cast<char *>("ab.12"), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);

    UserPtr user(logical_token_id_to_user(conn_.get(), "user.u2"));
    ASSERT_TRUE(user);
    EXPECT_EQ(user->status, 1);
    EXPECT_EQ(user->create_time, 100);
    EXPECT_EQ(user->last_time, 200);
    EXPECT_STREQ(user->last_desktop, "ab.12");
}

TEST_F(Translation, ARawTokenListedTwiceHasNoSingleOwnerButTwoInTheArrays) {
    put_logical("user.a", {"card.shared"});
    put_logical("user.b", {"card.other", "card.shared"});
    put_user("a", "A", {"user.a"});
    put_user("b", "B", {"user.b"});

    EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), "card.shared"), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token(conn_.get(), "card.shared"), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(conn_.get(), "card.shared"), nullptr);

    char **ids = nullptr;
    ASSERT_EQ(_zt_getLidByRid(conn_.get(), "card.shared", &ids), ADMIN_SUCCESS);
    EXPECT_EQ(take_sorted(ids), (std::vector<std::string>{"user.a", "user.b"}));
    ASSERT_EQ(_zt_getUidByRid(conn_.get(), "card.shared", &ids), ADMIN_SUCCESS);
    EXPECT_EQ(take_sorted(ids), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Translation, ArrayFormsTellMissingOwnersApart) {
    put_logical("user.orphan", {"card.o"});
    put_logical("user.owned", {"card.p"});
    put_logical("user.alone", {"card.p"});
    put_user("owned", "O", {"user.owned"});

    char **ids = reinterpret_cast<char **>(conn_.get());
    EXPECT_EQ(_zt_getLidByRid(conn_.get(), "card.none", &ids), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(_zt_getUidByRid(conn_.get(), "card.none", &ids), ADMIN_ERR_NOT_FOUND);
    // A logical token without a user: the raw token has no owner.
    EXPECT_EQ(_zt_getUidByRid(conn_.get(), "card.o", &ids), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(ids, nullptr);
    // Of two logical tokens only one has a user: that one is listed.
    ASSERT_EQ(_zt_getUidByRid(conn_.get(), "card.p", &ids), ADMIN_SUCCESS);
    EXPECT_EQ(take_sorted(ids), (std::vector<std::string>{"owned"}));
}

TEST_F(Translation, PatternCharactersInIdsMatchOnlyThemselves) {
    put_logical("user.s", {"card.star"});
    put_user("s", "S", {"user.s"});
    char **ids = nullptr;
    for (const char *pattern : {"card.*", "*", "card.st*", "card.star)(ztID=*"}) {
        EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), pattern), nullptr) << pattern;
        EXPECT_EQ(_zt_getLidByRid(conn_.get(), pattern, &ids), ADMIN_ERR_NOT_FOUND) << pattern;
    }
    EXPECT_EQ(logical_token_id_to_user_id(conn_.get(), "user.*"), nullptr);
}

TEST_F(Translation, CountsTheRawTokensOfEveryLogicalToken) {
    put_logical("user.c1", {"card.c1", "card.c2", "card.c3"});
    put_logical("user.c2", {});
    put_logical("user.c3", {"card.c4"});
    put_user("c", "C", {"user.c1", "user.c2", "user.c3"});
    put_user("single", "D", {"user.c1"});
    put_user("broken", "E", {"user.c1", "user.missing"});
    put_user("none", "F", {});

    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "c"), 4);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "single"), 3);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "none"), 0);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "broken"), -1);
    EXPECT_EQ(count_user_raw_tokens(conn_.get(), "nobody"), -1);
}

}  // namespace
}  // namespace zt::test
