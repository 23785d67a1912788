// Raw-token and logical-token operations against the sandbox directory,
// with the configured server a replica: what lands on the primary, the
// links between the containers, the log lines, and what a failure leaves.
#include "records_fixture.h"

namespace zt::test {
namespace {

struct RawTokenPtr {
    RawToken *p;
    ~RawTokenPtr() { free_raw_token(p); }
};

TEST_F(RecordsTest, AddRawTokenWritesOnlyPresentValuesAndRefusesAnExistingId) {
    std::string bare = uid("card"), full = uid("card");
    RawToken rt{};
    rt.id = bare.data();
    ASSERT_EQ(0, add_raw_token(conn_, &rt));
    EXPECT_EQ((Strings{"objectclass", "ztid"}), types(kRaw, bare));

    std::string secret = "s3", type = "user", state = "unknown", enabled = "allowed";
    RawToken rich{full.data(), secret.data(), type.data(), state.data(), enabled.data(), nullptr, nullptr};
    ASSERT_EQ(0, add_raw_token(conn_, &rich));
    EXPECT_EQ((Strings{"objectclass", "ztenabled", "ztid", "ztsecret", "zttokenstate", "zttokentype"}),
              types(kRaw, full));

    await_replica(kRaw, bare);
    log_->clear();
    EXPECT_EQ(-1, add_raw_token(conn_, &rt));
    EXPECT_TRUE(log_->has("add_raw_token(): raw token (" + bare + ") already exists")) << log_->all();

    RawTokenPtr read{get_raw_token(conn_, bare.c_str())};
    ASSERT_NE(nullptr, read.p);
    EXPECT_EQ(bare, read.p->id);
    EXPECT_EQ(nullptr, read.p->token_type);
    EXPECT_EQ(1, raw_token_exists(conn_, bare.c_str()));
    EXPECT_EQ(0, raw_token_exists(conn_, uid("card").c_str()));
}

TEST_F(RecordsTest, FilterMetacharactersInIdsMatchOnlyThemselves) {
    std::string stem = uid("esc");
    make_raw(stem + "x");
    // Unescaped, "stem*" would match the entry above and "(" would break the filter.
    EXPECT_EQ(0, raw_token_exists(conn_, (stem + "*").c_str()));
    EXPECT_EQ(nullptr, get_raw_token(conn_, (stem + "*").c_str()));
    EXPECT_EQ(0, raw_token_exists(conn_, (stem + "(").c_str()));
    EXPECT_EQ(ADMIN_ERR_NOT_FOUND, _zt_rawTokenExists(conn_, (stem + "*").c_str(), 0));
    EXPECT_EQ(ADMIN_ERR_NOT_FOUND, _zt_logicalTokenExists(conn_, nullptr, (stem + "*").c_str(), 1));
    make_raw(stem + "(1)");
    EXPECT_EQ(1, raw_token_exists(conn_, (stem + "(1)").c_str()));
}

TEST_F(RecordsTest, ModifyRawTokenReplacesValuesAndRemovesAbsentOnes) {
    std::string id = uid("card");
    std::string secret = "s", type = "user", state = "unknown", enabled = "allowed";
    RawToken rt{id.data(), secret.data(), type.data(), state.data(), enabled.data(), nullptr, nullptr};
    ASSERT_EQ(0, add_raw_token(conn_, &rt));
    await_replica(kRaw, id);

    RawTokenPtr read{get_raw_token(conn_, id.c_str())};
    ASSERT_NE(nullptr, read.p);
    std::free(read.p->enabled);
    read.p->enabled = strdup("denied");
    std::free(read.p->secret);
    read.p->secret = nullptr;
    ASSERT_EQ(0, modify_raw_token(conn_, read.p));
    EXPECT_EQ("denied", value(kRaw, id, "ztEnabled"));
    EXPECT_EQ("<absent>", value(kRaw, id, "ztSecret"));
    EXPECT_EQ("user", value(kRaw, id, "ztTokenType"));

    std::string missing = uid("card");
    RawToken ghost{missing.data(), nullptr, nullptr, nullptr, enabled.data(), nullptr, nullptr};
    EXPECT_EQ(-1, modify_raw_token(conn_, &ghost));
    EXPECT_EQ((Strings{"Successfully modified user entry.", "Error modifying user entry."}), user_log());
}

TEST_F(RecordsTest, AddRawTokenToLogicalTokenChecksBothEndsThenLinks) {
    std::string lt = uid("user"), rt_id = uid("card");
    RawToken rt{};
    rt.id = rt_id.data();

    // No such logical token: two log lines, nothing written.
    EXPECT_EQ(-1, add_raw_token_to_logical_token(conn_, lt.c_str(), &rt));
    EXPECT_FALSE(on_primary(kRaw, rt_id));
    EXPECT_EQ((Strings{"Error adding user token id (" + rt_id + ").", "Logical token id (" + lt + ") does not exist."}),
              user_log());
    EXPECT_TRUE(log_->has("add_raw_token_to_logical_token(): logical token id (" + lt + ") doesn't exist"));

    make_logical(lt, {});
    log_->clear();
    ASSERT_EQ(0, add_raw_token_to_logical_token(conn_, lt.c_str(), &rt));
    EXPECT_TRUE(on_primary(kRaw, rt_id));
    EXPECT_EQ((Strings{rt_id}), values(kLogical, lt, "ztRawTokenIDs"));
    EXPECT_EQ((Strings{"User token (" + rt_id + ") successfully added."}), user_log());

    await_replica(kRaw, rt_id);
    log_->clear();
    EXPECT_EQ(-1, add_raw_token_to_logical_token(conn_, lt.c_str(), &rt));
    EXPECT_EQ((Strings{"Error adding user token id (" + rt_id + ").", "Token already exists."}), user_log());
    EXPECT_EQ((Strings{rt_id}), values(kLogical, lt, "ztRawTokenIDs"));
}

TEST_F(RecordsTest, DeleteRawTokenUnlinksItFromItsLogicalToken) {
    std::string lt = uid("user"), r1 = uid("card"), r2 = uid("card"), lone = uid("card");
    make_raw(r1);
    make_raw(r2);
    make_raw(lone);
    make_logical(lt, {r1, r2});

    EXPECT_EQ(0, delete_raw_token(conn_, r1.c_str()));
    EXPECT_FALSE(on_primary(kRaw, r1));
    EXPECT_EQ((Strings{r2}), values(kLogical, lt, "ztRawTokenIDs"));

    EXPECT_EQ(0, delete_raw_token(conn_, lone.c_str()));
    EXPECT_FALSE(on_primary(kRaw, lone));

    std::string ghost = uid("card");
    EXPECT_NE(0, delete_raw_token(conn_, ghost.c_str()));
    EXPECT_EQ((Strings{"Successfully deleted token id (" + r1 + ").", "Successfully deleted token id (" + lone + ").",
                       "Error deleting token (" + ghost + ")."}),
              user_log());
}

TEST_F(RecordsTest, ExistenceTestsAskTheServerTheyAreTold) {
    std::string rt = uid("card"), orphan = uid("card"), lt = uid("user");
    make_raw(rt);
    make_raw(orphan);
    make_logical(lt, {rt});
    for (int on_primary : {0, 1}) {
        EXPECT_EQ(0, _zt_rawTokenExists(conn_, rt.c_str(), on_primary));
        EXPECT_EQ(ADMIN_ERR_NOT_FOUND, _zt_rawTokenExists(conn_, uid("card").c_str(), on_primary));
        EXPECT_EQ(0, _zt_logicalTokenExists(conn_, nullptr, rt.c_str(), on_primary));
        EXPECT_EQ(0, _zt_logicalTokenExists(conn_, lt.c_str(), rt.c_str(), on_primary));
        EXPECT_EQ(ADMIN_ERR_NOT_FOUND, _zt_logicalTokenExists(conn_, lt.c_str(), orphan.c_str(), on_primary));
        EXPECT_EQ(ADMIN_ERR_NOT_FOUND, _zt_logicalTokenExists(conn_, nullptr, orphan.c_str(), on_primary));
    }
    EXPECT_EQ(1, logical_token_exists(conn_, lt.c_str()));
    EXPECT_EQ(0, logical_token_exists(conn_, uid("user").c_str()));
    EXPECT_EQ(1, zt_raw_and_logical_tokens_exist(conn_, rt.c_str()));
    EXPECT_EQ(0, zt_raw_and_logical_tokens_exist(conn_, orphan.c_str()));
    EXPECT_EQ(0, zt_raw_and_logical_tokens_exist(conn_, uid("card").c_str()));

}

TEST_F(RecordsTest, AddLogicalTokenToUserNeedsTheUserAndAFreeId) {
    std::string user = unique_name("u"), lt_id = uid("user");
    std::string server = "srv";
    LogicalToken lt{};
    lt.id = lt_id.data();
    lt.server_name = server.data();
    lt.server_port = 7007;
    char *raw[] = {const_cast<char *>("card.never-written"), nullptr};
    lt.raw_token_ids = raw;

    EXPECT_EQ(-1, add_logical_token_to_user(conn_, user.c_str(), &lt));
    EXPECT_FALSE(on_primary(kLogical, lt_id));
    EXPECT_TRUE(log_->has("add_logical_token_to_user(): user (" + user + ") doesn't exist"));

    make_user(user, "Ann", {});
    ASSERT_EQ(0, add_logical_token_to_user(conn_, user.c_str(), &lt));
    EXPECT_EQ((Strings{"objectclass", "ztid", "ztservername", "ztserverport"}), types(kLogical, lt_id));
    EXPECT_EQ((Strings{lt_id}), values(kUsers, user, "ztLogicalTokenIDs"));

    await_replica(kLogical, lt_id);
    log_->clear();
    EXPECT_EQ(-1, add_logical_token_to_user(conn_, user.c_str(), &lt));
    EXPECT_TRUE(log_->has("add_logical_token_to_user(): logical token (" + lt_id + ") already exists"));
    EXPECT_EQ((Strings{lt_id}), values(kUsers, user, "ztLogicalTokenIDs"));
}

TEST_F(RecordsTest, AddLogicalTokenFailsOnAnExistingEntryAndModifyRemovesAbsentValues) {
    std::string lt_id = uid("user"), r = uid("card");
    ASSERT_EQ(0, add_simple_logical_token(conn_, r.c_str(), lt_id.c_str()));
    EXPECT_EQ((Strings{"objectclass", "ztid"}), types(kRaw, r));
    EXPECT_EQ((Strings{"objectclass", "ztid", "ztrawtokenids", "ztserverport"}), types(kLogical, lt_id));
    EXPECT_EQ("0", value(kLogical, lt_id, "ztServerPort"));

    LogicalToken again{};
    again.id = lt_id.data();
    EXPECT_EQ(-1, add_logical_token(conn_, &again));
    EXPECT_TRUE(log_->has("add_logical_token(): Could not add logical token"));

    await_replica(kLogical, lt_id);
    std::unique_ptr<LogicalToken, decltype(&free_logical_token)> lt(get_logical_token(conn_, lt_id.c_str()),
                                                                     free_logical_token);
    ASSERT_NE(nullptr, lt);
    ASSERT_NE(nullptr, lt->raw_token_ids);
    EXPECT_EQ(r, lt->raw_token_ids[0]);
    EXPECT_EQ(nullptr, lt->raw_token_ids[1]);
    lt->server_name = strdup("host.example");
    lt->server_port = 7010;
    ASSERT_EQ(0, modify_logical_token(conn_, lt.get()));
    EXPECT_EQ("host.example", value(kLogical, lt_id, "ztServerName"));
    std::free(lt->server_name);
    lt->server_name = nullptr;
    ASSERT_EQ(0, modify_logical_token(conn_, lt.get()));
    EXPECT_EQ("<absent>", value(kLogical, lt_id, "ztServerName"));
    EXPECT_EQ("7010", value(kLogical, lt_id, "ztServerPort"));
    EXPECT_EQ((Strings{r}), values(kLogical, lt_id, "ztRawTokenIDs"));
}

TEST_F(RecordsTest, DeleteLogicalTokenUnlinksItAndDeletesItsRawTokens) {
    std::string user = unique_name("u"), lt = uid("user"), other = uid("user");
    std::string r1 = uid("card"), r2 = uid("card"), gone = uid("card");
    make_raw(r1);
    make_raw(r2);
    make_logical(lt, {r1, gone, r2});  // `gone` names no entry: skipped
    make_logical(other, {});
    make_user(user, "Bo", {lt, other});

    ASSERT_EQ(0, delete_logical_token(conn_, lt.c_str()));
    EXPECT_FALSE(on_primary(kLogical, lt));
    EXPECT_FALSE(on_primary(kRaw, r1));
    EXPECT_FALSE(on_primary(kRaw, r2));
    EXPECT_EQ((Strings{other}), values(kUsers, user, "ztLogicalTokenIDs"));

    // Without a user the unlink is skipped.
    std::string lone = uid("user"), r3 = uid("card");
    make_raw(r3);
    make_logical(lone, {r3});
    ASSERT_EQ(0, delete_logical_token(conn_, lone.c_str()));
    EXPECT_FALSE(on_primary(kLogical, lone));
    EXPECT_FALSE(on_primary(kRaw, r3));

    EXPECT_EQ(-1, delete_logical_token(conn_, uid("user").c_str()));
}

// The link step fails for real when the ID is already listed (the directory
// refuses a value twice); the entry written before it stays.
TEST_F(RecordsTest, FailedLinkLeavesTheNewEntryInPlace) {
    std::string lt = uid("user"), raw = uid("card");
    make_logical(lt, {raw});  // lists a raw token that has no entry yet
    RawToken rt{};
    rt.id = raw.data();
    EXPECT_EQ(-1, add_raw_token_to_logical_token(conn_, lt.c_str(), &rt));
    EXPECT_TRUE(on_primary(kRaw, raw));
    EXPECT_EQ((Strings{"Error adding user token (" + raw + ").", "Could not modify user in ldap."}), user_log());
    EXPECT_TRUE(log_->has("add_raw_token_to_logical_token(): Could not modify user"));

    std::string user = unique_name("u"), second = uid("user");
    make_user(user, "Cy", {second});
    LogicalToken token{};
    token.id = second.data();
    EXPECT_EQ(-1, add_logical_token_to_user(conn_, user.c_str(), &token));
    EXPECT_TRUE(on_primary(kLogical, second));
    EXPECT_TRUE(log_->has("add_logical_token_to_user(): Could not modify user"));
}

}  // namespace
}  // namespace zt::test
