// SPDX-License-Identifier: GPL-3.0-or-later
// Raw and logical tokens against the sandbox: links checked before they are made, what a failed step leaves, deletes
// that unlink and cascade, the upward translations, IDs that look like filter patterns, and the pseudo-token filter.
#include "records_fixture.h"

namespace zt::test {
namespace {

class TokenRecords : public RecordsTest {};

TEST_F(TokenRecords, RawTokenIsAddedUnderALogicalTokenOnlyWhenBothEndsAreRight) {
    RawToken rt{};
    rt.id = chars("card.new");
    EXPECT_EQ(add_raw_token_to_logical_token(conn_.get(), "user.lt", &rt), -1);
    EXPECT_FALSE(on_primary("card.new", "rawTokens"));
    EXPECT_EQ(user_log(),
              (Strings{"Error adding user token id (card.new).", "Logical token id (user.lt) does not exist."}));

    put_logical("user.lt", {});
    log_->clear();
    ASSERT_EQ(add_raw_token_to_logical_token(conn_.get(), "user.lt", &rt), 0);
    EXPECT_EQ(vals("user.lt", "logicalTokens", "ztRawTokenIDs"), Strings{"card.new"});
    EXPECT_EQ(user_log(), Strings{"User token (card.new) successfully added."});

    ASSERT_TRUE(replica_->wait_exists(dn("card.new", "rawTokens"), true));
    log_->clear();
    EXPECT_EQ(add_raw_token_to_logical_token(conn_.get(), "user.lt", &rt), -1);
    EXPECT_EQ(modify_raw_token(conn_.get(), &rt), 0);
    rt.id = chars("card.none");
    EXPECT_EQ(modify_raw_token(conn_.get(), &rt), -1);
    EXPECT_EQ(user_log(), (Strings{"Error adding user token id (card.new).", "Token already exists.",
                                   "Successfully modified user entry.", "Error modifying user entry."})) << log_->all();
}

// The link step fails for real when the ID is already listed (the directory
// refuses a value twice); the entry written before it stays.
TEST_F(TokenRecords, FailedLinkLeavesTheNewEntryInPlace) {
    put_logical("user.lt", {"card.listed"});  // lists a raw token that has no entry yet
    RawToken rt{};
    rt.id = chars("card.listed");
    EXPECT_EQ(add_raw_token_to_logical_token(conn_.get(), "user.lt", &rt), -1);
    EXPECT_TRUE(on_primary("card.listed", "rawTokens"));
    EXPECT_EQ(user_log(), (Strings{"Error adding user token (card.listed).", "Could not modify user in ldap."}));

    LogicalToken lt{};
    lt.id = chars("user.second");
    EXPECT_EQ(add_logical_token_to_user(conn_.get(), "u1", &lt), -1);  // no such user: nothing written
    EXPECT_FALSE(on_primary("user.second", "logicalTokens"));
    put_user("u1", "Cy", {"user.second"});
    EXPECT_EQ(add_logical_token_to_user(conn_.get(), "u1", &lt), -1);
    EXPECT_TRUE(on_primary("user.second", "logicalTokens"));
}

TEST_F(TokenRecords, DeletesUnlinkFromTheOwnerAndCascadeDownward) {
    for (const char *id : {"card.1", "card.2", "card.3", "card.4"}) put_raw(id);
    put_logical("user.a", {"card.1", "card.gone", "card.2"});
    put_logical("user.b", {"card.3"});
    put_user("u", "Bo", {"user.a", "user.b"});
    EXPECT_EQ(zt_raw_and_logical_tokens_exist(conn_.get(), "card.1"), 1);
    EXPECT_EQ(zt_raw_and_logical_tokens_exist(conn_.get(), "card.4"), 0);  // an orphan

    EXPECT_EQ(delete_raw_token(conn_.get(), "card.3"), 0);
    EXPECT_EQ(vals("user.b", "logicalTokens", "ztRawTokenIDs"), Strings{});
    EXPECT_EQ(delete_raw_token(conn_.get(), "card.4"), 0);  // listed nowhere
    EXPECT_NE(delete_raw_token(conn_.get(), "card.none"), 0);
    EXPECT_EQ(user_log(), (Strings{"Successfully deleted token id (card.3).", "Successfully deleted token id (card.4).",
                                   "Error deleting token (card.none)."}));

    log_->clear();
    ASSERT_EQ(delete_logical_token(conn_.get(), "user.a"), 0);
    EXPECT_FALSE(on_primary("user.a", "logicalTokens") || on_primary("card.2", "rawTokens"));
    EXPECT_EQ(user_log().size(), 2u) << "card.gone has no entry: not to be tried";
    EXPECT_EQ(vals("u", "users", "ztLogicalTokenIDs"), Strings{"user.b"});
    EXPECT_EQ(delete_logical_token(conn_.get(), "user.none"), -1);
}

TEST_F(TokenRecords, SharedRawTokensAndFixedLogicalTokens) {
    put_logical("user.a", {"card.shared"});
    put_logical("user.b", {"card.other", "card.shared"});
    put_logical("user.orphan", {"card.shared", "card.o"});
    put_user("a", "A", {"user.a"});
    put_user("b", "B", {"user.b"});
    EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), "card.shared"), nullptr);
    EXPECT_STREQ(CString(raw_token_id_to_user_id(conn_.get(), "CARD.OTHER")).get(), "b");
    char **ids = nullptr;
    ASSERT_EQ(_zt_getLidByRid(conn_.get(), "card.shared", &ids), 0);
    EXPECT_EQ(take_sorted(ids), (Strings{"user.a", "user.b", "user.orphan"}));
    ASSERT_EQ(_zt_getUidByRid(conn_.get(), "card.shared", &ids), 0);
    EXPECT_EQ(take_sorted(ids), (Strings{"a", "b"}));
    EXPECT_EQ(_zt_getUidByRid(conn_.get(), "card.o", &ids), ADMIN_ERR_NOT_FOUND);  // no user
    EXPECT_EQ(_zt_getLidByRid(conn_.get(), "card.none", &ids), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(ids, nullptr);

    // Logical tokens are fixed when their first raw token is.
    put_logical("user.kiosk", {"pseudo.0800aa", "card.1"});
    put_logical("user.person", {"card.2", "pseudo.0800bb"});
    for (auto [id, fixed] : {std::pair{"USER.kiosk", 1}, {"user.person", 0}, {"user.missing", 0}, {"card.1", 0}}) {
        EXPECT_EQ(zt_isFixedToken(conn_.get(), id), fixed) << id;
        EXPECT_EQ(zt_isPersonalToken(conn_.get(), id), 1 - fixed) << id;
    }
}

