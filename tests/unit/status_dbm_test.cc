// status_dbm_test.cc - the user and desktop status databases: stored bytes,
// insert versus replace, parsing of damaged values, ordering, the print
// formats, and records written by another process while a handle is held.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin.h"
#include "test_support.h"
#include "utils.h"

namespace {

using zt::test::TempDir;

const std::string RS = "\x1e";

// The six fields joined as they are stored.
std::string joined(const std::vector<std::string> &fields) {
    std::string value;
    for (const auto &f : fields) value += f + RS;
    return value;
}

datum as_datum(const std::string &s) {
    datum d{};
    d.dptr = const_cast<char *>(s.data());
    d.dsize = static_cast<int>(s.size());
    return d;
}

// Raw access to the files, independent of the library's handles.
std::optional<std::string> raw_fetch(const std::string &path, const std::string &key) {
    DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDONLY, 0);
    if (db == nullptr) return std::nullopt;
    datum v = dbm_fetch(db, as_datum(key));
    std::optional<std::string> out;
    if (v.dptr != nullptr) out = std::string(v.dptr, v.dsize);
    dbm_close(db);
    return out;
}

void raw_store(const std::string &path, const std::string &key, const std::string &value) {
    DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDWR, 0);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(dbm_store(db, as_datum(key), as_datum(value), DBM_REPLACE), 0);
    dbm_close(db);
}

std::vector<std::string> raw_keys(const std::string &path) {
    std::vector<std::string> keys;
    DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDONLY, 0);
    if (db == nullptr) return keys;
    for (datum k = dbm_firstkey(db); k.dptr != nullptr; k = dbm_nextkey(db)) keys.emplace_back(k.dptr, k.dsize);
    dbm_close(db);
    return keys;
}

struct UserSpec {
    const char *id;
    const char *name;
    int create_time;
    int status;
    const char *last_desktop;
    int last_time;
};

DbmUser make_user(const UserSpec &s) {
    return DbmUser{const_cast<char *>(s.id), const_cast<char *>(s.name), s.create_time, s.status,
                   const_cast<char *>(s.last_desktop), s.last_time};
}

DbmDesktop make_desktop(const char *id, const char *model, const char *fw, const char *status,
                        const char *last, const char *first) {
    return DbmDesktop{const_cast<char *>(id), const_cast<char *>(model), const_cast<char *>(fw),
                      const_cast<char *>(status), const_cast<char *>(last), const_cast<char *>(first)};
}

std::vector<std::string> user_ids(const UserList *list) {
    std::vector<std::string> ids;
    for (; list != nullptr; list = list->next) ids.emplace_back(list->user->id ? list->user->id : "(null)");
    return ids;
}

std::vector<std::string> desktop_ids(const DesktopList *list) {
    std::vector<std::string> ids;
    for (; list != nullptr; list = list->next) ids.emplace_back(list->desktop->id);
    return ids;
}

// Two empty status files and a connection record holding them the way the
// connect does: read-write handles plus the paths.
class StatusDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        upath = dir.path() + "/ustatus";
        dpath = dir.path() + "/dstatus";
        for (const auto &p : {upath, dpath}) {
            DBM *db = dbm_open(const_cast<char *>(p.c_str()), O_RDWR | O_CREAT, 0664);
            ASSERT_NE(db, nullptr);
            dbm_close(db);
        }
        conn = static_cast<AdminConfig *>(calloc(1, sizeof(AdminConfig)));
        conn->access_level = 3;
        conn->ustatus_dbfile = strdup(upath.c_str());
        conn->dstatus_dbfile = strdup(dpath.c_str());
        conn->ustatus_db = open_user_dbm(upath.c_str(), 3);
        conn->dstatus_db = open_desktop_dbm(dpath.c_str(), 3);
        ASSERT_NE(conn->ustatus_db, nullptr);
        ASSERT_NE(conn->dstatus_db, nullptr);
    }
    void TearDown() override {
        close_user_dbm(conn->ustatus_db);
        close_desktop_dbm(conn->dstatus_db);
        free(conn->ustatus_dbfile);
        free(conn->dstatus_dbfile);
        free(conn);
    }

    TempDir dir;
    std::string upath, dpath;
    AdminConfig *conn = nullptr;
};

// ------------------------------------------------------------ stored bytes

