// SPDX-License-Identifier: GPL-3.0-or-later
// Whole users against the sandbox: the composite add, edit and delete beyond the command's common paths
// (cli_users_test), what a failed step leaves behind, and the status file's say over the status fields; iterators
// and desktop reads: sorted walks, the logged-in selection, kinds that do not match, and the status files overriding
// what the directory says of users and desktops.
#include <ctime>

#include "admin_records.h"
#include "records_fixture.h"

namespace zt::test {
namespace {

class UserRecords : public RecordsTest {
protected:
    // Adds a whole user for `raw` on server srv, port 7007; its ID, or empty.
    std::string add_whole_user(const std::string &raw, const std::string &name, const char *other = nullptr) {
        CString id(add_simple_user2(conn_.get(), raw.c_str(), "srv", 7007, name.c_str(), other));
        return id ? std::string(id.get()) : std::string();
    }
    void store_status(const char *id, int status, const char *desktop, int created, int last) {
        DbmUser r{chars(id), chars("n"), created, status, chars(desktop), last};
        ASSERT_EQ(0, add_dbm_user(conn_.get(), &r));
    }
};

TEST_F(UserRecords, NameOfAHundredCharactersAndNoMoreAndNoRawTokenTwice) {
    EXPECT_EQ(vals("user." + add_whole_user("card.n100", std::string(100, 'x')), "logicalTokens", "ztSessionType"),
              Strings{"default"});
    log_->clear();
    std::string name(101, 'x');
    EXPECT_TRUE(add_whole_user("card.n101", name).empty());
    EXPECT_FALSE(on_primary("card.n101", "rawTokens"));
    EXPECT_EQ(user_log(), (Strings{"add_simple_user2(): Entered User Name is [" + name + "]",
                                   "add_simple_user2(): User Name should be less than 100 characters in length"}));

    // A raw token that a logical token on the primary lists is not taken again.
    put_raw("card.taken");
    put_logical("user.lt", {"card.taken"});
    log_->clear();
    EXPECT_TRUE(add_whole_user("card.taken", "Taken").empty());
    EXPECT_EQ(log_->count_prefix("add_simple_user2(): there is already a logical token for raw"), 1);
    EXPECT_EQ(vals("user.lt", "logicalTokens", "ztRawTokenIDs"), Strings{"card.taken"});
    EXPECT_TRUE(user_log().empty());
}

// The user ID is the time and four digits of random(), left unseeded: two runs in one second draw the same candidate.
// Drawing the numbers here predicts the IDs, so the first can be taken (a retry) and the logical token of the second
// made to exist (the add fails after the raw token).
TEST_F(UserRecords, TakenIdIsRetriedAndAFailedStepLeavesWhatWasWritten) {
    unsigned seed = static_cast<unsigned>(getpid()) * 7919u;
    srandom(seed);
    long first = random(), second = random(), now = static_cast<long>(std::time(nullptr));
    for (long t = now; t < now + 3; ++t) {
        put_user(user_id_candidate(t, first), "Taken", {});
        put_logical("user." + user_id_candidate(t, second), {});
    }
    srandom(seed);
    set_gdebug("a");
    EXPECT_TRUE(add_whole_user("card.left", "Left Over").empty());
    set_gdebug("");
    EXPECT_EQ(log_->count_prefix("(a) RETRY"), 1) << log_->all();
    EXPECT_TRUE(on_primary("card.left", "rawTokens"));
    EXPECT_EQ(user_log(), Strings{"Adding logical token for user (Left Over) failed."});
}

// An orphan raw token (no logical token lists it) is reused and its X configuration, if any, moves to the new logical
// token, which the move looks for on the replica: repeated to give replication lag a chance.
TEST_F(UserRecords, OrphanRawTokenIsReusedWithItsXConfigurationAndCallersRecordsAreLinked) {
    for (int round = 0; round < 4; ++round) {
        std::string raw = "card.orphan" + std::to_string(round);
        bool configured = round < 3;
        put_raw(raw);
        if (configured) {
            ASSERT_EQ(zt_addXconf(conn_.get(), xconfig_for(raw.c_str(), "1280x1024", "yes").get(), 0), 0);
            await_same(raw, "rawTokens", "ztScreenResolution");
        }
        std::string id = add_whole_user(raw, "Orphan Owner");
        ASSERT_FALSE(id.empty()) << log_->all();
        std::string lt = "user." + id;
        EXPECT_EQ(vals(lt, "logicalTokens", "ztRawTokenIDs"), Strings{raw});
        EXPECT_EQ(vals(lt, "logicalTokens", "ztScreenResolution"), configured ? Strings{"1280x1024"} : Strings{});
    }

    // add_simple_user3 links the caller's records.
    std::unique_ptr<RawToken, Freer<free_raw_token>> rt(allocate_raw_token());
    std::unique_ptr<LogicalToken, Freer<free_logical_token>> lt(allocate_logical_token());
    UserPtr user(allocate_user());
    rt->id = strdup("card.three");
    CString id(add_simple_user3(conn_.get(), rt.get(), lt.get(), user.get()));
    ASSERT_TRUE(id);
    std::string lt_id = "user." + std::string(id.get());
    EXPECT_STREQ(user->id, id.get());
    EXPECT_EQ(vals(lt_id, "logicalTokens", "ztRawTokenIDs"), Strings{"card.three"});
    EXPECT_EQ(vals(id.get(), "users", "ztLogicalTokenIDs"), Strings{lt_id});
    EXPECT_NE(vals(id.get(), "users", "ztFirstTime"), Strings{"0"});  // set at creation
}

TEST_F(UserRecords, EditWritesOnlyWhatChangedAndComparesUntrimmed) {
    std::string id = add_whole_user("card.edit", "Edit Me", "info"), lt = "user." + id;
    ASSERT_FALSE(id.empty());
    struct Step { const char *server; int port; const char *other; int result; bool user_written;
                  Strings server_after, other_after; } steps[] = {
        {"srv", 7007, "info", ADMIN_ERR_NO_CHANGE, false, {"srv"}, {"info"}},
        {"srv", 7010, "info", 0, false, {"srv"}, {"info"}},
        {"srv", 7010, "  more\t", 0, true, {"srv"}, {"more"}},
        {"srv", 7010, "  more\t", 0, true, {"srv"}, {"more"}},  // untrimmed differs again
        {"   ", 7010, "more", 0, false, {}, {"more"}},           // blank server: removed
        {"   ", 7010, nullptr, 0, true, {}, {}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(&s - steps);
        // The edit reads the replica: let the earlier steps reach it.
        for (const char *attr : {"ztServerName", "ztServerPort"}) await_same(lt, "logicalTokens", attr);
        await_same(id, "users", "ztOtherInfo");
        log_->clear();
        EXPECT_EQ(edit_simple_user(conn_.get(), "card.edit", s.server, s.port, "Edit Me", s.other), s.result);
        EXPECT_EQ(log_->has("user : User properties for (Edit Me) modified."), s.user_written);
        EXPECT_EQ(vals(lt, "logicalTokens", "ztServerName"), s.server_after);
        EXPECT_EQ(vals(lt, "logicalTokens", "ztServerPort"), Strings{std::to_string(s.port)});
        EXPECT_EQ(vals(id, "users", "ztOtherInfo"), s.other_after);
    }
}

// A value the directory would refuse stops the add or edit before its first
// write; the corrected retry then finds nothing in its way.
TEST_F(UserRecords, ValuesTheDirectoryWouldRefuseWriteNothing) {
    auto entries = [&] { return primary_->values(root_, "entryDN", LDAP_SCOPE_SUBTREE).size(); };
    const struct { const char *server, *name; } refused[] = {
        {"other", "Bad \xff Name"}, {"other", "Overlong \xc0\x80"}, {"other", "Surrogate \xed\xa0\x80"},
        {"other", "Cut \xe6\x97"}, {"other", ""}, {"oth\xc3\xa9r", "Fine Name"}};
    for (const auto &r : refused) {
        std::string raw = "card.bad" + std::to_string(&r - refused);
        size_t before = entries();
        CString id(add_simple_user2(conn_.get(), raw.c_str(), r.server, 7007, r.name, nullptr));
        EXPECT_FALSE(id) << r.name;
        EXPECT_EQ(entries(), before) << r.name;
        EXPECT_FALSE(add_whole_user(raw, "Fixed Name").empty()) << r.name;
    }
    log_->clear();
    EXPECT_TRUE(add_whole_user("card.bad", "Bad \xff Name").empty());
    EXPECT_EQ(user_log(), Strings{"Adding user (Bad \xff Name) to datastore failed."});
    std::string utf8 = "Jos\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80";
    std::string id = add_whole_user("card.good", utf8);
    EXPECT_EQ(vals(id, "users", "ztName"), Strings{utf8});

    // An edit whose new name is refused does not change the session settings either.
    for (const auto &r : refused) {
        EXPECT_EQ(edit_simple_user(conn_.get(), "card.good", r.server, 7010, r.name, nullptr), -1) << r.name;
        EXPECT_EQ(vals("user." + id, "logicalTokens", "ztServerPort"), Strings{"7007"}) << r.name;
    }
    EXPECT_EQ(edit_simple_user(conn_.get(), "card.good", "other", 7010, "Fixed Name", nullptr), 0);
}

TEST_F(UserRecords, DeleteRemovesWhateverOwnsTheToken) {
    for (const char *id : {"card.1", "card.2", "card.3", "card.4"}) put_raw(id);
    put_logical("user.u1", {"card.1", "card.2"});
    put_user("u1", "Doomed", {"user.u1"});
    store_status("u1", 2, "", 1, 2);
    EXPECT_EQ(delete_simple_user(conn_.get(), "card.2"), 0);
    for (auto [id, container] : {std::pair{"u1", "users"}, {"user.u1", "logicalTokens"}, {"card.1", "rawTokens"},
                                 {"card.2", "rawTokens"}})
        EXPECT_FALSE(on_primary(id, container)) << id;
    EXPECT_EQ(dbm_user_exists(conn_->ustatus_db, "u1"), 0);
    EXPECT_TRUE(log_->has("user : Successfully deleted user for token id 'card.2'."));

    // A logical token without a user goes with its raw tokens; a bare raw token alone.
    put_logical("user.lone", {"card.3"});
    EXPECT_EQ(delete_simple_user(conn_.get(), "card.3"), 0);
    EXPECT_EQ(delete_simple_user(conn_.get(), "card.4"), 0);
    EXPECT_FALSE(on_primary("user.lone", "logicalTokens") || on_primary("card.3", "rawTokens") ||
                 on_primary("card.4", "rawTokens"));
    // Nothing at all: not found, and not a word in the administration log.
    log_->clear();
    EXPECT_EQ(delete_simple_user(conn_.get(), "card.none"), ADMIN_ERR_NOT_FOUND);
    EXPECT_TRUE(user_log().empty());

    // Without a status record the user still goes.
    put_user("u2", "No Status", {});
    EXPECT_EQ(delete_user(conn_.get(), "u2"), 0);
    EXPECT_FALSE(on_primary("u2", "users"));
}

using Iterator = RecordsTest;

TEST_F(Iterator, SortsNeverStartsOverAndKeepsToItsKind) {
    for (const char *id : {"c.3", "a.1", "B.2", "D.0"}) put_raw(id);
    IteratorPtr it = start(ITERATOR_RAW_TOKENS);
    EXPECT_EQ(num_iterator_entries(it.get()), 4);
    EXPECT_EQ(ids(it.get(), get_next_raw_token, free_raw_token), (Strings{"a.1", "B.2", "c.3", "D.0"}));
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    IteratorPtr empty = start(ITERATOR_LOGICAL_TOKENS);
    EXPECT_EQ(num_iterator_entries(empty.get()), 0);
    EXPECT_EQ(get_next_logical_token(conn_.get(), empty.get()), nullptr);

    // The logged-in kind ignores the filter; a wrong kind leaves the position.
    put_user("in1", "Ann", {}, {{"ztStatus", "1"}});
    put_user("out", "Ann", {}, {{"ztStatus", "2"}});
    put_user("never", "Ann", {});
    put_user("in2", "Bob", {}, {{"ztStatus", "1"}});
    log_->clear();
    it = start(ITERATOR_LOGGED_IN_USERS, "(ztName=Ann)");
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(log_->lines(), Strings{"get_next_raw_token(): wrong iterator type"});
    EXPECT_EQ(ids(it.get(), get_next_user, free_user), (Strings{"in1", "in2"}));
}

// The status files are the authority for the status fields however a user is read (by ID, by raw token, in a walk),
// and for what a desktop reports of itself.
TEST_F(UserRecords, StatusFilesOverrideUsersAndDesktops) {
    put_logical("user.u1", {"card.u1"});
    put_user("u1", "Ann", {"user.u1"}, {{"ztStatus", "2"}, {"ztLastDesktop", "dir.desk"}, {"ztFirstTime", "7"}});
    put_user("m1", "With", {},
             {{"ztStatus", "2"}, {"ztFirstTime", "7"}, {"ztLastDesktop", "d.1"}, {"ztLastTime", "8"}});
    UserPtr plain(get_user(conn_.get(), "u1"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(std::make_tuple(plain->create_time, plain->status), std::make_tuple(7, 2));
    EXPECT_STREQ(plain->last_desktop, "dir.desk");

    store_status("u1", 1, "ab.12", 100, 200);
    DbmUser record{chars("m1"), chars("With"), 100, 1, chars(""), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);
    IteratorPtr users = start(ITERATOR_USERS);  // m1 comes first
    const std::pair<UserPtr, const char *> merged[] = {{UserPtr(get_user(conn_.get(), "u1")), "ab.12"},
                                                      {UserPtr(raw_token_id_to_user(conn_.get(), "card.u1")), "ab.12"},
                                                      {UserPtr(get_next_user(conn_.get(), users.get())), ""}};
    for (const auto &[u, desktop] : merged) {
        ASSERT_TRUE(u);
        EXPECT_EQ(std::make_tuple(u->create_time, u->status, u->last_time), std::make_tuple(100, 1, 200));
        EXPECT_STREQ(u->last_desktop, desktop);
    }
    // A new name writes the user whole, the merged status fields included.
    ASSERT_EQ(edit_simple_user(conn_.get(), "card.u1", nullptr, 0, "Renamed", nullptr), 0);
    for (auto [attr, value] : {std::pair{"ztName", "Renamed"}, {"ztStatus", "1"}, {"ztLastDesktop", "ab.12"},
                               {"ztLastTime", "200"}, {"ztFirstTime", "100"}})
        EXPECT_EQ(vals("u1", "users", attr), Strings{value}) << attr;

    Attrs seen = {{"ztModel", "dir-model"}, {"ztLocation", "Room 4"}, {"ztDtuTypeGroups", "MULTIHEAD:g1"},
                  {"ztDtuTypeGroups", "MULTIHEAD:g2"}};
    put("0a0000000001", "desktops", "ztDesktop", seen);
    put("0a0000000002", "desktops", "ztDesktop", seen);
    DbmDesktop observed{chars("0a0000000001"), chars("P9"), nullptr, chars("Up"), chars("1100"), chars("1000")};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &observed), 0);
    IteratorPtr desktops = start(ITERATOR_DESKTOPS);
    DesktopPtr walked(get_next_desktop(conn_.get(), desktops.get()));
    DesktopPtr bare(get_next_desktop(conn_.get(), desktops.get()));
    DesktopPtr read(get_desktop(conn_.get(), "0A0000000001"));
    ASSERT_TRUE(walked && bare && read);
    for (const Desktop *d : {walked.get(), read.get()}) {
        EXPECT_EQ(Strings({d->model, d->firmware_rev, d->status, d->first_conn_time, d->location}),
                  (Strings{"P9", "", "Up", "1000", "Room 4"}));
        ASSERT_NE(d->dtugroup, nullptr);
        EXPECT_EQ(Strings(d->dtugroup, d->dtugroup + 2), (Strings{"MULTIHEAD:g1", "MULTIHEAD:g2"}));
    }
    EXPECT_STREQ(bare->model, "dir-model");
    Desktop *none = nullptr;
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Room 4", &none), ADMIN_ERR_NOT_FOUND);  // two match
}

}  // namespace
}  // namespace zt::test