// Every lookup by ID escapes it: a '*' or a parenthesis neither widens the search nor breaks the filter.
TEST_F(TokenRecords, PatternCharactersInIdsMatchOnlyThemselves) {
    for (const char *id : {"card.star", "card.(1)"}) put_raw(id);
    put_logical("user.s", {"card.star"});
    put_user("s", "S", {"user.s"});
    put_user("t", "S", {"user.t1", "user.t2"});
    put("0a0000000001", "desktops", "ztDesktop", {});
    char **ids = nullptr;
    for (const char *pattern : {"card.*", "*", "card.star)(ztID=*", "card.s*"}) {
        SCOPED_TRACE(pattern);
        EXPECT_EQ(raw_token_exists(conn_.get(), pattern), 0);
        EXPECT_EQ(get_raw_token(conn_.get(), pattern), nullptr);
        EXPECT_EQ(_zt_rawTokenExists(conn_.get(), pattern, 1), ADMIN_ERR_NOT_FOUND);
        EXPECT_EQ(_zt_logicalTokenExists(conn_.get(), nullptr, pattern, 1), ADMIN_ERR_NOT_FOUND);
        EXPECT_EQ(raw_token_id_to_logical_token_id(conn_.get(), pattern), nullptr);
        EXPECT_EQ(_zt_getLidByRid(conn_.get(), pattern, &ids), ADMIN_ERR_NOT_FOUND);
    }
    EXPECT_EQ(raw_token_exists(conn_.get(), "card.(1)"), 1);
    EXPECT_EQ(logical_token_id_to_user_id(conn_.get(), "user.*"), nullptr);
    EXPECT_EQ(get_user(conn_.get(), "*"), nullptr);
    EXPECT_EQ(zt_getLtokenByUser(conn_.get(), "*", &ids), ADMIN_ERR_NOT_FOUND);
    ASSERT_EQ(zt_getLtokenByUser(conn_.get(), "S", &ids), 0);  // every user of that name
    EXPECT_EQ(take_sorted(ids), (Strings{"user.s", "user.t1", "user.t2"}));
    EXPECT_EQ(get_desktop(conn_.get(), "0a00000000*"), nullptr);
    EXPECT_EQ(desktop_exists(conn_.get(), "*"), 0);
}