TEST_F(StatusDbTest, UserValueBytesAndKey) {
    struct Case {
        UserSpec user;
        bool through_add;
        std::string expected;
    } cases[] = {
        {{"17", "Ann", 100, 1, "ab.12", 200}, true, joined({"17", "Ann", "100", "1", "ab.12", "200"})},
        {{"18", "", -5, 2, "", -1}, false, joined({"18", "", "-5", "2", "", "-1"})},
        {{"19", "Bo", 0, 0, nullptr, 300}, true, joined({"19", "Bo", "0", "0", "", "300"})},
    };
    for (const auto &c : cases) {
        DbmUser u = make_user(c.user);
        ASSERT_EQ(c.through_add ? add_dbm_user(conn, &u) : modify_ustatus(conn->ustatus_db, &u), 0) << c.user.id;
        EXPECT_EQ(raw_fetch(upath, c.user.id), c.expected) << c.user.id;
    }
    // Keys are the ID bytes only: no NUL stored with them.
    for (const auto &key : raw_keys(upath)) EXPECT_EQ(key.size(), 2u) << key;

    DbmUser *back = get_dbm_user(conn->ustatus_db, "19");
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->last_desktop, "");
    EXPECT_EQ(back->last_time, 300);
    free_dbm_user(back);
}

TEST_F(StatusDbTest, DesktopValueBytes) {
    DbmDesktop full = make_desktop("02000011223a", "IEEE802", "3.0", "Up", "1100", "1000");
    DbmDesktop sparse = make_desktop("02000011223b", nullptr, "3.1", nullptr, "7", nullptr);
    ASSERT_EQ(add_dbm_desktop(conn, &full), 0);
    ASSERT_EQ(modify_dstatus(conn->dstatus_db, &sparse), 0);
    EXPECT_EQ(raw_fetch(dpath, "02000011223a"), joined({"02000011223a", "IEEE802", "3.0", "Up", "1100", "1000"}));
    EXPECT_EQ(raw_fetch(dpath, "02000011223b"), joined({"02000011223b", "", "3.1", "", "7", ""}));

    DbmDesktop *back = get_dbm_desktop(conn->dstatus_db, "02000011223b");
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->model, "");
    EXPECT_STREQ(back->firmware_rev, "3.1");
    EXPECT_STREQ(back->status, "");
    EXPECT_STREQ(back->last_status_time, "7");
    EXPECT_STREQ(back->first_conn_time, "");
    free_dbm_desktop(back);
}

TEST_F(StatusDbTest, InsertRefusesExistingReplaceOverwrites) {
    DbmUser first = make_user({"17", "Ann", 100, 1, "ab.12", 200});
    DbmUser second = make_user({"17", "Bob", 5, 2, "", 6});
    ASSERT_EQ(add_dbm_user(conn, &first), 0);
    EXPECT_EQ(add_dbm_user(conn, &second), -1);
    EXPECT_EQ(raw_fetch(upath, "17"), joined({"17", "Ann", "100", "1", "ab.12", "200"}));
    EXPECT_EQ(modify_ustatus(conn->ustatus_db, &second), 0);
    EXPECT_EQ(raw_fetch(upath, "17"), joined({"17", "Bob", "5", "2", "", "6"}));

    DbmDesktop d1 = make_desktop("aa", "m1", "f", "Up", "1", "2");
    DbmDesktop d2 = make_desktop("aa", "m2", "f", "Down", "3", "4");
    ASSERT_EQ(add_dbm_desktop(conn, &d1), 0);
    EXPECT_EQ(add_dbm_desktop(conn, &d2), -1);
    EXPECT_EQ(raw_fetch(dpath, "aa"), joined({"aa", "m1", "f", "Up", "1", "2"}));
    EXPECT_EQ(modify_dstatus(conn->dstatus_db, &d2), 0);
    EXPECT_EQ(raw_fetch(dpath, "aa"), joined({"aa", "m2", "f", "Down", "3", "4"}));
}

