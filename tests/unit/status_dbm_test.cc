// SPDX-License-Identifier: GPL-3.0-or-later
// status_dbm_test.cc - the user and desktop status databases: stored bytes, insert versus replace, damaged values,
// ordering, and records written by another process while a handle is held.
#include <fcntl.h>
#include <sys/wait.h>

#include "test_support.h"

namespace {

using Map = std::map<std::string, std::string>;
const std::string RS = "\x1e";

// The fields joined as they are stored.
std::string joined(const std::vector<std::string> &fields) {
    std::string value;
    for (const auto &f : fields) value += f + RS;
    return value;
}

char *c(const char *s) { return const_cast<char *>(s); }
datum as_datum(const std::string &s) { return datum{c(s.data()), static_cast<int>(s.size())}; }

// Every record of a file, read behind the library's back.
Map raw_all(const std::string &path) {
    Map out;
    DBM *db = dbm_open(c(path.c_str()), O_RDONLY, 0);
    for (datum k = db ? dbm_firstkey(db) : datum{}; k.dptr != nullptr; k = dbm_nextkey(db)) {
        std::string key(k.dptr, k.dsize);
        datum v = dbm_fetch(db, as_datum(key));
        out[key] = std::string(v.dptr, v.dsize);
    }
    if (db != nullptr) dbm_close(db);
    return out;
}

// Stores `records` from a separate process with its own handle, as the login services do, and waits for it.
void store_as_another_writer(const std::string &path, const Map &records) {
    pid_t pid = fork();
    if (pid == 0) {
        DBM *db = dbm_open(c(path.c_str()), O_RDWR, 0);
        bool stored = db != nullptr;
        for (const auto &[k, v] : records) stored = stored && dbm_store(db, as_datum(k), as_datum(v), DBM_REPLACE) == 0;
        _exit(stored ? (dbm_close(db), 0) : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_EQ(status, 0);
}

DbmUser user(const char *id, const char *name, int created, int status, const char *desk, int last) {
    return DbmUser{c(id), c(name), created, status, c(desk), last};
}
DbmDesktop desktop(const char *id, const char *model, const char *fw, const char *st, const char *last,
                   const char *first) {
    return DbmDesktop{c(id), c(model), c(fw), c(st), c(last), c(first)};
}

// Records and lists as text ("(null)" for an absent field), freeing them.
std::string str(const char *s) { return s != nullptr ? s : "(null)"; }
std::string text(DbmUser *u) {
    if (u == nullptr) return "(none)";
    std::string t = str(u->id) + "|" + str(u->name) + "|" + std::to_string(u->create_time) + "|" +
                    std::to_string(u->status) + "|" + str(u->last_desktop) + "|" + std::to_string(u->last_time);
    free_dbm_user(u);
    return t;
}
std::string text(DbmDesktop *d) {
    if (d == nullptr) return "(none)";
    std::string t = str(d->id) + "|" + str(d->model) + "|" + str(d->firmware_rev) + "|" + str(d->status) + "|" +
                    str(d->last_status_time) + "|" + str(d->first_conn_time);
    free_dbm_desktop(d);
    return t;
}
std::string ids(UserList *list) {
    std::string out;
    for (UserList *n = list; n != nullptr; n = n->next) out += (out.empty() ? "" : ",") + str(n->user->id);
    free_UserList(&list);
    return out;
}
std::string ids(DesktopList *list) {
    std::string out;
    for (DesktopList *n = list; n != nullptr; n = n->next) out += (out.empty() ? "" : ",") + str(n->desktop->id);
    free_DesktopList(&list);
    return out;
}

// Two empty status files held the way the connect holds them, and a log.
class StatusDb : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto &p : {upath, dpath}) dbm_close(dbm_open(c(p.c_str()), O_RDWR | O_CREAT, 0664));
        conn.access_level = 3;
        conn.ustatus_dbfile = c(upath.c_str());
        conn.dstatus_dbfile = c(dpath.c_str());
        conn.ustatus_db = open_user_dbm(upath.c_str(), 3);
        conn.dstatus_db = open_desktop_dbm(dpath.c_str(), 3);
        ASSERT_TRUE(conn.ustatus_db && conn.dstatus_db);
    }
    void TearDown() override {
        close_user_dbm(conn.ustatus_db);
        close_desktop_dbm(conn.dstatus_db);
    }

    zt::test::TempDir dir;
    zt::test::LogFile log;
    std::string upath = dir.path() + "/ustatus", dpath = dir.path() + "/dstatus";
    AdminConfig conn{};
};

