// connection_test.cc - opening and closing connections against the sandbox:
// each access level binds as it should, and every way of failing reports
// its status and its log line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "directory_fixture.h"

namespace zt::test {
namespace {

// The identity the server sees on a session ("" for anonymous).
std::string whoami(LDAP *ld) {
    berval *id = nullptr;
    if (ldap_whoami_s(ld, &id, nullptr, nullptr) != LDAP_SUCCESS) return "<failed>";
    std::string text = id != nullptr && id->bv_val != nullptr ? std::string(id->bv_val, id->bv_len) : "";
    ber_bvfree(id);
    return text;
}

// True when status records can be stored through the connection's handles.
bool ustatus_writable(DBM *db) {
    char id[] = "zt-conn-probe", empty[] = "";
    DbmUser user{id, id, 0, 0, empty, 0};
    return modify_ustatus(db, &user) == 0;
}
bool dstatus_writable(DBM *db) {
    char id[] = "IEEE802.000000000001", empty[] = "";
    DbmDesktop desktop{id, empty, empty, empty, empty, empty};
    return modify_dstatus(db, &desktop) == 0;
}

TEST(Connection, EachAccessLevelBindsAsItsIdentity) {
    ZT_REQUIRE_SANDBOX();
    ToolTree tree(ToolTree::sandbox_keys(*sandbox));
    tree.write_password(sandbox->password);
    tree.use();
    struct Case {
        int level;
        const char *user;
        const char *password;
        std::string identity;
        int mech;
        bool writable;
    } cases[] = {
        {1, nullptr, nullptr, "", AUTH_SIMPLE, false},
        {2, nullptr, sandbox->password.c_str(), std::string("dn:") + kAdminDn, AUTH_CRAM_MD5, true},
        {3, nullptr, nullptr, std::string("dn:") + kAdminDn, AUTH_CRAM_MD5, true},
        {4, kAdminDn, sandbox->password.c_str(), std::string("dn:") + kAdminDn, AUTH_CRAM_MD5, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        LogFile log;
        AdminStatus status = 99;
        Connection conn(open_connection(c.level, c.user, c.password, nullptr, &status));
        ASSERT_NE(conn, nullptr);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(conn->access_level, c.level);
        EXPECT_EQ(conn->auth_mech, c.mech);
        EXPECT_EQ(whoami(conn->session), c.identity);
        EXPECT_STREQ(get_server_name(conn.get()), kReplicaHost);
        ASSERT_NE(conn->dstatus_db, nullptr);
        ASSERT_NE(conn->ustatus_db, nullptr);
        EXPECT_EQ(ustatus_writable(conn->ustatus_db), c.writable);
        EXPECT_EQ(dstatus_writable(conn->dstatus_db), c.writable);
        EXPECT_EQ(conn->primary_session, nullptr);
        EXPECT_EQ(log.all(), "");
    }
    EXPECT_EQ(close_connection(nullptr), 0);
}

TEST(Connection, LevelOneIsAnonymousWhateverTheFileSays) {
    ZT_REQUIRE_SANDBOX();
    ToolTree tree(ToolTree::sandbox_keys(*sandbox, {{"admin.user.name", ""}}));
    tree.use();
    Connection conn(open_connection(1, nullptr, nullptr, tree.config_path().c_str(), nullptr));
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->user_name, "cn=anonymous");
    EXPECT_EQ(conn->password, nullptr);
    EXPECT_EQ(whoami(conn->session), "");
}

// The stale server knows the administrator only as its root DN with a
// password: a simple bind works there, CRAM-MD5 cannot.
TEST(Connection, SimpleMechanismBindsWithASimpleBind) {
    ZT_REQUIRE_SANDBOX();
    StaleShadow stale(*sandbox);
    ASSERT_TRUE(stale.running());
    for (const char *mech : {"SIMPLE", "CRAM_MD5"}) {
        SCOPED_TRACE(mech);
        ToolTree tree(ToolTree::sandbox_keys(
            *sandbox, {{"admin.server.name", stale.address()}, {"admin.server.authmech", mech}}));
        tree.write_password(sandbox->password);
        tree.use();
        AdminStatus status = 99;
        Connection conn(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status));
        if (std::string(mech) == "SIMPLE") {
            ASSERT_NE(conn, nullptr);
            EXPECT_EQ(conn->auth_mech, AUTH_SIMPLE);
            EXPECT_EQ(whoami(conn->session), std::string("dn:") + kAdminDn);
        } else {
            EXPECT_EQ(conn, nullptr);
            EXPECT_EQ(status, ADMIN_ERR_AUTH_FAILED);
        }
    }
}

// Each failure of the connect: the status of _zt_dsConnect, -1 from
// open_connection, and the one log line naming the cause.
TEST(Connection, FailuresReportStatusAndLogLine) {
    ZT_REQUIRE_SANDBOX();
    struct Case {
        const char *name;
        std::map<std::string, std::string> keys;
        const char *password_file;  // null: none; otherwise its raw content
        bool with_dbm;
        AdminStatus status;
        std::string line;  // with @CONF@, @PW@, @VAR@ replaced
    } cases[] = {
        {"wrong password", {}, "jebat-cnffjbeq\n", true, ADMIN_ERR_AUTH_FAILED,
         "open_connection(): Could not bind to DS server 127.0.0.1 - Invalid credentials"},
        {"missing password file", {}, nullptr, true, ADMIN_ERR_NO_SUCH_FILE,
         "open_connection(): Could not read ZT password file (@PW@)"},
        {"blank password file", {}, "  \t\n", true, ADMIN_ERR_INTERNAL,
         "open_connection(): Could not read ZT password file (@PW@)"},
        {"no subtree", {{"admin.subtree", ""}}, "x\n", true, ADMIN_ERR_INTERNAL,
         "open_connection(): Config file (@CONF@) contents are incomplete"},
        {"no user", {{"admin.user.name", ""}}, "x\n", true, ADMIN_ERR_INTERNAL,
         "open_connection(): Config file (@CONF@) contents are incomplete"},
        {"server down", {{"admin.server.port", "1"}}, "@GOOD@", true, ADMIN_ERR_INTERNAL,
         "open_connection(): Could not bind to DS server 127.0.0.1 - Can't contact LDAP server"},
        {"unknown identity", {{"admin.user.name", "cn=nobody,o=ztdata"}}, "@GOOD@", true,
         ADMIN_ERR_INTERNAL, "open_connection(): Could not bind to DS server 127.0.0.1 - Other (e.g., implementation specific) error"},
        {"no status files", {}, "@GOOD@", false, ADMIN_ERR_DBM_OPEN,
         "open_connection(): Could not open dstatus DB at (@VAR@/dstatus)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ToolTree tree(ToolTree::sandbox_keys(*sandbox, c.keys), c.with_dbm);
        if (c.password_file != nullptr) {
            if (std::string(c.password_file) == "@GOOD@") {
                tree.write_password(sandbox->password);
            } else {
                tree.write_raw_password_file(c.password_file);
            }
        }
        tree.use();
        std::string line = c.line;
        auto replace = [&](const std::string &key, const std::string &value) {
            if (size_t at = line.find(key); at != std::string::npos) line.replace(at, key.size(), value);
        };
        replace("@CONF@", tree.config_path());
        replace("@PW@", tree.password_path());
        replace("@VAR@", tree.root() + "/var");

        LogFile log;
        AdminStatus status = 99;
        EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(log.has(line)) << log.all();

        status = 99;
        EXPECT_EQ(open_connection(3, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    }
}

TEST(Connection, MissingConfigurationIsSilent) {
    ZT_REQUIRE_SANDBOX();
    TempDir empty;
    setenv("ZTADMIN_ROOT", empty.path().c_str(), 1);
    LogFile log;
    AdminStatus status = 99;
    EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(open_connection(1, nullptr, nullptr, (empty.path() + "/none.conf").c_str(), &status),
              nullptr);
    EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    EXPECT_EQ(log.all(), "");
}

// The user status file is opened only after the bind succeeded.
TEST(Connection, MissingUserStatusFileFailsAfterTheBind) {
    ZT_REQUIRE_SANDBOX();
    ToolTree tree(ToolTree::sandbox_keys(*sandbox), false);
    tree.create_dbm("dstatus");
    tree.write_password(sandbox->password);
    tree.use();
    set_gdebug("d");
    LogFile log;
    AdminStatus status = 99;
    EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    set_gdebug("");
    EXPECT_EQ(status, ADMIN_ERR_DBM_OPEN);
    auto lines = log.lines();
    std::string connecting = "(d) connecting to ldap://127.0.0.1:" + std::to_string(sandbox->port) + " as |" +
                             kAdminDn + "|";
    std::string failed = "open_connection(): Could not open ustatus DB at (" + tree.dbm_path("ustatus") + ")";
    ASSERT_TRUE(log.has(connecting)) << log.all();
    EXPECT_TRUE(log.has(failed)) << log.all();
    EXPECT_EQ(log.count_prefix("open_connection(): Could not bind"), 0);
}

TEST(Connection, ServerOverrideReplacesTheConfiguredServer) {
    ZT_REQUIRE_SANDBOX();
    AdminStatus status = 99;
    Connection conn(_zt_dsConnect(3, nullptr, nullptr, nullptr, kPrimaryHost, &status));
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(get_server_name(conn.get()), kPrimaryHost);
    // A write there needs no referral.
    std::string name = unique_name("override");
    std::string dn = "ztName=" + name + "," + kSuffix;
    Mods mods = container_mods(name);
    EXPECT_EQ(ldap_add_ext_s(conn->session, dn.c_str(), mods.get(), nullptr, nullptr), LDAP_SUCCESS);
    EXPECT_EQ(ldap_delete_ext_s(conn->session, dn.c_str(), nullptr, nullptr), LDAP_SUCCESS);
}

TEST(Connection, SessionRefusalsBeforeAnyTraffic) {
    ZT_REQUIRE_SANDBOX();
    struct Case {
        const char *host;
        const char *password;
        int mech;
        AdminStatus status;
        std::string line;
    } cases[] = {
        {kReplicaHost, nullptr, AUTH_CRAM_MD5, ADMIN_ERR_AUTH_FAILED,
         "open_connection(): Could not bind to DS server 127.0.0.1 - Success"},
        {kReplicaHost, "x", 7, ADMIN_ERR_AUTH_FAILED, "open_connection(): invalid authentication mechanism (=7)"},
        {"bad host name", "x", AUTH_SIMPLE, ADMIN_ERR_DB_UNREACHABLE,
         "open_connection(): failed to connect to DS server bad host name - "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        LogFile log;
        AdminStatus status = 99;
        EXPECT_EQ(_zt_LDAPopen(kAdminDn, c.password, c.host, sandbox->port, c.mech, &status), nullptr);
        EXPECT_EQ(status, c.status);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().front().rfind(c.line, 0), 0u) << log.all();
    }
    // Success leaves the status alone.
    AdminStatus status = 42;
    LDAP *ld = _zt_LDAPopen(kAdminDn, sandbox->password.c_str(), kReplicaHost, sandbox->port,
                            AUTH_CRAM_MD5, &status);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(status, 42);
    int referrals = -1;
    ldap_get_option(ld, LDAP_OPT_REFERRALS, &referrals);
    EXPECT_EQ(referrals, 0);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
}

}  // namespace
}  // namespace zt::test