// A DN is built with its values escaped: an ID holding DN syntax names one entry directly in its container (none nests
// below another's), which is then read, listed, given an X configuration and deleted by that ID.
TEST_F(TokenRecords, DnSyntaxInIdsNamesEntriesOfTheirOwn) {
    put_raw("card.1001");
    put_logical("user.victim", {"card.1001"});
    put_user("victim", "Victim", {"user.victim"});
    for (const std::string id : {"a,ztID=card.1001", "card.1+ztTokenType=x", "#card.=\"2\"", "card.<3>;\\"}) {
        SCOPED_TRACE(id);
        CString user_id(add_simple_user2(conn_.get(), id.c_str(), "srv", 7007, "Hostile", nullptr));
        ASSERT_TRUE(user_id) << log_->all();
        EXPECT_EQ(misplaced(), Strings{});
        EXPECT_TRUE(primary_->exists("ztID=" + zt::dn_escape(id) + ",ztName=rawTokens," + root_));
        await_same("user." + std::string(user_id.get()), "logicalTokens", "ztRawTokenIDs");
        std::unique_ptr<RawToken, Freer<free_raw_token>> rt(get_raw_token(conn_.get(), id.c_str()));
        EXPECT_EQ(rt ? std::string(rt->id) : "", id);
        EXPECT_STREQ(CString(raw_token_id_to_user_id(conn_.get(), id.c_str())).get(), user_id.get());
        XconfigPtr x = xconfig_for(id.c_str(), "1024x768", "yes");
        ASSERT_EQ(zt_addXconf(conn_.get(), x.get(), 0), 0);
        Xconfig *found = nullptr;
        eventually([&] { return zt_getXconfByTokenID(conn_.get(), id.c_str(), &found) == 0; });
        EXPECT_STREQ(found ? found->resolution : nullptr, "1024x768");
        zt_freeXconf(found);
        Strings listed = ids(start(ITERATOR_RAW_TOKENS).get(), get_next_raw_token, free_raw_token);
        EXPECT_EQ(std::count(listed.begin(), listed.end(), id), 1);
        EXPECT_EQ(delete_simple_user(conn_.get(), id.c_str()), 0);
        EXPECT_FALSE(on_primary(user_id.get(), "users"));
        EXPECT_TRUE(on_primary("card.1001", "rawTokens"));
    }
    // Users and logical tokens named so themselves.
    LogicalToken lt{};
    lt.id = chars("user.x,ztID=user.victim");
    ASSERT_EQ(add_logical_token(conn_.get(), &lt), 0);
    User user{};
    user.id = chars("u,ztID=victim");
    user.name = chars("Hostile");
    CString added(add_user(conn_.get(), &user, 0));
    ASSERT_TRUE(added);
    EXPECT_EQ(misplaced(), Strings{});
    ASSERT_TRUE(replica_->wait_exists("ztID=" + zt::dn_escape(user.id) + ",ztName=users," + root_, true));
    UserPtr read(get_user(conn_.get(), user.id));
    EXPECT_STREQ(read ? read->id : nullptr, user.id);
    EXPECT_EQ(delete_user(conn_.get(), user.id), 0);
    EXPECT_EQ(delete_logical_token(conn_.get(), lt.id), 0);
    EXPECT_EQ(all_dns().size(), 8u) << "the victim stays whole";
}

