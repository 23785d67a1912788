// connection_test.cc - opening connections against the sandbox: each access
// level binds as its identity, and each way of failing reports its status
// and its one log line.
#include <gtest/gtest.h>

#include <string>

#include "directory_fixture.h"

namespace zt::test {
namespace {

using Connect = DirectoryTest;

// The identity the server sees on a session ("" for anonymous).
std::string whoami(LDAP *ld) {
    berval *id = nullptr;
    if (ldap_whoami_s(ld, &id, nullptr, nullptr) != LDAP_SUCCESS) return "<failed>";
    std::string text = id != nullptr && id->bv_val != nullptr ? std::string(id->bv_val, id->bv_len) : "";
    ber_bvfree(id);
    return text;
}

TEST_F(Connect, EachAccessLevelBindsAsItsIdentity) {
    const std::string admin = std::string("dn:") + kAdminDn, &pw = sandbox_->password;
    struct Case {
        int level;
        const char *file_user, *user, *password;  // file_user "" drops the key
        std::string identity;
        bool writable;  // the status files
    } cases[] = {
        {1, "", nullptr, nullptr, "", false},
        {2, kAdminDn, nullptr, pw.c_str(), admin, true},
        {3, kAdminDn, nullptr, nullptr, admin, true},
        {4, "cn=nobody,o=ztdata", kAdminDn, pw.c_str(), admin, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.user.name", c.file_user}}));
        tree.write_password(pw);
        tree.use();
        LogFile log;
        AdminStatus status = 99;
        Connection conn(open_connection(c.level, c.user, c.password, nullptr, &status));
        ASSERT_NE(conn, nullptr) << log.all();
        EXPECT_EQ(status, 0);
        EXPECT_EQ(conn->auth_mech, c.level == 1 ? AUTH_SIMPLE : AUTH_CRAM_MD5);
        EXPECT_EQ(whoami(conn->session), c.identity);
        char id[] = "zt-conn-probe", empty[] = "";
        DbmUser probe{id, id, 0, 0, empty, 0};
        EXPECT_EQ(modify_ustatus(conn->ustatus_db, &probe) == 0, c.writable);
        EXPECT_EQ(log.all(), "");
    }
}

// The status of _zt_dsConnect, -1 from open_connection, and the log line.
TEST_F(Connect, FailuresReportStatusAndLogLine) {
    const std::vector<std::string> both = {"dstatus", "ustatus"};
    struct Case {
        std::map<std::string, std::string> keys;
        const char *password;  // null: no password file; "": the right one
        std::vector<std::string> dbms;
        AdminStatus status;
        std::string line, path;  // the log line, ending with a path below the tree's root
    } cases[] = {
        {{}, "wrong", both, ADMIN_ERR_AUTH_FAILED,
         "open_connection(): Could not bind to DS server 127.0.0.1 - Invalid credentials", ""},
        {{}, nullptr, both, ADMIN_ERR_NO_SUCH_FILE, "open_connection(): Could not read ZT password file (",
         "/etc/opt/KRVXzt/ztadmin.pw)"},
        {{{"admin.user.name", ""}}, "x", both, ADMIN_ERR_INTERNAL, "open_connection(): Config file (",
         "/etc/opt/KRVXzt/ztadmin.conf) contents are incomplete"},
        {{{"admin.server.port", "1"}}, "x", both, ADMIN_ERR_INTERNAL,
         "open_connection(): Could not bind to DS server 127.0.0.1 - Can't contact LDAP server", ""},
        // Bound, then the second status file is missing.
        {{}, "", {"dstatus"}, ADMIN_ERR_DBM_OPEN, "open_connection(): Could not open ustatus DB at (", "/var/ustatus)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ToolTree tree(ToolTree::sandbox_keys(*sandbox_, c.keys), c.dbms);
        if (c.password != nullptr) tree.write_password(*c.password ? c.password : sandbox_->password);
        tree.use();
        LogFile log;
        AdminStatus status = 99;
        EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(log.has(c.line + (c.path.empty() ? "" : tree.root() + c.path))) << log.all();
        EXPECT_EQ(open_connection(3, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    }
}

TEST_F(Connect, MissingConfigurationIsSilent) {
    TempDir empty;
    setenv("ZTADMIN_ROOT", empty.path().c_str(), 1);
    AdminStatus status = 99;
    EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(open_connection(1, nullptr, nullptr, (empty.path() + "/none.conf").c_str(), &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    EXPECT_EQ(log_->all(), "");
}

}  // namespace
}  // namespace zt::test