TEST_F(StatusDb, StoredBytesInsertAndReplace) {
    DbmUser ann = user("17", "Ann", 100, 1, "ab.12", 200), neg = user("18", "", -5, 2, "", -1),
            bo = user("19", "Bo", 0, 0, nullptr, 300), bob = user("17", "Bob", 5, 2, "", 6);
    ASSERT_EQ(add_dbm_user(&conn, &ann), 0);
    ASSERT_EQ(modify_ustatus(conn.ustatus_db, &neg), 0);
    ASSERT_EQ(add_dbm_user(&conn, &bo), 0);     // an absent last desktop is written empty
    EXPECT_EQ(add_dbm_user(&conn, &bob), -1);  // inserting refuses an existing record
    Map stored = {{"17", joined({"17", "Ann", "100", "1", "ab.12", "200"})},
                  {"18", joined({"18", "", "-5", "2", "", "-1"})},
                  {"19", joined({"19", "Bo", "0", "0", "", "300"})}};
    EXPECT_EQ(raw_all(upath), stored);
    ASSERT_EQ(modify_ustatus(conn.ustatus_db, &bob), 0);  // replacing does not
    stored["17"] = joined({"17", "Bob", "5", "2", "", "6"});
    EXPECT_EQ(raw_all(upath), stored);
    EXPECT_EQ(text(get_dbm_user(conn.ustatus_db, "19")), "19|Bo|0|0||300");

    DbmDesktop full = desktop("02000011223a", "IEEE802", "3.0", "Up", "1100", "1000"),
               sparse = desktop("02000011223b", nullptr, "3.1", nullptr, "7", nullptr),
               other = desktop("02000011223b", "m", "3.2", "Down", "8", "1");
    ASSERT_EQ(add_dbm_desktop(&conn, &full), 0);
    ASSERT_EQ(modify_dstatus(conn.dstatus_db, &sparse), 0);
    EXPECT_EQ(add_dbm_desktop(&conn, &other), -1);
    EXPECT_EQ(raw_all(dpath), (Map{{"02000011223a", joined({"02000011223a", "IEEE802", "3.0", "Up", "1100", "1000"})},
                                   {"02000011223b", joined({"02000011223b", "", "3.1", "", "7", ""})}}));
    EXPECT_EQ(text(get_dbm_desktop(conn.dstatus_db, "02000011223b")), "02000011223b||3.1||7|");
}

// A record that cannot be stored whole is refused and leaves the file alone.
TEST_F(StatusDb, RefusesRecordsThatCannotBeStoredWhole) {
    std::string fits(511 - (2 + 1 + 1 + 1 + 6), 'n');  // "u1", name, "1", "1", "", "1" and six separators
    std::string too_long = fits + "n";
    DbmUser ok = user("u1", fits.c_str(), 1, 1, "", 1);
    ASSERT_EQ(modify_ustatus(conn.ustatus_db, &ok), 0);
    DbmUser bad[] = {user("u2", too_long.c_str(), 1, 1, "", 1), user("u3", "a\x1e" "b", 1, 1, "", 1),
                     user("u4", nullptr, 1, 1, "", 1), user(nullptr, "x", 1, 1, "", 1), user("", "x", 1, 1, "", 1)};
    for (auto &u : bad) EXPECT_EQ(add_dbm_user(&conn, &u) + modify_ustatus(conn.ustatus_db, &u), -2) << str(u.id);
    DbmUser no_desktop = user("u5", "x", 1, 1, nullptr, 1);  // replacing needs it present
    EXPECT_EQ(modify_ustatus(conn.ustatus_db, &no_desktop), -1);
    EXPECT_EQ(raw_all(upath), (Map{{"u1", joined({"u1", fits, "1", "1", "", "1"})}}));  // 511 bytes

    std::string long_model(512, 'm');
    DbmDesktop bad_desks[] = {desktop("d1", long_model.c_str(), "", "", "", ""), desktop("d2", "a\x1e", "", "", "", ""),
                              desktop(nullptr, "m", "", "", "", "")};
    for (auto &d : bad_desks) EXPECT_EQ(add_dbm_desktop(&conn, &d) + modify_dstatus(conn.dstatus_db, &d), -2);
    EXPECT_TRUE(raw_all(dpath).empty());
}

// Each value is handed over in a buffer of exactly its size, so reading past its end shows up under AddressSanitizer.
TEST(StatusValueParse, DamagedValuesAreReadSafely) {
    const std::pair<std::string, const char *> cases[] = {
        {"", "(null)|(null)|0|0|(null)|0"},
        {"17" + RS + "Ann" + RS + "10", "17|Ann|0|0|(null)|0"},
        {joined({"a", "b", "1", "2", "d", "3", "x"}), "a|b|1|2|d|3"},
        {joined({"", "", "", "", "", ""}), "||0|0||0"},
        {joined({"a", "b", "1", "2", "d"}) + std::string(600, '9') + RS, "a|b|1|2|d|0"},  // sixth field past 512 bytes
        {joined({"a", "b", " 42abc", "-7", "", "x"}), "a|b|42|-7||0"},
        {joined({"a", "b", "99999999999", "-99999999999", "", "1"}), "a|b|2147483647|-2147483648||1"},
    };
    for (const auto &[value, expected] : cases) {
        std::vector<char> exact(value.begin(), value.end());
        datum d{exact.empty() ? nullptr : exact.data(), static_cast<int>(exact.size())};
        EXPECT_EQ(text(fill_dbm_user_struct(d)), expected) << value.substr(0, 40);
    }
    std::vector<char> desk = {'d', '1', '\x1e', 'm'};
    EXPECT_EQ(text(fill_dbm_desktop_struct(datum{desk.data(), 4})), "d1|(null)|(null)|(null)|(null)|(null)");
}

