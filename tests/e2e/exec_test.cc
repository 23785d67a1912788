// exec_test.cc - the write executor against the sandbox: writes sent to the
// replica reach the primary through its referral, the primary session is
// kept or dropped as asked, failures are retried once, bad referrals end
// the call, and the replication wait gives up after its last delay.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "directory_fixture.h"

namespace zt::test {
namespace {

class Exec : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        setenv("ZTADMIN_ROOT", sandbox_->root.c_str(), 1);
        primary_ = std::make_unique<AdminSession>(*sandbox_, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*sandbox_, kReplicaHost);
        ASSERT_TRUE(primary_->bound());
        name_ = unique_name("exec");
        base_ = "ztName=" + name_ + "," + kSuffix;
        ASSERT_EQ(primary_->add_container(base_, name_), LDAP_SUCCESS);
        ASSERT_TRUE(replica_->wait_exists(base_, true));
        conn_.reset(open_connection(3, nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(conn_, nullptr);
        set_gdebug("d");
        log_ = std::make_unique<LogFile>();
    }
    void TearDown() override {
        set_gdebug("");
        conn_.reset();
        if (primary_ && !base_.empty()) primary_->remove_tree(base_);
    }

    std::string child(const std::string &name) const { return "ztName=" + name + "," + base_; }
    int opens_of(const std::string &host) const {
        return log_->count_prefix("(d) connecting to ldap://" + host + ":" + std::to_string(sandbox_->port) +
                                  " as ");
    }

    const Sandbox *sandbox_ = nullptr;
    std::unique_ptr<AdminSession> primary_, replica_;
    std::string name_, base_;
    Connection conn_;
    std::unique_ptr<LogFile> log_;
};

TEST_F(Exec, WriteThroughTheReplicaLandsOnThePrimaryThenOnTheReplica) {
    std::string dn = child("a");
    Mods add = container_mods("a");
    ASSERT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), 0), 0);
    EXPECT_TRUE(primary_->exists(dn));
    EXPECT_TRUE(replica_->wait_exists(dn, true));
    EXPECT_EQ(conn_->primary_session, nullptr);
    EXPECT_EQ(conn_->primary_name, nullptr);
    EXPECT_EQ(opens_of(kPrimaryHost), 1);

    Mods more;
    more.add(LDAP_MOD_ADD, "ztName", {"alias"});
    ASSERT_EQ(zt_modifyDsEntry(conn_.get(), dn.c_str(), more.get(), 0), 0);
    EXPECT_EQ(primary_->values(dn, "ztName").size(), 2u);

    ASSERT_EQ(zt_deleteDsEntry(conn_.get(), dn.c_str(), 0), 0);
    EXPECT_FALSE(primary_->exists(dn));
    EXPECT_TRUE(replica_->wait_exists(dn, false));
    EXPECT_EQ(opens_of(kPrimaryHost), 3);
    EXPECT_EQ(log_->count_prefix("zt_"), 0) << log_->all();
}

TEST_F(Exec, SyncWaitsUntilTheConfiguredServerShowsTheChange) {
    std::string dn = child("s");
    Mods add = container_mods("s");
    ASSERT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), DS_SYNC), 0);
    EXPECT_EQ(_dn_exists(conn_->session, dn.c_str()), 1);

    // The modification time has one-second resolution: modify in a later
    // second than the add, or the change cannot be told apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Mods more;
    more.add(LDAP_MOD_ADD, "ztName", {"alias"});
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(zt_modifyDsEntry(conn_.get(), dn.c_str(), more.get(), DS_SYNC), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(replica_->values(dn, "ztName").size(), 2u);

    ASSERT_EQ(zt_deleteDsEntry(conn_.get(), dn.c_str(), DS_SYNC), 0);
    EXPECT_EQ(_dn_exists(conn_->session, dn.c_str()), 0);
    EXPECT_EQ(log_->count_prefix("zt_LDAPexec(): sync"), 0) << log_->all();
}