// Under a policy that admits registered pseudo tokens only, a login whose pseudo token has a raw-token entry stays
// visible and one without is hidden.
TEST_F(TokenRecords, PseudoFilterShowsRegisteredPseudoTokensOnly) {
    tree_->dir().link_program("ztpolicy", "opt/KRVXzt/sbin/ztpolicy");
    tree_->dir().write("etc/opt/KRVXzt/policy", "-r both\n");
    ASSERT_EQ(pseudo_allowed(), ZT_PSEUDO_REGISTERED_ONLY);
    put_raw("pseudo.0200aa");

    CurrentEntry *logins = nullptr;
    add_to_linked_list(&logins, "0200bb", "pseudo.0200bb", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "0200aa", "pseudo.0200aa", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "0200cc", "card.1", 2, "srv", nullptr, 0);
    for (auto [mode, expected] : std::vector<std::pair<int, Strings>>{
             {1, {"0200aa pseudo.0200aa srv", "0200bb ??? srv", "0200cc card.1 srv"}},
             {2, {"0200cc card.1 srv", "0200aa pseudo.0200aa srv"}}}) {
        CurrentEntry *shown = filter_pseudo_entries(conn_.get(), logins, mode);
        EXPECT_EQ(zt::test::logins(shown), expected) << "mode " << mode;
        free_linked_list(&shown);
    }
    free_linked_list(&logins);
}

// The existence check on the primary keeps the status files its connection opened for the next check; a file
// removed, or rewritten in place, since then is opened again, and the check fails as it always did.
TEST_F(TokenRecords, PrimaryCheckOpensChangedStatusFilesAgain) {
    auto recreate = [&](const std::string &db) {
        for (const char *suffix : {".pag", ".dir"}) std::remove((tree_->dbm_path(db) + suffix).c_str());
        DBM *made = dbm_open(chars(tree_->dbm_path(db).c_str()), O_RDWR | O_CREAT, 0644);
        ASSERT_NE(made, nullptr);
        dbm_close(made);
    };
    auto blank = [](const std::string &file) {  // the same file and size, no longer a database
        std::string zeros(std::filesystem::file_size(file), '\0');
        FILE *f = std::fopen(file.c_str(), "r+");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(zeros.data(), 1, zeros.size(), f), zeros.size());
        std::fclose(f);
    };
    struct Case { const char *db, *file; std::function<void(const std::string &)> change; } cases[] = {
        {"ustatus", ".pag", [](const std::string &f) { std::remove(f.c_str()); }},
        {"ustatus", ".pag", blank},
        {"dstatus", ".pag", blank},
        {"dstatus", ".dir", blank},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.db) + c.file);
        recreate(c.db);
        usleep(50000);  // older than the clock tick of the open below: its files can be told unchanged later
        ASSERT_EQ(_zt_rawTokenExists(conn_.get(), "card.none", 1), ADMIN_ERR_NOT_FOUND);
        ASSERT_EQ(_zt_rawTokenExists(conn_.get(), "card.none", 1), ADMIN_ERR_NOT_FOUND);
        log_->clear();
        c.change(tree_->dbm_path(c.db) + c.file);
        EXPECT_EQ(_zt_rawTokenExists(conn_.get(), "card.none", 1), ADMIN_ERR_INTERNAL);
        EXPECT_TRUE(log_->has("open_connection(): Could not open " + std::string(c.db) + " DB at (" +
                              tree_->dbm_path(c.db) + ")")) << log_->all();
        recreate(c.db);
        EXPECT_EQ(_zt_rawTokenExists(conn_.get(), "card.none", 1), ADMIN_ERR_NOT_FOUND);
    }
}

}  // namespace
}  // namespace zt::test