TEST_F(StatusDb, ListsAreInByteOrderGarbageLast) {
    EXPECT_EQ(get_all_dbm_users(conn.ustatus_db), nullptr);
    EXPECT_EQ(get_all_dbm_desktops(conn.dstatus_db), nullptr);
    Map users = {{"g1", "no separators here"}, {"g2", std::string(2000, 'x') + RS}};
    for (std::string id : {"20", "100", "3"}) users[id] = joined({id, "n", "0", "0", "", "0"});
    store_as_another_writer(upath, users);
    store_as_another_writer(dpath, {{"b", "b" + RS}, {"a", "a" + RS}, {"C", "C" + RS}, {"ab", "ab" + RS}});
    EXPECT_EQ(ids(get_all_dbm_users(conn.ustatus_db)), "100,20,3,(null),(null)");  // no readable ID: last
    EXPECT_EQ(ids(get_all_dbm_desktops(conn.dstatus_db)), "C,a,ab,b");
    EXPECT_EQ(delete_dbm_user(&conn, "g1"), 0);
}

TEST_F(StatusDb, DeleteOnlyWhatIsThere) {
    DbmUser u = user("17", "Ann", 100, 1, "ab.12", 200);
    DbmDesktop d = desktop("aa", "m", "f", "Up", "1", "2");
    ASSERT_EQ(add_dbm_user(&conn, &u) + add_dbm_desktop(&conn, &d), 0);
    EXPECT_EQ(delete_dbm_user(&conn, "x"), -1);
    EXPECT_EQ(delete_dbm_desktop(&conn, "y"), -1);
    EXPECT_EQ(log.all(), "14 delete_dbm_user(): Could not get dbm_user (x)\n"
                         "14 delete_dbm_desktop(): Could not get dbm_desktop (y)\n");
    EXPECT_EQ(delete_dbm_user(&conn, "17"), 0);
    EXPECT_EQ(delete_dbm_desktop(&conn, "aa"), 0);
    EXPECT_TRUE(raw_all(upath).empty() && raw_all(dpath).empty());

    DBM *own = dbm_open(c(upath.c_str()), O_RDWR, 0);  // a handle of the caller's own is used as it is
    EXPECT_EQ(modify_ustatus(own, &u), 0);
    EXPECT_EQ(text(get_dbm_user(own, "17")), "17|Ann|100|1|ab.12|200");
    dbm_close(own);
}

TEST_F(StatusDb, RecordsOfAnotherWriterAreSeenAndKept) {
    // The held handles have read and written before the other process runs.
    DbmUser mine = user("p1", "Mine", 1, 1, "", 1), more = user("p2", "More", 1, 1, "", 1);
    DbmDesktop desk = desktop("p1", "m", "f", "Up", "1", "2");
    ASSERT_EQ(modify_ustatus(conn.ustatus_db, &mine) + modify_dstatus(conn.dstatus_db, &desk), 0);
    EXPECT_EQ(ids(get_all_dbm_users(conn.ustatus_db)) + text(get_dbm_user(conn.ustatus_db, "p1")), "p1p1|Mine|1|1||1");
    Map users, desks;
    for (int i = 0; i < 100; ++i) {
        std::string id = "c" + std::to_string(i);
        users[id] = joined({id, "N", "1", "1", "t.1", "2"});
        desks[id] = joined({id, "m", "f", "Up", "1", "2"});
    }
    store_as_another_writer(upath, users);
    store_as_another_writer(dpath, desks);

    // Seen through the held handles...
    EXPECT_EQ(text(get_dbm_user(conn.ustatus_db, "c42")), "c42|N|1|1|t.1|2");
    EXPECT_EQ(dbm_desktop_exists(conn.dstatus_db, "c99"), 1);
    std::string listed = ids(get_all_dbm_users(conn.ustatus_db));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), ','), 100);
    // ...and kept by our writes afterwards, also after another round of theirs.
    mine.name = c("Changed");
    desk.status = c("Down");
    ASSERT_EQ(modify_ustatus(conn.ustatus_db, &mine) + modify_dstatus(conn.dstatus_db, &desk), 0);
    ASSERT_EQ(add_dbm_user(&conn, &more), 0);
    EXPECT_EQ(delete_dbm_user(&conn, "c3") + delete_dbm_desktop(&conn, "c0"), 0);
    store_as_another_writer(upath, {{"d1", users["c1"]}});
    close_user_dbm(conn.ustatus_db);
    close_desktop_dbm(conn.dstatus_db);
    conn.ustatus_db = conn.dstatus_db = nullptr;

    users.erase("c3");
    users["d1"] = users["c1"];
    users["p1"] = joined({"p1", "Changed", "1", "1", "", "1"});
    users["p2"] = joined({"p2", "More", "1", "1", "", "1"});
    EXPECT_EQ(raw_all(upath), users);
    desks.erase("c0");
    desks["p1"] = joined({"p1", "m", "f", "Down", "1", "2"});
    EXPECT_EQ(raw_all(dpath), desks);
}

}  // namespace
