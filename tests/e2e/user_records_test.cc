// User operations and the composite add, edit and delete of a whole user,
// against the sandbox directory (configured server = the replica) and a
// status file of the test's own.
#include "records_fixture.h"

namespace zt::test {
namespace {

using UserPtr = std::unique_ptr<User, decltype(&free_user)>;
using LogicalTokenPtr = std::unique_ptr<LogicalToken, decltype(&free_logical_token)>;

class UserRecordsTest : public RecordsTest {
protected:
    // Adds a whole user for `raw` and returns its ID (empty on failure).
    std::string add_whole_user(const std::string &raw, const std::string &name, const char *other = nullptr,
                               const char *server = "srv", int port = 7007) {
        CString id(add_simple_user2(conn_, raw.c_str(), server, port, name.c_str(), other));
        return id ? std::string(id.get()) : std::string();
    }
    void store_status(const std::string &id, int status, const char *desktop, int created, int last) {
        DbmUser record{const_cast<char *>(id.c_str()), const_cast<char *>("n"), created, status,
                       const_cast<char *>(desktop), last};
        ASSERT_EQ(0, add_dbm_user(conn_, &record));
    }
    bool dbm_has(const std::string &id) { return dbm_user_exists(conn_->ustatus_db, id.c_str()) == 1; }
};

TEST_F(UserRecordsTest, AddSimpleUserCreatesThreeLinkedEntries) {
    std::string raw = uid("card"), name = "Jane Doe " + unique_name("n");
    long before = static_cast<long>(std::time(nullptr));
    std::string id = add_whole_user(raw, name, "desk 4");
    ASSERT_FALSE(id.empty()) << log_->all();
    std::string lt = "user." + id;

    EXPECT_EQ((Strings{"objectclass", "ztenabled", "ztid", "zttokenstate", "zttokentype"}), types(kRaw, raw));
    EXPECT_EQ("user", value(kRaw, raw, "ztTokenType"));
    EXPECT_EQ("unknown", value(kRaw, raw, "ztTokenState"));
    EXPECT_EQ("allowed", value(kRaw, raw, "ztEnabled"));

    EXPECT_EQ((Strings{"objectclass", "ztid", "ztrawtokenids", "ztservername", "ztserverport", "ztsessiontype"}),
              types(kLogical, lt));
    EXPECT_EQ("default", value(kLogical, lt, "ztSessionType"));
    EXPECT_EQ("srv", value(kLogical, lt, "ztServerName"));
    EXPECT_EQ("7007", value(kLogical, lt, "ztServerPort"));
    EXPECT_EQ((Strings{raw}), values(kLogical, lt, "ztRawTokenIDs"));

    // The status is not written at creation.
    EXPECT_EQ((Strings{"objectclass", "ztfirsttime", "ztid", "ztlogicaltokenids", "ztname", "ztotherinfo"}),
              types(kUsers, id));
    EXPECT_EQ(name, value(kUsers, id, "ztName"));
    EXPECT_EQ("desk 4", value(kUsers, id, "ztOtherInfo"));
    EXPECT_GE(std::atol(value(kUsers, id, "ztFirstTime").c_str()), before);
    EXPECT_EQ((Strings{lt}), values(kUsers, id, "ztLogicalTokenIDs"));

    // The add returns once the configured server has the user.
    EXPECT_EQ(1, user_exists(conn_, id.c_str()));
    EXPECT_EQ((Strings{"User (" + name + ") successfully added."}), user_log());
    EXPECT_FALSE(dbm_has(id));
}

TEST_F(UserRecordsTest, NameLengthLimitIsOneHundredCharacters) {
    struct Case {
        size_t length;
        bool accepted;
    } cases[] = {{100, true}, {101, false}};
    for (const Case &c : cases) {
        log_->clear();
        std::string raw = uid("card");
        std::string name = unique_name("n");
        name += std::string(c.length - name.size(), 'x');
        std::string id = add_whole_user(raw, name);
        EXPECT_EQ(c.accepted, !id.empty()) << c.length;
        EXPECT_EQ(c.accepted, on_primary(kRaw, raw)) << c.length;
        if (!c.accepted) {
            EXPECT_EQ((Strings{"add_simple_user2(): Entered User Name is [" + name + "]",
                               "add_simple_user2(): User Name should be less than 100 characters in length"}),
                      user_log());
        }
    }
}

TEST_F(UserRecordsTest, RawTokenListedOnThePrimaryIsNotTakenAgain) {
    std::string raw = uid("card"), lt = uid("user");
    make_raw(raw);
    make_logical(lt, {raw});
    EXPECT_TRUE(add_whole_user(raw, "Taken").empty());
    EXPECT_NE(std::string::npos,
              log_->all().find(" add_simple_user2(): there is already a logical token for raw\ntoken " + raw +
                               " on the primary datastore.  The local datastore may be\nout of sync with the "
                               "primary.  Please inform your administrator.\n"))
        << log_->all();
    EXPECT_EQ((Strings{raw}), values(kLogical, lt, "ztRawTokenIDs"));
    EXPECT_TRUE(user_log().empty());
}

// The user ID is the time and four digits of random(): drawing the same
// number here predicts it, so the logical token it will ask for can be made
// to exist already, and the add fails after writing the raw token.
TEST_F(UserRecordsTest, FailedLogicalTokenStepLeavesTheRawTokenBehind) {
    unsigned seed = static_cast<unsigned>(getpid()) * 7919u;
    srandom(seed);
    std::string digits = std::to_string(random());
    digits = digits.substr(digits.size() > 4 ? digits.size() - 4 : 0);
    long now = static_cast<long>(std::time(nullptr));
    for (long t : {now, now + 1}) make_logical("user." + std::to_string(t) + "-" + digits, {});
    srandom(seed);

    std::string raw = uid("card");
    log_->clear();
    EXPECT_TRUE(add_whole_user(raw, "Left Over").empty());
    EXPECT_TRUE(on_primary(kRaw, raw));
    EXPECT_EQ((Strings{"Adding logical token for user (Left Over) failed."}), user_log());
    EXPECT_TRUE(log_->count_prefix("add_simple_user2(): Could not add logical token for user Left Over.") == 1)
        << log_->all();
}

TEST_F(UserRecordsTest, TakenCandidateIdIsRetriedWithTheNextRandomNumber) {
    unsigned seed = static_cast<unsigned>(getpid()) * 104729u;
    srandom(seed);
    std::string digits = std::to_string(random());
    digits = digits.substr(digits.size() > 4 ? digits.size() - 4 : 0);
    long now = static_cast<long>(std::time(nullptr));
    Strings taken;
    for (long t : {now, now + 1}) {
        taken.push_back(std::to_string(t) + "-" + digits);
        make_user(taken.back(), "Taken", {});
    }
    srandom(seed);
    set_gdebug("a");
    CString id(gen_unique_user_id(conn_));
    set_gdebug("");
    ASSERT_TRUE(id);
    EXPECT_NE(taken[0], id.get());
    EXPECT_NE(taken[1], id.get());
    EXPECT_EQ(1, log_->count_prefix("(a) RETRY"));
    EXPECT_EQ(0, user_exists(conn_, id.get()));
}

// An orphan raw token (no logical token lists it) is reused, and its X
// configuration moves to the new logical token. The move checks on the
// configured server that the logical token just written exists there, so it
// is repeated to give replication lag a chance to show.
TEST_F(UserRecordsTest, OrphanRawTokenIsReusedWithItsXConfiguration) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        std::string raw = uid("card");
        std::unique_ptr<Xconfig, decltype(&zt_freeXconf)> x(allocate_xconfig(), zt_freeXconf);
        x->token_id = strdup(raw.c_str());
        x->resolution = strdup("1280x1024");
        x->refresh = 75;
        x->enable_xkb = strdup("yes");
        ASSERT_EQ(0, zt_addXconf(conn_, x.get(), 0));  // creates the raw token too
        ASSERT_TRUE(on_primary(kRaw, raw));
        await_replica(kRaw, raw);
        ASSERT_TRUE(replica_->wait_exists(dn_of(kRaw, raw), true));
        // The configuration must be readable there before the add looks for it.
        for (int i = 0; i < 500 && replica_->values(dn_of(kRaw, raw), "ztScreenResolution").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));