// A record that cannot be stored whole is refused and leaves the file alone.
TEST_F(StatusDbTest, RefusesRecordsThatCannotBeStoredWhole) {
    // 511 bytes exactly: "u1" + name + "1","1","","1" plus six separators.
    std::string fits(511 - (2 + 1 + 1 + 0 + 1 + 6), 'n');
    std::string too_long = fits + "n";
    DbmUser ok = make_user({"u1", fits.c_str(), 1, 1, "", 1});
    ASSERT_EQ(modify_ustatus(conn->ustatus_db, &ok), 0);
    EXPECT_EQ(raw_fetch(upath, "u1")->size(), 511u);

    struct Case {
        const char *what;
        UserSpec user;
    } users[] = {
        {"512 bytes", {"u2", too_long.c_str(), 1, 1, "", 1}},
        {"separator in a text", {"u3", "a\x1e" "b", 1, 1, "", 1}},
        {"absent name", {"u4", nullptr, 1, 1, "", 1}},
        {"absent id", {nullptr, "x", 1, 1, "", 1}},
        {"empty id", {"", "x", 1, 1, "", 1}},
    };
    for (const auto &c : users) {
        DbmUser u = make_user(c.user);
        EXPECT_EQ(add_dbm_user(conn, &u), -1) << c.what;
        EXPECT_EQ(modify_ustatus(conn->ustatus_db, &u), -1) << c.what;
    }
    // Replacing needs the last desktop present (empty text for none).
    DbmUser no_desktop = make_user({"u5", "x", 1, 1, nullptr, 1});
    EXPECT_EQ(modify_ustatus(conn->ustatus_db, &no_desktop), -1);
    EXPECT_EQ(raw_keys(upath), std::vector<std::string>{"u1"});

    std::string long_model(512, 'm');
    DbmDesktop bad[] = {
        make_desktop("d1", long_model.c_str(), "", "", "", ""),
        make_desktop("d2", "a\x1e", "", "", "", ""),
        make_desktop(nullptr, "m", "", "", "", ""),
    };
    for (auto &d : bad) {
        EXPECT_EQ(add_dbm_desktop(conn, &d), -1);
        EXPECT_EQ(modify_dstatus(conn->dstatus_db, &d), -1);
    }
    EXPECT_TRUE(raw_keys(dpath).empty());
}

// ------------------------------------------------------ damaged values

// Each value is handed over in a buffer of exactly its size, so reading
// past its end shows up under AddressSanitizer.
TEST(StatusValueParse, DamagedUserValues) {
    std::string huge_last = joined({"a", "b", "1", "2", "d"}) + std::string(600, '9') + RS;
    struct Case {
        const char *what;
        std::string value;
        const char *id, *name;
        int create_time, status;
        const char *last_desktop;
        int last_time;
    } cases[] = {
        {"empty", "", nullptr, nullptr, 0, 0, nullptr, 0},
        {"no separator", "17Ann100", nullptr, nullptr, 0, 0, nullptr, 0},
        {"long, no separator", std::string(4096, 'z'), nullptr, nullptr, 0, 0, nullptr, 0},
        {"cut short", "17" + RS + "Ann" + RS + "10", "17", "Ann", 0, 0, nullptr, 0},
        {"extra field ignored", joined({"a", "b", "1", "2", "d", "3", "x"}), "a", "b", 1, 2, "d", 3},
        {"all empty", joined({"", "", "", "", "", ""}), "", "", 0, 0, "", 0},
        {"sixth field past 512 bytes", huge_last, "a", "b", 1, 2, "d", 0},
        {"NUL ends the value", std::string("17\0", 3) + RS + "Ann" + RS, nullptr, nullptr, 0, 0, nullptr, 0},
        {"numbers as atoi reads them", joined({"a", "b", " 42abc", "-7", "", "x"}), "a", "b", 42, -7, "", 0},
        {"numbers out of range", joined({"a", "b", "99999999999", "-99999999999", "", "1"}), "a", "b", INT_MAX,
         INT_MIN, "", 1},
    };
    for (const auto &c : cases) {
        std::vector<char> exact(c.value.begin(), c.value.end());
        datum d{exact.empty() ? nullptr : exact.data(), static_cast<int>(exact.size())};
        DbmUser *u = fill_dbm_user_struct(d);
        ASSERT_NE(u, nullptr) << c.what;
        auto same = [](const char *a, const char *b) { return (a == nullptr || b == nullptr) ? a == b : !strcmp(a, b); };
        EXPECT_TRUE(same(u->id, c.id)) << c.what;
        EXPECT_TRUE(same(u->name, c.name)) << c.what;
        EXPECT_EQ(u->create_time, c.create_time) << c.what;
        EXPECT_EQ(u->status, c.status) << c.what;
        EXPECT_TRUE(same(u->last_desktop, c.last_desktop)) << c.what;
        EXPECT_EQ(u->last_time, c.last_time) << c.what;
        free_dbm_user(u);
    }
}

