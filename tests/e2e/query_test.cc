// query_test.cc - the generic queries, the generation counter, the tree
// dump and the configuration probe against the sandbox.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "directory_fixture.h"

namespace zt::test {
namespace {

// What `body` printed on standard output.
std::string capture_stdout(const std::function<void()> &body) {
    TempDir dir;
    std::string path = dir.path() + "/out";
    std::fflush(stdout);
    int saved = dup(1);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_file(path);
}

class Query : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        setenv("ZTADMIN_ROOT", sandbox_->root.c_str(), 1);
        primary_ = std::make_unique<AdminSession>(*sandbox_, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*sandbox_, kReplicaHost);
        ASSERT_TRUE(primary_->bound());
        name_ = unique_name("query");
        base_ = "ztName=" + name_ + "," + kSuffix;
        ASSERT_EQ(primary_->add_container(base_, name_), LDAP_SUCCESS);
        conn_.reset(open_connection(3, nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(conn_, nullptr);
        log_ = std::make_unique<LogFile>();
    }
    void TearDown() override {
        conn_.reset();
        if (primary_ && !base_.empty()) primary_->remove_tree(base_);
        for (const auto &dn : cleanup_) primary_->remove_tree(dn);
    }

    // Adds the container `name` below `parent` on the primary and waits
    // until the replica has it.
    std::string add(const std::string &name, const std::string &parent) {
        std::string dn = "ztName=" + name + "," + parent;
        EXPECT_EQ(primary_->add_container(dn, name), LDAP_SUCCESS);
        EXPECT_TRUE(replica_->wait_exists(dn, true));
        return dn;
    }

    const Sandbox *sandbox_ = nullptr;
    std::unique_ptr<AdminSession> primary_, replica_;
    std::string name_, base_;
    std::vector<std::string> cleanup_;
    Connection conn_;
    std::unique_ptr<LogFile> log_;
};

int count(LDAP *ld, LDAPMessage *result) { return result != nullptr ? ldap_count_entries(ld, result) : -1; }

TEST_F(Query, SearchModesAndTheSingleMatchRule) {
    std::string a = add("a", base_);
    add("deep", a);
    add("b", base_);
    LDAP *ld = conn_->session;
    struct Case {
        const char *name;
        const char *filter;
        std::string base;
        int mode;
        int entries;  // -1: no result
        std::string line;
    } cases[] = {
        {"all below", "objectclass=*", base_, SEARCH_ALL, 4, ""},
        {"children", "objectclass=*", base_, SEARCH_CHILDREN, 2, ""},
        {"single of a subtree", "objectclass=*", base_, SEARCH_SINGLE, -1,
         "search_for_entries(): Found multiple matching entries, was expecting a single match"},
        {"single deep match", "ztName=deep", base_, SEARCH_SINGLE, 1, ""},
        {"single, none", "ztName=none", base_, SEARCH_SINGLE, -1, ""},
        {"all, none", "ztName=none", base_, SEARCH_ALL, 0, ""},
        {"missing base", "objectclass=*", "ztName=none," + base_, SEARCH_ALL, -1,
         "search_for_entries(): LDAP search failed - No such object"},
        {"bad filter", "(ztName=", base_, SEARCH_ALL, -1, "search_for_entries(): LDAP search failed - Bad search filter"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        zt::LdapMsgPtr result(search_for_entries(ld, c.filter, c.base.c_str(), nullptr, 0, c.mode));
        EXPECT_EQ(count(ld, result.get()), c.entries);
        EXPECT_EQ(log_->lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
    EXPECT_EQ(search_for_entries(nullptr, "objectclass=*", base_.c_str(), nullptr, 0, SEARCH_ALL), nullptr);
}

TEST_F(Query, EntryExistsLooksAtTheWholeSubtree) {
    std::string a = add("a", base_);
    add("deep", a);
    LDAP *ld = conn_->session;
    EXPECT_EQ(entry_exists(ld, "ztName=deep", base_.c_str()), 1);
    EXPECT_EQ(entry_exists(ld, "ztName=none", base_.c_str()), 0);
    EXPECT_EQ(entry_exists(ld, "ztName=deep", ("ztName=none," + base_).c_str()), -1);
}

TEST_F(Query, ChildrenAreCountedAndDeletedLeavesOnly) {
    std::string a = add("a", base_);
    std::string b = add("b", base_);
    add("c", b);
    add("d", base_);
    EXPECT_EQ(count_child_entries(conn_->session, base_.c_str()), 3);
    EXPECT_EQ(count_child_entries(conn_->session, a.c_str()), 0);
    EXPECT_EQ(count_child_entries(conn_->session, ("ztName=none," + base_).c_str()), -1);

    // The replica refers deletes, which this function does not follow.
    EXPECT_EQ(delete_child_entries(conn_->session, base_.c_str()), -1);
    EXPECT_TRUE(log_->has("delete_child_entries(): LDAP delete failed - Referral")) << log_->all();

    Connection on_primary(_zt_dsConnect(3, nullptr, nullptr, nullptr, kPrimaryHost, nullptr));
    ASSERT_NE(on_primary, nullptr);
    EXPECT_EQ(delete_child_entries(on_primary->session, a.c_str()), 0);
    log_->clear();
    // a goes, b has a child and stops the walk.
    EXPECT_EQ(delete_child_entries(on_primary->session, base_.c_str()), -1);
    EXPECT_TRUE(log_->has("delete_child_entries(): LDAP delete failed - Operation not allowed on non-leaf"))
        << log_->all();
    EXPECT_FALSE(primary_->exists(a));
    EXPECT_TRUE(primary_->exists(b));
    EXPECT_EQ(delete_child_entries(on_primary->session, b.c_str()), 1);
    EXPECT_EQ(count_child_entries(on_primary->session, base_.c_str()), 2);
}

class Generation : public Query {
protected:
    void SetUp() override {
        Query::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        counter_ = unique_name("gen");
        dn_ = add(counter_, kSuffix);
        cleanup_.push_back(dn_);
    }
    // Writes the counter behind the library's back, as another tool would.
    void set_counter(int value) {
        ASSERT_EQ(primary_->replace(dn_, "ztGenerationNumber", std::to_string(value)), LDAP_SUCCESS);
        for (int i = 0; i < 5000 && zt_getGeneration(conn_.get(), counter_.c_str()) != value; ++i) usleep(1000);
        ASSERT_EQ(zt_getGeneration(conn_.get(), counter_.c_str()), value);
    }
    std::string counter_, dn_;
};

TEST_F(Generation, FirstIncrementCreatesTheCounterAndEachOneIsSeenByTheNext) {
    AdminConfig *c = conn_.get();
    EXPECT_EQ(zt_getGeneration(c, counter_.c_str()), -1);
    EXPECT_EQ(zt_incGeneration(c, counter_.c_str()), 0);
    auto classes = primary_->values(dn_, "objectClass");
    EXPECT_NE(std::find(classes.begin(), classes.end(), "ztSynch"), classes.end());
    // Back to back: each increment reads what the one before wrote.
    for (int expected = 1; expected <= 5; ++expected) EXPECT_EQ(zt_incGeneration(c, counter_.c_str()), expected);
    EXPECT_EQ(zt_getGeneration(c, counter_.c_str()), 5);
    EXPECT_EQ(primary_->values(dn_, "ztGenerationNumber"), std::vector<std::string>{"5"});
    EXPECT_EQ(log_->count_prefix("zt_"), 0) << log_->all();
}

TEST_F(Generation, CounterWrapsAfterItsLargestValue) {
    ASSERT_EQ(zt_incGeneration(conn_.get(), counter_.c_str()), 0);
    set_counter(2147483646);
    EXPECT_EQ(zt_incGeneration(conn_.get(), counter_.c_str()), 2147483647);
    EXPECT_EQ(zt_incGeneration(conn_.get(), counter_.c_str()), 0);
    EXPECT_EQ(zt_isGenerationValid(conn_.get(), counter_.c_str(), 2147483647), 1);
    EXPECT_EQ(zt_isGenerationValid(conn_.get(), counter_.c_str(), 1), 0);
}

TEST_F(Generation, ValidityComparesWithTheCounterOnTheConfiguredServer) {
    ASSERT_EQ(zt_incGeneration(conn_.get(), counter_.c_str()), 0);
    set_counter(5);
    AdminConfig *c = conn_.get();
    struct Case {
        AdminConfig *conn;
        const char *name;
        int generation;
        int valid;
    } cases[] = {
        {c, counter_.c_str(), 5, 1}, {c, counter_.c_str(), 3, 1}, {c, counter_.c_str(), 0, 1},
        {c, counter_.c_str(), 6, 0}, {c, counter_.c_str(), -1, 0}, {c, "no-such-counter", 0, 0},
        {c, "", 0, 0},               {c, nullptr, 0, 0},           {nullptr, counter_.c_str(), 5, 0},
    };
    for (const auto &v : cases) {
        SCOPED_TRACE(std::to_string(v.generation) + " " + (v.name ? v.name : "(null)"));
        EXPECT_EQ(zt_isGenerationValid(v.conn, v.name, v.generation), v.valid);
    }
}

TEST_F(Generation, RefusedNamesAndMissingEntries) {
    AdminConfig *c = conn_.get();
    // "ztname=" + name + "," + "o=ztdata" reaches 500 characters.
    std::string too_long(500 - 16, 'n');
    std::string longest(too_long.size() - 1, 'n');
    EXPECT_EQ(zt_getGeneration(c, too_long.c_str()), -1);
    EXPECT_EQ(zt_incGeneration(c, too_long.c_str()), -1);
    EXPECT_EQ(log_->lines(), (std::vector<std::string>{"zt_getGeneration: basedn name too long",
                                                       "zt_incGeneration: basedn name too long"}));
    log_->clear();
    EXPECT_EQ(zt_getGeneration(c, longest.c_str()), -1);
    EXPECT_EQ(log_->count_prefix("zt_getGeneration: basedn"), 0);

    EXPECT_EQ(zt_getGeneration(nullptr, counter_.c_str()), -1);
    EXPECT_EQ(zt_getGeneration(c, ""), -1);
    EXPECT_EQ(zt_incGeneration(c, nullptr), -1);
    EXPECT_EQ(zt_incGeneration(c, "no-such-counter"), -1);
}

TEST_F(Query, HierarchyDumpIsIndentedSortedAndCounted) {
    std::string b = add("b", base_);
    add("a", base_);
    add("c", b);
    std::string sorted = capture_stdout([&] { EXPECT_EQ(print_entry_hierarchy(conn_->session, base_.c_str(), 1, 0, 1), 0); });
    EXPECT_EQ(sorted, "* " + base_ + "\n" +
                          "  * ztName=a," + base_ + "\n" +
                          "  * ztName=b," + base_ + "\n" +
                          "    * ztName=c,ztName=b," + base_ + "\n" +
                          "\ntotal entries = 4\n");
    EXPECT_EQ(global_num_entries, 4);

    ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.subtree", "ztName=b," + base_}}));
    tree.write_password(sandbox_->password);
    tree.use();
    Connection below_b(open_connection(3, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(below_b, nullptr);
    std::string with_attributes = capture_stdout([&] { EXPECT_EQ(print_hierarchy(below_b.get(), 1, 1), 0); });
    EXPECT_EQ(with_attributes, "* ztName=b," + base_ + "\n" +
                                   "  objectClass       = ztContainer\n"
                                   "  ztName            = b\n"
                                   "\n"
                                   "  * ztName=c,ztName=b," + base_ + "\n" +
                                   "    objectClass       = ztContainer\n"
                                   "    ztName            = c\n"
                                   "\n"
                                   "\ntotal entries = 2\n");

    std::string missing = capture_stdout([&] {
        EXPECT_EQ(print_entry_hierarchy(conn_->session, ("ztName=none," + base_).c_str(), 1, 0, 0), -1);
    });
    EXPECT_EQ(missing, "");
    EXPECT_TRUE(log_->has("print_entry_hierarchy(): LDAP search failed - No such object")) << log_->all();
}

TEST_F(Query, ExistenceOnTheConfiguredOrThePrimaryServer) {
    // Written on the primary just now: the primary has it whether or not
    // the replica has caught up.
    std::string dn = "ztName=fresh," + base_;
    ASSERT_EQ(primary_->add_container(dn, "fresh"), LDAP_SUCCESS);
    AdminConfig *c = conn_.get();
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=fresh", base_.c_str(), 1), 0);
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=none", base_.c_str(), 1), ADMIN_ERR_NOT_FOUND);
    ASSERT_TRUE(replica_->wait_exists(dn, true));
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=fresh", base_.c_str(), 0), 0);
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=none", base_.c_str(), 0), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=x", ("ztName=none," + base_).c_str(), 0), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(_zt_dsEntryExists(nullptr, "ztName=x", base_.c_str(), 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(_zt_dsEntryExists(c, nullptr, base_.c_str(), 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(_zt_dsEntryExists(c, "ztName=x", nullptr, 1), ADMIN_ERR_INVALID_ARGS);

    Connection anonymous(open_connection(1, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(anonymous, nullptr);
    EXPECT_EQ(_zt_dsEntryExists(anonymous.get(), "ztName=fresh", base_.c_str(), 1), 0);
}

// When the primary cannot be asked, the caller learns why rather than
// "not found".
TEST(EntryExistsOnPrimary, PrimaryThatCannotBeAsked) {
    ZT_REQUIRE_SANDBOX();
    Connection conn(open_connection(3, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(conn, nullptr);
    std::string ds_config = std::string(kEtc).substr(1) + "/qmds/current/ztdsd.conf";
    auto ds_conf = [&](const std::string &referral) {
        return "database\tmdb\nsuffix\t\"o=ztdata\"\nslave\tsubtree=\"o=ztdata\" replicadn=\"cn=admin,o=ztdata\"\n"
               "\treferral=" + referral + "\n";
    };
    std::string port = std::to_string(sandbox->port);
    struct Case {
        const char *name;
        std::string ds_config;  // empty: none
        const char *password;
        bool with_dbm;
        AdminStatus status;
        std::string line;
    } cases[] = {
        {"no data-store configuration", "", nullptr, true, ADMIN_ERR_CONFIG,
         "zt_EntryExists(): failed to retrieve primary server name"},
        {"primary not listening", ds_conf("ldap://127.0.0.2:1"), nullptr, true, ADMIN_ERR_SERVER_UNREACHABLE,
         "zt_EntryExists(): failed to contact primrary server 127.0.0.2"},
        {"wrong password", ds_conf("ldap://127.0.0.2:" + port), "wrong", true, ADMIN_ERR_AUTH_FAILED,
         "zt_EntryExists(): failed to authenticate with 127.0.0.2"},
        {"no status files", ds_conf("ldap://127.0.0.2:" + port), "@GOOD@", false, ADMIN_ERR_INTERNAL,
         "zt_EntryExists(): failed to connect to 127.0.0.2 - Failed to open DBM files"},
    };
    LogFile log;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        ToolTree tree(ToolTree::sandbox_keys(*sandbox), c.with_dbm);
        if (!c.ds_config.empty()) {
            std::string path = tree.root() + "/" + ds_config;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            std::ofstream(path) << c.ds_config;
        }
        if (c.password != nullptr) {
            tree.write_password(std::string(c.password) == "@GOOD@" ? sandbox->password : c.password);
        }
        tree.use();
        ZT_EXPECT_STATUS_IN_FRESH_PROCESS(log, c.status, _zt_dsEntryExists(conn.get(), "ztName=x", kSuffix, 1));
        EXPECT_TRUE(log.has(c.line)) << log.all();
    }
    unsetenv("ZT_TEST_PARENT_LOG");
}

TEST_F(Query, ConfigurationProbe) {
    char *path = reinterpret_cast<char *>(1);
    EXPECT_EQ(zt_DSConfigured(&path), 0);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), sandbox_->config_path());
    std::free(path);

    TempDir empty;
    setenv("ZTADMIN_ROOT", empty.path().c_str(), 1);
    path = reinterpret_cast<char *>(1);
    EXPECT_EQ(zt_DSConfigured(&path), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(log_->all(), "");

    empty.write("etc", "a file where a directory belongs");
    EXPECT_EQ(zt_DSConfigured(&path), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(log_->lines(), std::vector<std::string>{"zt_DSConfigured(): Failed due to error - Not a directory"});
}

}  // namespace
}  // namespace zt::test
