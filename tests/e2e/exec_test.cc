// SPDX-License-Identifier: GPL-3.0-or-later
// exec_test.cc - the write executor against the sandbox: referrals to the
// primary, the kept primary session, retries, and the replication wait.
#include <chrono>
#include <functional>

#include "directory_fixture.h"

namespace zt::test {
namespace {

double seconds_of(const std::function<void()> &step) {
    auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Exec : public DirectoryTest {
protected:
    void SetUp() override {
        set_gdebug("d");  // every session opened is logged
        DirectoryTest::SetUp();
    }
    int opens_of(const std::string &host) const {
        return log_->count_prefix("(d) connecting to ldap://" + host + ":" + std::to_string(sandbox_->port) + " as ");
    }
};

// Every session the steps open is named in the log, but the primary accepts one connection: a session the steps drop
// is kept for the next step that opens one with the same identity, until the connection is closed.
TEST_F(Exec, ReferredWritesReachThePrimaryWhichIsKeptOnlyWhenAsked) {
    const int accepted = primary_->connections(), open = primary_->connections("Current");
    // A configured session that is gone is opened again first.
    ldap_unbind_ext_s(conn_->session, nullptr, nullptr);
    conn_->session = nullptr;
    std::string dn = "ztName=a," + base_;
    zt::ModList mods = container_mods("a"), more;
    more.push(LDAP_MOD_ADD, "ztName", {"alias"});
    // Each write returns once the configured server shows it.
    ASSERT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), mods.mods(), DS_SYNC), 0);
    EXPECT_TRUE(replica_->exists(dn));
    EXPECT_EQ(conn_->primary_session, nullptr);
    EXPECT_EQ(std::pair(opens_of(kReplicaHost), opens_of(kPrimaryHost)), std::pair(1, 1));
    // What a modify reads first: for a DN below 500 characters, of one entry.
    std::string longest = "ztName=" + std::string(492 - base_.size(), 'x') + "," + base_;
    EXPECT_EQ(zt_getmodtime(conn_.get(), longest.c_str()), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(zt_getmodtime(conn_.get(), (longest + "x").c_str()), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_getmodtime(conn_.get(), base_.c_str()), ADMIN_ERR_NOT_FOUND);  // it has a child
    EXPECT_NEAR(zt_getmodtime(conn_.get(), dn.c_str()), time(nullptr), 5);

    sleep(1);  // modification times count seconds
    ASSERT_EQ(zt_modifyDsEntry(conn_.get(), dn.c_str(), more.mods(), DS_KEEP_PRIMARY | DS_SYNC), 0);
    EXPECT_EQ(replica_->values(dn, "ztName").size(), 2u);
    EXPECT_STREQ(conn_->primary_name, kPrimaryHost);
    // Kept: the next write goes straight there; it fails, which drops it.
    ASSERT_NE(conn_->primary_session, nullptr);
    EXPECT_EQ(zt_addDsEntry(conn_.get(), dn.c_str(), mods.mods(), DS_KEEP_PRIMARY), ADMIN_ERR_EXISTS);
    EXPECT_EQ(opens_of(kPrimaryHost), 2);
    EXPECT_TRUE(conn_->primary_session == nullptr && conn_->primary_name == nullptr);

    ASSERT_EQ(zt_deleteDsEntry(conn_.get(), dn.c_str(), DS_SYNC), 0);
    EXPECT_FALSE(replica_->exists(dn));
    EXPECT_EQ(opens_of(kPrimaryHost), 3);
    EXPECT_EQ(log_->count_prefix("zt_LDAPexec"), 0) << log_->all();
    EXPECT_EQ(primary_->connections() - accepted, 1);

    // A session is kept for its whole bind: another password is bound anew, and refused as always.
    Connection other(open_connection(3, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(other, nullptr);
    std::free(other->password);
    other->password = strdup("not the password");
    EXPECT_EQ(zt_addDsEntry(other.get(), dn.c_str(), mods.mods(), 0), ADMIN_ERR_AUTH_FAILED);
    EXPECT_EQ(primary_->connections() - accepted, 2);
    other.reset();
    conn_.reset();
    for (int i = 0; i < 500 && primary_->connections("Current") != open; ++i) usleep(2000);
    EXPECT_EQ(primary_->connections("Current"), open);
}

// How often each failure is tried: the primary is opened once per attempt that was referred there.
TEST_F(Exec, RetryMakesExactlyOneMoreAttemptForRetryableFailures) {
    std::string existing = add("e", base_), missing = "ztName=missing," + base_;
    zt::ModList mods = container_mods("e");
    Connection anonymous(open_connection(1, nullptr, nullptr, nullptr, nullptr));
    struct Case { AdminConfig *conn; int op; std::string dn; int flags, status, primary_opens, replica_opens;
                  std::string line; } cases[] = {
        {conn_.get(), DS_OP_DELETE, missing, 0, ADMIN_ERR_INTERNAL, 1, 0,
         "zt_deleteDsEntry(): datastore operation failed No such object"},
        {conn_.get(), DS_OP_DELETE, missing, DS_RETRY, ADMIN_ERR_INTERNAL, 2, 0,
         "zt_deleteDsEntry(): datastore operation failed No such object"},
        {conn_.get(), DS_OP_ADD, existing, DS_RETRY, ADMIN_ERR_EXISTS, 1, 0,
         "zt_addDsEntry(): datastore operation failed Already exists"},
        {anonymous.get(), DS_OP_ADD, missing, DS_RETRY, ADMIN_ERR_NO_PERMISSION, 1, 0,
         "zt_addDsEntry(): datastore operation failed Insufficient access"},
        // Refused by the replica itself: retried on a fresh configured session.
        {conn_.get(), DS_OP_ADD, "not a dn", DS_RETRY, ADMIN_ERR_INTERNAL, 0, 1,
         "zt_addDsEntry(): datastore operation failed Invalid DN syntax"},
        {conn_.get(), 9, missing, DS_RETRY, ADMIN_ERR_INTERNAL, 0, 0, "zt_LDAPexec(): invalid operation 9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        log_->clear();
        ASSERT_NE(c.conn, nullptr);
        EXPECT_EQ(zt_LDAPexec(c.op, c.conn, c.dn.c_str(), c.op == DS_OP_ADD ? mods.mods() : nullptr, c.flags), c.status);
        EXPECT_EQ(std::pair(opens_of(kPrimaryHost), opens_of(kReplicaHost)), std::pair(c.primary_opens, c.replica_opens));
        auto lines = log_->lines();
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.primary_opens + c.replica_opens + 1)) << log_->all();
        EXPECT_EQ(lines.back(), c.line);
        EXPECT_EQ(c.conn->primary_session, nullptr);
    }
    EXPECT_EQ(zt_deleteDsEntry(nullptr, "o=x", 0), ADMIN_ERR_DB_UNREACHABLE);
}

// The stale server knows the administrator only by a password: this also shows that a configured simple bind is made.
TEST_F(Exec, StaleServerWithReferralsThatLeadNowhere) {
    Connection conn = connect_stale();
    ASSERT_NE(conn, nullptr);
    for (int flags : {0, DS_RETRY | DS_KEEP_PRIMARY}) {
        log_->clear();
        EXPECT_EQ(zt_deleteDsEntry(conn.get(), "cn=x,o=selfref", flags), ADMIN_ERR_BAD_REFERRAL);
        EXPECT_EQ(conn->primary_session, nullptr);
        EXPECT_EQ(opens_of(stale_->address()), 1);
        EXPECT_TRUE(log_->has("zt_deleteDsEntry(): unexpected response from server " + stale_->address() +
                              " - Invalid referral from the primary DS server")) << log_->all();
    }
    log_->clear();
    EXPECT_EQ(zt_deleteDsEntry(conn.get(), "cn=x,o=badref", DS_RETRY), ADMIN_ERR_INTERNAL);
    EXPECT_TRUE(log_->has("zt_deleteDsEntry(): failed to extract primary name from referral list")) << log_->all();

    // Lands on the primary, never shows here (where only its parent is): the
    // wait runs through all eight delays (25.5 s) and the call succeeds.
    std::string late = unique_name("late"), dn = "ztName=" + late + "," + kSuffix;
    zt::ModList mods = container_mods(late);
    double seconds = seconds_of([&] { EXPECT_EQ(zt_addDsEntry(conn.get(), dn.c_str(), mods.mods(), DS_SYNC), 0); });
    EXPECT_GE(seconds, 25.5);
    EXPECT_LT(seconds, 28.0);
    EXPECT_TRUE(primary_->exists(dn));
    EXPECT_TRUE(log_->has("zt_LDAPexec(): sync operation for zt_addDsEntry() failed: Data replication timed out"))
        << log_->all();
    primary_->remove_tree(dn);
}

// A stopped server (its kernel still accepts connections) costs each wait for an answer its bound,
// admin.server.optimeout, and the wait takes its usual failure path after a line naming the server, the operation and
// the DN; a server whose listen queue is full costs the connect admin.server.timeout.
TEST_F(Exec, StoppedOrOverrunServersCostEachWaitItsBound) {
    Connection conn = connect_stale({{"admin.server.optimeout", "1"}});
    ASSERT_NE(conn, nullptr);
    const std::string server = stale_->address() + ":" + std::to_string(sandbox_->port);
    auto gave_up = [&](const std::string &op, const std::string &dn, const char *outcome) {
        return "await_result(): DS server " + server + " did not answer the " + op + " of (" + dn +
               ") within 1 seconds; the request was abandoned" + outcome;
    };
    const std::string dn = "ztName=x," + std::string(kSuffix), users = "ztName=users, " + base_;
    zt::ModList mods = container_mods("x");
    AdminStatus status = 0;
    struct Case { const char *what; std::function<int()> run; int status, bounds; Strings lines; } cases[] = {
        {"search", [&] { return search_for_entries(conn->session, "objectclass=*", kSuffix, nullptr, 0, 0) ? 0 : -1; },
         -1, 1, {gave_up("search", kSuffix, ""), "search_for_entries(): LDAP search failed - Timed out"}},
        {"paged search", [&] { return start_iterator(conn.get(), ITERATOR_USERS, nullptr, nullptr) ? 0 : -1; }, -1, 1,
         {gave_up("paged search", users, "")}},
        // The modification time read first times out too; the modify is sent all the same.
        {"modify", [&] { return zt_modifyDsEntry(conn.get(), dn.c_str(), mods.mods(), DS_RETRY); },
         ADMIN_ERR_INTERNAL, 2,
         {gave_up("search", dn, ""), "zt_LDAPexec(): zt_modifyDsEntry() failed: Object not found",
          gave_up("modify", dn, " and its outcome is unknown"),
          "zt_modifyDsEntry(): DS operation failed to get result - Timed out"}},
        {"bind", [&] {
             Connection again(_zt_dsConnect(2, nullptr, sandbox_->password.c_str(),
                                            stale_tree_->config_path().c_str(), nullptr, &status));
             return again ? 0 : status;
         },
         ADMIN_ERR_INTERNAL, 1,
         {gave_up("bind", kAdminDn, ""), "open_connection(): Could not bind to DS server " + stale_->address() +
                                              " - Timed out"}},
    };
    Stopped stopped(stale_->pid());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log_->clear();
        int got = 0;
        double took = seconds_of([&] { got = c.run(); });
        EXPECT_EQ(got, c.status);
        EXPECT_GE(took, c.bounds - 0.1);
        EXPECT_LT(took, c.bounds + 3.0);
        for (const auto &line : c.lines) EXPECT_TRUE(log_->has(line)) << line << "\n" << log_->all();
    }

    // The command, as root: the stopped server ends `ztuser -l` at the bind's bound, a full listen queue at the
    // connect's, each with the connect's failure message.
    std::string overrun = "127.79." + std::to_string(getpid() / 250 % 250) + "." + std::to_string(getpid() % 250 + 2);
    FullListenQueue queue(overrun, sandbox_->port);
    ASSERT_TRUE(queue.full());
    for (const std::string &host : {stale_->address(), overrun}) {
        SCOPED_TRACE(host);
        ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.server.name", host}, {"admin.subtree", base_},
                                                         {"admin.server.optimeout", "2"},
                                                         {"admin.server.timeout", "2"}}));
        tree.write_password(sandbox_->password);
        RunResult r;
        double took = seconds_of([&] { r = run_ztuser({"-l"}, tree.root()); });
        EXPECT_EQ(r.err, "Error: could not connect to admin server\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_GE(took, 1.9);
        EXPECT_LT(took, 5.0);
    }
}

}  // namespace
}  // namespace zt::test