// Garbage written into the file by someone else is read, listed and
// deleted without harm.
TEST_F(StatusDbTest, GarbageInTheFile) {
    raw_store(upath, "g1", "no separators here");
    raw_store(upath, "g2", "g2" + RS + "Gus" + RS);
    raw_store(upath, "g3", std::string(2000, 'x') + RS);
    DbmUser *u = get_dbm_user(conn->ustatus_db, "g2");
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u->name, "Gus");
    EXPECT_EQ(u->last_desktop, nullptr);
    free_dbm_user(u);

    UserList *all = get_all_dbm_users(conn->ustatus_db);
    std::vector<std::string> ids = user_ids(all);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], "g2");  // the two without a readable ID sort last
    free_UserList(&all);
    EXPECT_EQ(all, nullptr);
    EXPECT_EQ(delete_dbm_user(conn, "g1"), 0);

    raw_store(dpath, "d1", "d1" + RS + "m");
    DesktopList *desks = get_all_dbm_desktops(conn->dstatus_db);
    ASSERT_NE(desks, nullptr);
    EXPECT_STREQ(desks->desktop->id, "d1");
    EXPECT_EQ(desks->desktop->model, nullptr);
    free_DesktopList(&desks);
}

// ------------------------------------------------------------- ordering

TEST_F(StatusDbTest, ListsAreInByteOrder) {
    EXPECT_EQ(get_all_dbm_users(conn->ustatus_db), nullptr);
    EXPECT_EQ(get_all_dbm_desktops(conn->dstatus_db), nullptr);
    for (const char *id : {"20", "100", "3"}) {
        DbmUser u = make_user({id, "n", 0, 0, "", 0});
        ASSERT_EQ(add_dbm_user(conn, &u), 0);
    }
    UserList *all = get_all_dbm_users(conn->ustatus_db);
    EXPECT_EQ(user_ids(all), (std::vector<std::string>{"100", "20", "3"}));
    free_UserList(&all);

    for (const char *id : {"b", "a", "C", "ab"}) {
        DbmDesktop d = make_desktop(id, "m", "f", "Up", "1", "1");
        ASSERT_EQ(add_dbm_desktop(conn, &d), 0);
    }
    DesktopList *desks = get_all_dbm_desktops(conn->dstatus_db);
    EXPECT_EQ(desktop_ids(desks), (std::vector<std::string>{"C", "a", "ab", "b"}));
    free_DesktopList(&desks);
}

TEST(StatusLists, EqualIdsKeepInsertionOrder) {
    UserList *list = nullptr;
    const char *entries[][2] = {{"5", "first"}, {"1", "x"}, {"5", "second"}, {"9", "y"}, {"5", "third"}, {"0", "z"}};
    for (auto &e : entries) {
        DbmUser *u = allocate_dbm_user();
        u->id = strdup(e[0]);
        u->name = strdup(e[1]);
        add_user_to_list(&list, u);
    }
    std::vector<std::string> got;
    for (UserList *n = list; n != nullptr; n = n->next) got.push_back(std::string(n->user->id) + n->user->name);
    EXPECT_EQ(got, (std::vector<std::string>{"0z", "1x", "5first", "5second", "5third", "9y"}));
    free_UserList(&list);
    EXPECT_EQ(list, nullptr);

    free_DesktopList(nullptr);
    free_dbm_user(nullptr);
    free_dbm_desktop(nullptr);
}

// ---------------------------------------------------------------- print

class PrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        if (tz) saved_tz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_tz) setenv("TZ", saved_tz->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_tz;
};

TEST_F(PrintTest, UserDump) {
    struct Case {
        UserSpec user;
        std::string expected;
    } cases[] = {
        {{"17", "Ann", 100, 1, "ab.12", 200},
         "user:\n  id                 = 17\n  name               = Ann\n"
         "  create_time        = 100 (01/01/1970 00:01:40)\n  status             = Logged in\n"
         "  last_desktop       = ab.12\n  last_time          = 200 (01/01/1970 00:03:20)\n"},
        {{nullptr, nullptr, 0, 7, nullptr, 0},
         "user:\n  id                 = (nil)\n  name               = (nil)\n"
         "  create_time        = 0 (01/01/1970 00:00:00)\n  status             = Unknown\n"
         "  last_desktop       = (nil)\n  last_time          = 0 (01/01/1970 00:00:00)\n"},
    };
    for (const auto &c : cases) {
        DbmUser u = make_user(c.user);
        testing::internal::CaptureStderr();
        print_dbm_user(&u);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    }
}