TEST_F(Exec, KeepPrimaryReusesThePrimarySessionUntilACallWithoutIt) {
    std::string dn = child("k");
    Mods add = container_mods("k");
    ASSERT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), DS_KEEP_PRIMARY), 0);
    LDAP *kept = conn_->primary_session;
    ASSERT_NE(kept, nullptr);
    EXPECT_STREQ(conn_->primary_name, kPrimaryHost);

    Mods more;
    more.add(LDAP_MOD_ADD, "ztName", {"alias"});
    ASSERT_EQ(zt_modifyDsEntry(conn_.get(), dn.c_str(), more.get(), DS_KEEP_PRIMARY), 0);
    EXPECT_EQ(conn_->primary_session, kept);
    ASSERT_EQ(zt_deleteDsEntry(conn_.get(), dn.c_str(), 0), 0);
    EXPECT_EQ(conn_->primary_session, nullptr);
    EXPECT_EQ(conn_->primary_name, nullptr);
    EXPECT_EQ(opens_of(kPrimaryHost), 1);
}

TEST_F(Exec, FailedCallDropsTheKeptPrimarySession) {
    std::string dn = child("f");
    Mods add = container_mods("f");
    ASSERT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), DS_KEEP_PRIMARY), 0);
    ASSERT_NE(conn_->primary_session, nullptr);
    EXPECT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), DS_KEEP_PRIMARY), ADMIN_ERR_EXISTS);
    EXPECT_EQ(conn_->primary_session, nullptr);
    EXPECT_EQ(conn_->primary_name, nullptr);
}

// How often each failure is tried: the primary is opened once per attempt
// that was referred there.
TEST_F(Exec, RetryMakesExactlyOneMoreAttemptForRetryableFailures) {
    std::string existing = child("e");
    Mods add = container_mods("e");
    ASSERT_EQ(primary_->add(existing, {{"objectClass", "ztContainer"}, {"ztName", "e"}}), LDAP_SUCCESS);
    struct Case {
        const char *name;
        int op;
        std::string dn;
        int flags;
        AdminStatus status;
        int primary_opens;
        int replica_opens;
        std::string line;
    } cases[] = {
        {"missing, once", DS_OP_DELETE, child("missing"), 0, ADMIN_ERR_INTERNAL, 1, 0,
         "zt_deleteDsEntry(): datastore operation failed No such object"},
        {"missing, retried", DS_OP_DELETE, child("missing"), DS_RETRY, ADMIN_ERR_INTERNAL, 2, 0,
         "zt_deleteDsEntry(): datastore operation failed No such object"},
        {"exists, not retried", DS_OP_ADD, existing, DS_RETRY, ADMIN_ERR_EXISTS, 1, 0,
         "zt_addDsEntry(): datastore operation failed Already exists"},
        {"bad DN on the replica, once", DS_OP_ADD, "not a dn", 0, ADMIN_ERR_INTERNAL, 0, 0,
         "zt_addDsEntry(): datastore operation failed Invalid DN syntax"},
        {"bad DN on the replica, retried on a fresh session", DS_OP_ADD, "not a dn", DS_RETRY,
         ADMIN_ERR_INTERNAL, 0, 1, "zt_addDsEntry(): datastore operation failed Invalid DN syntax"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        EXPECT_EQ(zt_LDAPexec(c.op, conn_.get(), c.dn.c_str(), c.op == DS_OP_ADD ? add.get() : nullptr,
                              c.flags),
                  c.status);
        EXPECT_EQ(opens_of(kPrimaryHost), c.primary_opens) << log_->all();
        EXPECT_EQ(opens_of(kReplicaHost), c.replica_opens) << log_->all();
        auto lines = log_->lines();
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.primary_opens + c.replica_opens + 1)) << log_->all();
        EXPECT_EQ(lines.back(), c.line);
        EXPECT_EQ(conn_->primary_session, nullptr);
    }
}