        log_->clear();
        std::string id = add_whole_user(raw, "Orphan Owner");
        ASSERT_FALSE(id.empty()) << log_->all();
        std::string lt = "user." + id;
        EXPECT_EQ((Strings{raw}), values(kLogical, lt, "ztRawTokenIDs"));
        EXPECT_EQ("1280x1024", value(kLogical, lt, "ztScreenResolution"));
        EXPECT_EQ("75", value(kLogical, lt, "ztScreenRefresh"));
        EXPECT_EQ((Strings{"ztLogicalToken", "ztXconfig"}), values(kLogical, lt, "objectClass"));
        EXPECT_EQ(0, log_->count_prefix("add_simple_user2(): failed to promote")) << log_->all();
    }
}

TEST_F(UserRecordsTest, OrphanRawTokenWithoutXConfigurationIsReusedAsItIs) {
    std::string raw = uid("card");
    make_raw(raw);
    std::string id = add_whole_user(raw, "Plain Orphan");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ((Strings{"objectclass", "ztid"}), types(kRaw, raw));  // not re-created
    EXPECT_EQ((Strings{"ztLogicalToken"}), values(kLogical, "user." + id, "objectClass"));
}

TEST_F(UserRecordsTest, EditSimpleUserWritesOnlyWhatChanged) {
    std::string raw = uid("card"), name = "Edit Me";
    std::string id = add_whole_user(raw, name, "info");
    ASSERT_FALSE(id.empty());
    std::string lt = "user." + id;
    const std::string modified = "User properties for (" + name + ") modified.";

    struct Step {
        const char *what;
        const char *server;
        int port;
        const char *other;
        int result;
        bool user_written;
        const char *stored_server;
        const char *stored_port;
        const char *stored_other;
    } steps[] = {
        {"nothing new", "srv", 7007, "info", ADMIN_ERR_NO_CHANGE, false, "srv", "7007", "info"},
        {"port only", "srv", 7010, "info", 0, false, "srv", "7010", "info"},
        {"padded other info, stored trimmed", "srv", 7010, "  more\t", 0, true, "srv", "7010", "more"},
        // Compared untrimmed with what is stored, the same text is a change again.
        {"same padded text", "srv", 7010, "  more\t", 0, true, "srv", "7010", "more"},
        {"blank server name removes it", "   ", 7010, "more", 0, false, "<absent>", "7010", "more"},
        {"no other info removes it", "   ", 7010, nullptr, 0, true, "<absent>", "7010", "<absent>"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        // The edit reads the replica: let the earlier steps reach it.
        for (const char *type : {"ztServerName", "ztServerPort"}) await_same(kLogical, lt, type);
        await_same(kUsers, id, "ztOtherInfo");
        log_->clear();
        EXPECT_EQ(s.result, edit_simple_user(conn_, raw.c_str(), s.server, s.port, name.c_str(), s.other));
        EXPECT_EQ(s.user_written, log_->has("user : " + modified)) << log_->all();
        EXPECT_EQ(s.stored_server, value(kLogical, lt, "ztServerName"));
        EXPECT_EQ(s.stored_port, value(kLogical, lt, "ztServerPort"));
        EXPECT_EQ(s.stored_other, value(kUsers, id, "ztOtherInfo"));
    }
    EXPECT_EQ(-1, edit_simple_user(conn_, uid("card").c_str(), "srv", 1, "x", nullptr));
    EXPECT_TRUE(log_->has("edit_simple_user(): Could not translate rt to lt."));
}

TEST_F(UserRecordsTest, StatusRecordIsTheAuthorityForStatusFields) {
    std::string raw = uid("card"), name = "Status Holder";
    std::string id = add_whole_user(raw, name);
    ASSERT_FALSE(id.empty());

    UserPtr plain(get_user(conn_, id.c_str()), free_user);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(0, plain->status);
    EXPECT_EQ(nullptr, plain->last_desktop);
    User *without_record = plain.get();
    EXPECT_EQ(-1, fill_user_status(conn_, &without_record));
    EXPECT_TRUE(log_->has("fill_user_status(): Could not find equivalent dbm user with user_id (" + id + ")"));

    store_status(id, 1, "IEEE802.080020f0e1d2", 100, 200);
    UserPtr merged(get_user(conn_, id.c_str()), free_user);
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(1, merged->status);
    EXPECT_EQ(100, merged->create_time);
    EXPECT_EQ(200, merged->last_time);
    EXPECT_STREQ("IEEE802.080020f0e1d2", merged->last_desktop);
    EXPECT_STREQ(name.c_str(), merged->name);

    // An edit of the name writes the user whole, status fields included.
    ASSERT_EQ(0, edit_simple_user(conn_, raw.c_str(), "srv", 7007, "Renamed", nullptr));
    EXPECT_EQ("Renamed", value(kUsers, id, "ztName"));
    EXPECT_EQ("1", value(kUsers, id, "ztStatus"));
    EXPECT_EQ("IEEE802.080020f0e1d2", value(kUsers, id, "ztLastDesktop"));
    EXPECT_EQ("200", value(kUsers, id, "ztLastTime"));
    EXPECT_EQ("100", value(kUsers, id, "ztFirstTime"));
}

TEST_F(UserRecordsTest, AddUserSetsTheCreationTimeInTheCallersRecord) {
    std::string name = "Timed " + unique_name("n");
    User user{};
    user.name = name.data();
    long before = static_cast<long>(std::time(nullptr));
    CString id(add_user(conn_, &user, 1));
    ASSERT_TRUE(id);
    EXPECT_GE(user.create_time, before);
    EXPECT_EQ(std::to_string(user.create_time), value(kUsers, id.get(), "ztFirstTime"));
    EXPECT_EQ((Strings{"objectclass", "ztfirsttime", "ztid", "ztname"}), types(kUsers, id.get()));

    user.create_time = 12345;
    std::string fixed = unique_name("fixed");
    user.id = fixed.data();
    CString same(add_user(conn_, &user, 0));
    ASSERT_TRUE(same);
    EXPECT_EQ(fixed, same.get());
    EXPECT_EQ("12345", value(kUsers, fixed, "ztFirstTime"));
    EXPECT_EQ(nullptr, add_user(conn_, &user, 0));  // exists already
    EXPECT_TRUE(log_->has("add_user(): Could not add user"));
}

TEST_F(UserRecordsTest, AddSimpleUser3FillsInTheCallersRecords) {
    RawToken *rt = allocate_raw_token();
    LogicalToken *lt = allocate_logical_token();
    User *user = allocate_user();
    std::string raw = uid("card");
    rt->id = strdup(raw.c_str());
    rt->enabled = strdup("denied");
    lt->session_type = strdup("kiosk");
    lt->raw_token_ids = static_cast<char **>(calloc(2, sizeof(char *)));
    lt->raw_token_ids[0] = strdup("card.ignored");
    user->name = strdup("Three");
    CString id(add_simple_user3(conn_, rt, lt, user));
    ASSERT_TRUE(id);
    std::string lt_id = "user." + std::string(id.get());
    EXPECT_STREQ(lt_id.c_str(), lt->id);
    EXPECT_STREQ(id.get(), user->id);
    EXPECT_EQ("denied", value(kRaw, raw, "ztEnabled"));
    EXPECT_EQ("kiosk", value(kLogical, lt_id, "ztSessionType"));
    EXPECT_EQ((Strings{raw}), values(kLogical, lt_id, "ztRawTokenIDs"));
    EXPECT_EQ((Strings{lt_id}), values(kUsers, id.get(), "ztLogicalTokenIDs"));
    free_raw_token(rt);
    free_logical_token(lt);
    free_user(user);
}

TEST_F(UserRecordsTest, DeleteSimpleUserRemovesWhateverOwnsTheToken) {
    // A whole user with a second token and a status record.
    std::string raw = uid("card"), second = uid("card");
    std::string id = add_whole_user(raw, "Doomed");
    ASSERT_FALSE(id.empty());
    std::string lt = "user." + id;
    RawToken extra{};
    extra.id = second.data();
    ASSERT_EQ(0, add_raw_token_to_logical_token(conn_, lt.c_str(), &extra));
    store_status(id, 2, "", 1, 2);
    await_replica(kRaw, second);
    await_same(kLogical, lt, "ztRawTokenIDs");

    log_->clear();
    EXPECT_EQ(0, delete_simple_user(conn_, raw.c_str()));
    EXPECT_FALSE(on_primary(kUsers, id));
    EXPECT_FALSE(on_primary(kLogical, lt));
    EXPECT_FALSE(on_primary(kRaw, raw));
    EXPECT_FALSE(on_primary(kRaw, second));
    EXPECT_FALSE(dbm_has(id));
    ASSERT_FALSE(user_log().empty());
    EXPECT_EQ("Successfully deleted user for token id '" + raw + "'.", user_log().back());

    // A logical token without a user goes with its raw tokens.
    std::string lone_lt = uid("user"), lone_raw = uid("card");
    make_raw(lone_raw);
    make_logical(lone_lt, {lone_raw});
    EXPECT_EQ(0, delete_simple_user(conn_, lone_raw.c_str()));
    EXPECT_FALSE(on_primary(kLogical, lone_lt));
    EXPECT_FALSE(on_primary(kRaw, lone_raw));

    // A bare raw token goes alone.
    std::string bare = uid("card");
    make_raw(bare);
    EXPECT_EQ(0, delete_simple_user(conn_, bare.c_str()));
    EXPECT_FALSE(on_primary(kRaw, bare));

    // Nothing at all: not found, and not a word in the administration log.
    log_->clear();
    EXPECT_EQ(ADMIN_ERR_NOT_FOUND, delete_simple_user(conn_, uid("card").c_str()));
    EXPECT_TRUE(user_log().empty());
}

TEST_F(UserRecordsTest, DeleteUserWithoutStatusRecordStillSucceeds) {
    std::string raw = uid("card");
    std::string id = add_whole_user(raw, "No Status");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(0, delete_user(conn_, id.c_str()));
    EXPECT_FALSE(on_primary(kUsers, id));
    EXPECT_FALSE(on_primary(kRaw, raw));
    // The status record is asked for even so, and its absence does not count.
    EXPECT_TRUE(log_->has("delete_dbm_user(): Could not get dbm_user (" + id + ")")) << log_->all();
    EXPECT_EQ(-1, delete_user(conn_, unique_name("nobody").c_str()));
}

TEST_F(UserRecordsTest, LogicalTokenIdsAreCollectedByExactName) {
    std::string name = "Twin " + unique_name("n");
    std::string u1 = unique_name("u"), u2 = unique_name("u"), u3 = unique_name("u");
    make_user(u1, name, {"user.a1", "user.a2"});
    make_user(u2, name, {"user.b1"});
    make_user(u3, name + "x", {"user.c1"});
    char **ids = nullptr;
    ASSERT_EQ(0, zt_getLtokenByUser(conn_, name.c_str(), &ids));
    Strings got;
    for (char **p = ids; p != nullptr && *p != nullptr; ++p) got.push_back(*p);
    zt_free_array(ids);
    std::sort(got.begin(), got.end());
    EXPECT_EQ((Strings{"user.a1", "user.a2", "user.b1"}), got);

    char *sentinel[] = {nullptr};
    ids = sentinel;  // must be reset
    EXPECT_EQ(ADMIN_ERR_NOT_FOUND, zt_getLtokenByUser(conn_, (name.substr(0, 6) + "*").c_str(), &ids));
    EXPECT_EQ(nullptr, ids);
    std::string bare = unique_name("u");
    make_user(bare, "Bare " + bare, {});
    EXPECT_EQ(ADMIN_ERR_NOT_FOUND, zt_getLtokenByUser(conn_, ("Bare " + bare).c_str(), &ids));
}

}  // namespace
}  // namespace zt::test