TEST_F(PrintTest, DesktopDump) {
    DbmDesktop d = make_desktop("02000011223a", nullptr, "3.0", "Up", nullptr, "1000");
    testing::internal::CaptureStderr();
    print_dbm_desktop(&d);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "desktop:\n  id                 = 02000011223a\n  model              = (nil)\n"
              "  firmware_rev       = 3.0\n  status             = Up\n"
              "  last_status_time   = (nil) ()\n  first_conn_time    = 1000 (01/01/1970 00:16:40)\n");
}

// ------------------------------------------------------ lookup, delete

class LogFile {
public:
    explicit LogFile(const TempDir &dir) : path_(dir.path() + "/admin.log") { setenv("ZTADMIN_LOG", path_.c_str(), 1); }
    ~LogFile() { unsetenv("ZTADMIN_LOG"); }
    std::string text() const { return zt::test::read_file(path_); }

private:
    std::string path_;
};

TEST_F(StatusDbTest, DeleteAndLookup) {
    LogFile log(dir);
    DbmUser u = make_user({"17", "Ann", 100, 1, "ab.12", 200});
    DbmDesktop d = make_desktop("aa", "m", "f", "Up", "1", "2");
    ASSERT_EQ(add_dbm_user(conn, &u), 0);
    ASSERT_EQ(add_dbm_desktop(conn, &d), 0);
    EXPECT_EQ(dbm_user_exists(conn->ustatus_db, "17"), 1);
    EXPECT_EQ(dbm_user_exists(conn->ustatus_db, "1"), 0);
    EXPECT_EQ(dbm_desktop_exists(conn->dstatus_db, "aa"), 1);
    EXPECT_EQ(dbm_desktop_exists(conn->dstatus_db, "a"), 0);

    std::string ufile = zt::test::read_file(upath + ".pag"), dfile = zt::test::read_file(dpath + ".pag");
    EXPECT_EQ(delete_dbm_user(conn, "nobody"), -1);
    EXPECT_EQ(delete_dbm_desktop(conn, "nothing"), -1);
    EXPECT_EQ(zt::test::read_file(upath + ".pag"), ufile);
    EXPECT_EQ(zt::test::read_file(dpath + ".pag"), dfile);
    EXPECT_EQ(log.text(),
              "14 delete_dbm_user(): Could not get dbm_user (nobody)\n"
              "14 delete_dbm_desktop(): Could not get dbm_desktop (nothing)\n");

    EXPECT_EQ(delete_dbm_user(conn, "17"), 0);
    EXPECT_EQ(delete_dbm_desktop(conn, "aa"), 0);
    EXPECT_TRUE(raw_keys(upath).empty());
    EXPECT_TRUE(raw_keys(dpath).empty());
}