TEST_F(Exec, NoPermissionIsNotRetried) {
    Connection anonymous(open_connection(1, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(anonymous, nullptr);
    log_->clear();
    std::string dn = child("anon");
    Mods add = container_mods("anon");
    EXPECT_EQ(zt_addDsEntry(anonymous.get(), dn.c_str(), add.get(), DS_RETRY), ADMIN_ERR_NO_PERMISSION);
    EXPECT_EQ(opens_of(kPrimaryHost), 1);
    EXPECT_TRUE(log_->has("zt_addDsEntry(): datastore operation failed Insufficient access")) << log_->all();
    EXPECT_FALSE(primary_->exists(dn));
}

TEST_F(Exec, ReopensAConfiguredSessionThatIsGone) {
    ldap_unbind_ext_s(conn_->session, nullptr, nullptr);
    conn_->session = nullptr;
    std::string dn = child("r");
    Mods add = container_mods("r");
    EXPECT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), add.get(), 0), 0);
    EXPECT_NE(conn_->session, nullptr);
    EXPECT_EQ(opens_of(kReplicaHost), 1);
    EXPECT_TRUE(primary_->exists(dn));
}

TEST_F(Exec, InvalidOperationAndMissingConnectionSendNothing) {
    LDAP *before = conn_->session;
    EXPECT_EQ(zt_LDAPexec(9, conn_.get(), child("x").c_str(), nullptr, DS_RETRY), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(conn_->session, before);
    EXPECT_EQ(log_->lines(), std::vector<std::string>{"zt_LDAPexec(): invalid operation 9"});
    EXPECT_EQ(zt_LDAPexec(DS_OP_DELETE, nullptr, child("x").c_str(), nullptr, 0), ADMIN_ERR_DB_UNREACHABLE);
    EXPECT_EQ(zt_deleteDsEntry(nullptr, "o=x", 0), ADMIN_ERR_DB_UNREACHABLE);
}

TEST_F(Exec, ModificationTimeOfAnEntry) {
    std::string dn = child("t");
    ASSERT_EQ(primary_->add(dn, {{"objectClass", "ztContainer"}, {"ztName", "t"}}), LDAP_SUCCESS);
    ASSERT_TRUE(replica_->wait_exists(dn, true));
    int when = zt_getmodtime(conn_.get(), dn.c_str());
    EXPECT_LE(std::abs(when - static_cast<int>(time(nullptr))), 5);

    std::string long_dn(501, 'x');
    std::string limit_dn = "ztName=y," + std::string(491 - base_.size(), 'x') + base_;
    ASSERT_EQ(limit_dn.size(), 500u);
    std::string missing = child("missing");
    struct Case {
        AdminConfig *conn;
        const char *dn;
        int result;
    } cases[] = {
        {nullptr, dn.c_str(), ADMIN_ERR_INVALID_ARGS},
        {conn_.get(), nullptr, ADMIN_ERR_INVALID_ARGS},
        {conn_.get(), "", ADMIN_ERR_INVALID_ARGS},
        {conn_.get(), long_dn.c_str(), ADMIN_ERR_INVALID_ARGS},
        {conn_.get(), limit_dn.c_str(), ADMIN_ERR_NOT_FOUND},
        {conn_.get(), missing.c_str(), ADMIN_ERR_NOT_FOUND},
        {conn_.get(), base_.c_str(), ADMIN_ERR_NOT_FOUND},  // the subtree holds two entries
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dn != nullptr ? std::string(c.dn).substr(0, 40) : "(null)");
        EXPECT_EQ(zt_getmodtime(c.conn, c.dn), c.result);
    }
}

TEST_F(Exec, DnExistsSplitsAtTheFirstComma) {
    std::string dn = child("d");
    ASSERT_EQ(primary_->add(dn, {{"objectClass", "ztContainer"}, {"ztName", "d"}}), LDAP_SUCCESS);
    ASSERT_TRUE(replica_->wait_exists(dn, true));
    EXPECT_EQ(_dn_exists(conn_->session, dn.c_str()), 1);
    EXPECT_EQ(_dn_exists(conn_->session, child("none").c_str()), 0);
    EXPECT_EQ(_dn_exists(conn_->session, "ztName=x,ztName=nowhere,o=ztdata"), -1);
    EXPECT_EQ(_dn_exists(conn_->session, "o=ztdata"), ADMIN_ERR_INVALID_ARGS);
}

