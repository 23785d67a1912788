// SPDX-License-Identifier: GPL-3.0-or-later
// connection_test.cc - opening connections against the sandbox (the access level chooses the identity, and each way
// of failing reports its status and its log line), then the generic queries, the generation counter and the tree dump.
#include <sys/prctl.h>

#include "records_fixture.h"

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

using Query = DirectoryTest;

TEST_F(Query, SearchesExistenceChildrenAndTheGenerationCounter) {
    std::string a = add("a", base_), b = add("b", base_), missing = "ztName=none," + base_;
    add("c", b);
    add("d", base_);
    LDAP *ld = conn_->session;
    // entries: -1 for no result.
    struct Case { const char *filter; std::string base; int mode, entries; std::string line; } cases[] = {
        {"objectclass=*", base_, SEARCH_ALL, 5, ""},
        {"objectclass=*", base_, SEARCH_CHILDREN, 3, ""},
        {"objectclass=*", base_, SEARCH_SINGLE, -1,
         "search_for_entries(): Found multiple matching entries, was expecting a single match"},
        {"ztName=c", base_, SEARCH_SINGLE, 1, ""},
        {"ztName=none", base_, SEARCH_SINGLE, -1, ""},
        {"objectclass=*", missing, SEARCH_ALL, -1, "search_for_entries(): LDAP search failed - No such object"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " mode " + std::to_string(c.mode));
        log_->clear();
        zt::LdapMsgPtr result(search_for_entries(ld, c.filter, c.base.c_str(), nullptr, 0, c.mode));
        EXPECT_EQ(result ? ldap_count_entries(ld, result.get()) : -1, c.entries);
        EXPECT_EQ(log_->lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
    // ztName=c is deeper than one level.
    EXPECT_EQ((std::vector{entry_exists(ld, "ztName=c", base_.c_str()), entry_exists(ld, "ztName=none", base_.c_str()),
                           entry_exists(ld, "ztName=c", missing.c_str())}),
              (std::vector{1, 0, -1}));
    EXPECT_EQ((std::vector{count_child_entries(ld, base_.c_str()), count_child_entries(ld, a.c_str()),
                           count_child_entries(ld, missing.c_str())}),
              (std::vector{3, 0, -1}));

    // The replica refers deletes, which this function does not follow.
    EXPECT_EQ(delete_child_entries(ld, base_.c_str()), -1);
    EXPECT_TRUE(log_->has("delete_child_entries(): LDAP delete failed - Referral")) << log_->all();
    Connection on_primary(_zt_dsConnect(3, nullptr, nullptr, nullptr, kPrimaryHost, nullptr));
    ASSERT_NE(on_primary, nullptr);
    EXPECT_EQ(delete_child_entries(on_primary->session, a.c_str()), 0);
    // a goes, b has a child and stops the walk.
    EXPECT_EQ(delete_child_entries(on_primary->session, base_.c_str()), -1);
    EXPECT_TRUE(log_->has("delete_child_entries(): LDAP delete failed - Operation not allowed on non-leaf"));
    EXPECT_FALSE(primary_->exists(a));
    EXPECT_EQ(delete_child_entries(on_primary->session, b.c_str()), 1);
    EXPECT_EQ(count_child_entries(on_primary->session, base_.c_str()), 2);

    // The generation counter starts, steps and wraps; its name is escaped in the DN.
    log_->clear();
    AdminConfig *c = conn_.get();
    const char *name = "gen,ztName=b+x";
    std::string dn = add(name, base_);
    EXPECT_EQ(zt_getGeneration(c, name), -1);
    EXPECT_EQ(zt_incGeneration(c, name), 0);
    auto classes = primary_->values(dn, "objectClass");
    EXPECT_NE(std::find(classes.begin(), classes.end(), "ztSynch"), classes.end());
    // Back to back: each increment reads what the one before wrote.
    for (int expected = 1; expected <= 3; ++expected) EXPECT_EQ(zt_incGeneration(c, name), expected);
    EXPECT_EQ(primary_->values(dn, "ztGenerationNumber"), std::vector<std::string>{"3"});
    EXPECT_EQ(std::pair(zt_isGenerationValid(c, name, 3), zt_isGenerationValid(c, name, 4)), std::pair(1, 0));

    // Set behind the library's back, as another tool would.
    zt::ModList largest;
    largest.replace("ztGenerationNumber", "2147483647");
    ASSERT_EQ(ldap_modify_ext_s(primary_->get(), dn.c_str(), largest.mods(), nullptr, nullptr), LDAP_SUCCESS);
    for (int i = 0; i < 5000 && zt_getGeneration(c, name) != 2147483647; ++i) usleep(1000);
    EXPECT_EQ(zt_incGeneration(c, name), 0);
    EXPECT_EQ(zt_isGenerationValid(c, name, 2147483647), 1);
    EXPECT_EQ(log_->count_prefix("zt_"), 0) << log_->all();

    // "ztname=" + name + "," + subtree reaches 500 characters.
    std::string too_long(500 - 8 - base_.size(), 'n');
    log_->clear();
    EXPECT_EQ(zt_getGeneration(c, too_long.substr(1).c_str()), -1);  // looked up, not there
    EXPECT_EQ(zt_getGeneration(c, too_long.c_str()), -1);
    EXPECT_EQ(zt_incGeneration(c, too_long.c_str()), -1);
    EXPECT_EQ(log_->count_prefix("zt_getGeneration: basedn name too long"), 1);
    EXPECT_TRUE(log_->has("zt_incGeneration: basedn name too long"));
}

TEST_F(Query, HierarchyDumpIsIndentedSortedAndCounted) {
    // The server lists the shorter name first; by DN "aa" comes first.
    add("c", add("b", base_));
    add("aa", base_);
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_hierarchy(conn_.get(), 1, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              golden("hierarchy.txt", {{"@BASE@", base_}, {"@NAME@", base_.substr(7, base_.find(',') - 7)}}));
    EXPECT_EQ(print_entry_hierarchy(conn_->session, ("ztName=none," + base_).c_str(), 1, 0, 0), -1);
    EXPECT_TRUE(log_->has("print_entry_hierarchy(): LDAP search failed - No such object")) << log_->all();
}

}  // namespace
}  // namespace zt::test