TEST_F(StatusDbTest, MissingRecordIsTracedUnderDebugA) {
    LogFile log(dir);
    EXPECT_EQ(get_dbm_user(conn->ustatus_db, "x"), nullptr);  // debugging off: no trace
    EXPECT_EQ(log.text(), "");
    set_gdebug("a");
    EXPECT_EQ(get_dbm_user(conn->ustatus_db, "x"), nullptr);
    EXPECT_EQ(get_dbm_desktop(conn->dstatus_db, "x"), nullptr);
    set_gdebug("");
    std::string text = log.text();
    EXPECT_NE(text.find("No user record.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("No desktop record.\n"), std::string::npos) << text;
}

// ------------------------------------------------------------- handles

TEST(StatusDbOpen, MissingFileAndReadOnlyAccess) {
    TempDir dir;
    std::string path = dir.path() + "/absent";
    EXPECT_EQ(open_user_dbm(path.c_str(), 3), nullptr);
    EXPECT_EQ(open_desktop_dbm(path.c_str(), 1), nullptr);
    EXPECT_FALSE(raw_fetch(path, "x"));  // not created either

    DBM *created = dbm_open(const_cast<char *>(path.c_str()), O_RDWR | O_CREAT, 0664);
    dbm_close(created);
    DBM *ro = open_user_dbm(path.c_str(), 1);
    ASSERT_NE(ro, nullptr);
    DbmUser u = make_user({"1", "n", 0, 0, "", 0});
    EXPECT_EQ(modify_ustatus(ro, &u), -1);
    AdminConfig conn{};
    conn.access_level = 1;
    conn.ustatus_db = ro;
    EXPECT_EQ(add_dbm_user(&conn, &u), -1);  // no path: the handle's own file and mode
    raw_store(path, "2", joined({"2", "Two", "0", "0", "", "0"}));
    DbmUser *two = get_dbm_user(ro, "2");
    ASSERT_NE(two, nullptr);
    free_dbm_user(two);
    close_user_dbm(ro);
    EXPECT_EQ(raw_keys(path), std::vector<std::string>{"2"});
    close_user_dbm(nullptr);
}

// A handle the caller opened with dbm_open itself is used as it is.
TEST_F(StatusDbTest, CallersOwnHandleIsUsedDirectly) {
    DBM *own = dbm_open(const_cast<char *>(upath.c_str()), O_RDWR, 0);
    ASSERT_NE(own, nullptr);
    DbmUser u = make_user({"7", "Own", 0, 0, "", 0});
    EXPECT_EQ(modify_ustatus(own, &u), 0);
    DbmUser *back = get_dbm_user(own, "7");
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->name, "Own");
    free_dbm_user(back);
    dbm_close(own);
    EXPECT_TRUE(raw_fetch(upath, "7"));
}

// ---------------------------------------------------------- concurrency

// Stores records "PREFIX0".."PREFIX(n-1)" from a separate process with its
// own handle, as the login services do, and waits for it.
void store_from_other_process(const std::string &path, const std::string &prefix, int n, bool desktop) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDWR, 0);
        if (db == nullptr) _exit(2);
        for (int i = 0; i < n; ++i) {
            std::string id = prefix + std::to_string(i);
            std::string value = desktop ? joined({id, "m", "f", "Up", "1", "2"}) : joined({id, "N", "1", "1", "t.1", "2"});
            if (dbm_store(db, as_datum(id), as_datum(value), DBM_REPLACE) != 0) _exit(3);
        }
        dbm_close(db);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(StatusDbTest, RecordsOfAnotherWriterAreSeenAndKept) {
    // The held handles have read and written before the other process runs.
    DbmUser mine = make_user({"p1", "Mine", 1, 1, "", 1});
    ASSERT_EQ(add_dbm_user(conn, &mine), 0);
    UserList *before = get_all_dbm_users(conn->ustatus_db);
    EXPECT_EQ(user_ids(before), std::vector<std::string>{"p1"});
    free_UserList(&before);
    DbmDesktop desk = make_desktop("p1", "m", "f", "Up", "1", "2");
    ASSERT_EQ(add_dbm_desktop(conn, &desk), 0);

    store_from_other_process(upath, "c", 100, false);
    store_from_other_process(dpath, "c", 100, true);

    // Seen through the held handles.
    DbmUser *theirs = get_dbm_user(conn->ustatus_db, "c42");
    EXPECT_TRUE(theirs != nullptr && strcmp(theirs->last_desktop, "t.1") == 0);
    free_dbm_user(theirs);
    EXPECT_EQ(dbm_desktop_exists(conn->dstatus_db, "c99"), 1);
    UserList *all = get_all_dbm_users(conn->ustatus_db);
    EXPECT_EQ(user_ids(all).size(), 101u);
    free_UserList(&all);

    // Our writes afterwards keep theirs.
    mine.name = const_cast<char *>("Changed");
    ASSERT_EQ(modify_ustatus(conn->ustatus_db, &mine), 0);
    DbmUser more = make_user({"p2", "More", 1, 1, "", 1});
    ASSERT_EQ(add_dbm_user(conn, &more), 0);
    EXPECT_EQ(delete_dbm_user(conn, "c3"), 0);
    DbmDesktop desk2 = make_desktop("p2", "m", "f", "Down", "1", "2");
    ASSERT_EQ(modify_dstatus(conn->dstatus_db, &desk2), 0);

    // Another round from the other side, then the handles are closed.
    store_from_other_process(upath, "d", 50, false);
    EXPECT_EQ(delete_dbm_desktop(conn, "c0"), 0);
    close_user_dbm(conn->ustatus_db);
    close_desktop_dbm(conn->dstatus_db);
    conn->ustatus_db = conn->dstatus_db = nullptr;

    EXPECT_EQ(raw_keys(upath).size(), 1u + 100u - 1u + 1u + 50u);
    EXPECT_EQ(raw_fetch(upath, "p1"), joined({"p1", "Changed", "1", "1", "", "1"}));
    EXPECT_TRUE(raw_fetch(upath, "c99"));
    EXPECT_TRUE(raw_fetch(upath, "d49"));
    EXPECT_FALSE(raw_fetch(upath, "c3"));
    EXPECT_EQ(raw_keys(dpath).size(), 1u + 100u + 1u - 1u);
    EXPECT_TRUE(raw_fetch(dpath, "c1"));
}

}  // namespace
