// SPDX-License-Identifier: GPL-3.0-or-later
// connection_test.cc - opening connections against the sandbox: the access level chooses the identity, and each way of
// failing reports its status and its log line.
#include <sys/prctl.h>

#include "directory_fixture.h"

namespace zt::test {
namespace {

using Connect = DirectoryTest;

// Level 1 binds anonymously, whatever the file names, and opens the status
// files read-only; level 4 binds as the caller's user, not the file's.
TEST_F(Connect, AccessLevelChoosesTheIdentity) {
    Connection anonymous(open_connection(1, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(anonymous, nullptr);
    EXPECT_STREQ(anonymous->user_name, "cn=anonymous");
    berval *id = nullptr;
    ASSERT_EQ(ldap_whoami_s(anonymous->session, &id, nullptr, nullptr), LDAP_SUCCESS);
    EXPECT_TRUE(id == nullptr || id->bv_len == 0);
    ber_bvfree(id);
    char user[] = "zt-conn-probe", empty[] = "";
    DbmUser probe{user, user, 0, 0, empty, 0};
    EXPECT_NE(modify_ustatus(anonymous->ustatus_db, &probe), 0);
    EXPECT_EQ(modify_ustatus(conn_->ustatus_db, &probe), 0);

    ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.user.name", "cn=nobody,o=ztdata"}}));
    tree.use();
    EXPECT_NE(Connection(open_connection(4, kAdminDn, sandbox_->password.c_str(), nullptr, nullptr)), nullptr);
    EXPECT_EQ(log_->all(), "");
}

// The status of _zt_dsConnect, -1 from open_connection, and the log line.
TEST_F(Connect, FailuresReportStatusAndLogLineButAMissingConfiguration) {
    const std::vector<std::string> both = {"dstatus", "ustatus"};
    // The password null: no password file, "": the right one; the log line ends with a path below the root.
    struct Case { std::map<std::string, std::string> keys; const char *password; Strings dbms; AdminStatus status;
                  std::string line, path; } cases[] = {
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
        log_->clear();
        AdminStatus status = 99;
        EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(log_->has(c.line + (c.path.empty() ? "" : tree.root() + c.path))) << log_->all();
        EXPECT_EQ(open_connection(3, nullptr, nullptr, nullptr, &status), nullptr);
        EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    }

    // A missing configuration is silent.
    log_->clear();
    TempDir empty;
    setenv("ZTADMIN_ROOT", empty.path().c_str(), 1);
    AdminStatus status = 99;
    EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(open_connection(1, nullptr, nullptr, (empty.path() + "/none.conf").c_str(), &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_INTERNAL);
    EXPECT_EQ(log_->all(), "");
}

// At level 3 the configuration, data-store configuration and password files must be root's and writable by no one else
// (the password file readable by no one else either); otherwise each is read as one that cannot be opened, after a line
// naming it, its owner and mode.  Level 1 still reads a loose configuration.  While a level-3 connection holds the
// password, the process cannot be dumped or traced.
TEST_F(Connect, FilesOthersCouldChangeAreRefusedAtLevelThree) {
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0) << "the fixture's connection holds the password";
    const std::string ds = "/etc/opt/KRVXzt/qmds/current/ztdsd.conf";
    struct Case { std::string file; mode_t mode; uid_t owner; std::string refusal, failure; } cases[] = {
        {"/etc/opt/KRVXzt/ztadmin.conf", 0666, 0, "read_config_file(): Config file (%) is writable by group or others "
         "(owner 0, mode 0666)", "open_connection(): Could not read config file (%)"},
        {"/etc/opt/KRVXzt/ztadmin.conf", 0644, 65534, "read_config_file(): Config file (%) is not owned by root "
         "(owner 65534, mode 0644)", "open_connection(): Could not read config file (%)"},
        {"/etc/opt/KRVXzt/ztadmin.pw", 0644, 0, "read_passwd_file(): ZT password file (%) is readable by group or "
         "others (owner 0, mode 0644)", "open_connection(): Could not read ZT password file (%)"},
        {"/etc/opt/KRVXzt/ztadmin.pw", 0600, 65534, "read_passwd_file(): ZT password file (%) is not owned by root "
         "(owner 65534, mode 0600)", "open_connection(): Could not read ZT password file (%)"},
        {ds, 0664, 0, "read_ds_config(): config file (%) is writable by group or others (owner 0, mode 0664)",
         "read_ds_config(): could not open config file \"%\" (Permission denied)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refusal);
        ToolTree tree(ToolTree::sandbox_keys(*sandbox_));
        tree.write_password(sandbox_->password);
        tree.dir().write(ds.substr(1), read_file(sandbox_->root + ds));
        std::string path = tree.root() + c.file;
        ASSERT_EQ(chmod(path.c_str(), c.mode) | chown(path.c_str(), c.owner, 0), 0);
        tree.use();
        log_->clear();
        auto named = [&](std::string line) { return line.replace(line.find('%'), 1, path); };
        if (c.file == ds) {
            BackendList list{};
            EXPECT_EQ(read_ds_config(&list), ADMIN_ERR_NO_PERMISSION);
            free_backend(&list);
        } else {
            AdminStatus status = 99;
            EXPECT_EQ(_zt_dsConnect(3, nullptr, nullptr, nullptr, nullptr, &status), nullptr);
            EXPECT_EQ(status, ADMIN_ERR_NO_PERMISSION);
            EXPECT_EQ(Connection(open_connection(1, nullptr, nullptr, nullptr, nullptr)) != nullptr, true);
        }
        EXPECT_TRUE(log_->has(named(c.refusal))) << log_->all();
        EXPECT_TRUE(log_->has(named(c.failure))) << log_->all();
    }
    conn_.reset();
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1) << "dumpable again once no connection holds the password";
}

}  // namespace
}  // namespace zt::test