TEST_F(Exec, PrimaryIsReachable) {
    EXPECT_EQ(check_primary(), 0);
    EXPECT_EQ(log_->count_prefix("check_primary"), 0);
}

TEST(PrimaryCheck, FailsWithoutDataStoreConfiguration) {
    ZT_REQUIRE_SANDBOX();
    LogFile log;
    TempDir empty;
    setenv("ZTADMIN_ROOT", empty.path().c_str(), 1);
    ZT_EXPECT_STATUS_IN_FRESH_PROCESS(log, ADMIN_ERR_NO_SUCH_FILE, check_primary());
    unsetenv("ZT_TEST_PARENT_LOG");
    EXPECT_TRUE(log.has("check_primary(): unable to retrieve LDAP primary server info - "
                        "File or directory does not exist"))
        << log.all();
}

// Against a read-only server that never catches up and whose referrals
// lead nowhere useful.
class ExecStale : public Exec {
protected:
    void SetUp() override {
        Exec::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        stale_ = std::make_unique<StaleShadow>(*sandbox_);
        ASSERT_TRUE(stale_->running());
        tree_ = std::make_unique<ToolTree>(ToolTree::sandbox_keys(
            *sandbox_, {{"admin.server.name", stale_->address()}, {"admin.server.authmech", "SIMPLE"}}));
        stale_conn_.reset(open_connection(2, nullptr, sandbox_->password.c_str(),
                                          tree_->config_path().c_str(), nullptr));
        ASSERT_NE(stale_conn_, nullptr);
        log_->clear();
    }
    void TearDown() override {
        stale_conn_.reset();
        Exec::TearDown();
    }
    int stale_opens() const {
        return log_->count_prefix("(d) connecting to ldap://" + stale_->address() + ":");
    }

    std::unique_ptr<StaleShadow> stale_;
    std::unique_ptr<ToolTree> tree_;
    Connection stale_conn_;
};

TEST_F(ExecStale, ReferralFromThePrimaryIsRefused) {
    for (int flags : {0, DS_RETRY | DS_KEEP_PRIMARY}) {
        SCOPED_TRACE(flags);
        log_->clear();
        EXPECT_EQ(zt_deleteDsEntry(stale_conn_.get(), "cn=x,o=selfref", flags), ADMIN_ERR_BAD_REFERRAL);
        EXPECT_EQ(stale_conn_->primary_session, nullptr);
        EXPECT_EQ(stale_opens(), 1);
        EXPECT_TRUE(log_->has("zt_deleteDsEntry(): unexpected response from server " + stale_->address() +
                              " - Invalid referral from the primary DS server"))
            << log_->all();
    }
}

TEST_F(ExecStale, ReferralWithoutAnLdapUrlIsRefused) {
    EXPECT_EQ(zt_deleteDsEntry(stale_conn_.get(), "cn=x,o=badref", DS_RETRY), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(log_->lines(),
              std::vector<std::string>{"zt_deleteDsEntry(): failed to extract primary name from referral list"});
    EXPECT_EQ(stale_conn_->primary_session, nullptr);
}

// The write lands on the primary but never shows on the configured server:
// the wait runs through all eight delays (25.5 s), is logged, and the call
// still succeeds.
TEST_F(ExecStale, SyncGivesUpAfterTheLastDelay) {
    // The stale server holds only the root entry.
    std::string late = unique_name("late");
    std::string dn = "ztName=" + late + "," + kSuffix;
    Mods add = container_mods(late);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zt_addDsEntry(stale_conn_.get(), dn.c_str(), add.get(), DS_SYNC), 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 25.5);
    EXPECT_LT(seconds, 28.0);
    EXPECT_TRUE(primary_->exists(dn));
    EXPECT_TRUE(log_->has("zt_LDAPexec(): sync operation for zt_addDsEntry() failed: Data replication timed out"))
        << log_->all();
    EXPECT_EQ(stale_conn_->primary_session, nullptr);
    primary_->remove(dn);
}

}  // namespace
}  // namespace zt::test
