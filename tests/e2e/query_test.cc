// query_test.cc - the generic queries, the generation counter and the tree
// dump against the sandbox.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "directory_fixture.h"

namespace zt::test {
namespace {

using Query = DirectoryTest;

TEST_F(Query, SearchModesAndTheSingleMatchRule) {
    add("deep", add("a", base_));
    add("b", base_);
    std::string missing = "ztName=none," + base_;
    LDAP *ld = conn_->session;
    struct Case {
        const char *filter;
        std::string base;
        int mode;
        int entries;  // -1: no result
        std::string line;
    } cases[] = {
        {"objectclass=*", base_, SEARCH_ALL, 4, ""},
        {"objectclass=*", base_, SEARCH_CHILDREN, 2, ""},
        {"objectclass=*", base_, SEARCH_SINGLE, -1,
         "search_for_entries(): Found multiple matching entries, was expecting a single match"},
        {"ztName=deep", base_, SEARCH_SINGLE, 1, ""},
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
    EXPECT_EQ(entry_exists(ld, "ztName=deep", base_.c_str()), 1);
    EXPECT_EQ(entry_exists(ld, "ztName=none", base_.c_str()), 0);
    EXPECT_EQ(entry_exists(ld, "ztName=deep", missing.c_str()), -1);
}

TEST_F(Query, ChildrenAreCountedAndDeletedLeavesOnly) {
    std::string a = add("a", base_), b = add("b", base_);
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
    EXPECT_STREQ(get_server_name(on_primary.get()), kPrimaryHost);
    EXPECT_EQ(delete_child_entries(on_primary->session, a.c_str()), 0);
    // a goes, b has a child and stops the walk.
    EXPECT_EQ(delete_child_entries(on_primary->session, base_.c_str()), -1);
    EXPECT_TRUE(log_->has("delete_child_entries(): LDAP delete failed - Operation not allowed on non-leaf"));
    EXPECT_FALSE(primary_->exists(a));
    EXPECT_EQ(delete_child_entries(on_primary->session, b.c_str()), 1);
    EXPECT_EQ(count_child_entries(on_primary->session, base_.c_str()), 2);
}

TEST_F(Query, GenerationCounterStartsStepsAndWraps) {
    // The counter lives below this test's own subtree.
    std::string counter = unique_name("gen"), dn = add(counter, base_);
    ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.subtree", base_}}));
    tree.write_password(sandbox_->password);
    tree.use();
    conn_.reset(open_connection(3, nullptr, nullptr, nullptr, nullptr));
    AdminConfig *c = conn_.get();
    ASSERT_NE(c, nullptr);
    const char *name = counter.c_str();
    EXPECT_EQ(zt_getGeneration(c, name), -1);
    EXPECT_EQ(zt_incGeneration(c, name), 0);
    auto classes = primary_->values(dn, "objectClass");
    EXPECT_NE(std::find(classes.begin(), classes.end(), "ztSynch"), classes.end());
    // Back to back: each increment reads what the one before wrote.
    for (int expected = 1; expected <= 3; ++expected) EXPECT_EQ(zt_incGeneration(c, name), expected);
    EXPECT_EQ(primary_->values(dn, "ztGenerationNumber"), std::vector<std::string>{"3"});
    EXPECT_EQ(zt_isGenerationValid(c, name, 3), 1);
    EXPECT_EQ(zt_isGenerationValid(c, name, 4), 0);

    // Set behind the library's back, as another tool would.
    Mods largest;
    largest.add(LDAP_MOD_REPLACE, "ztGenerationNumber", {"2147483647"});
    ASSERT_EQ(ldap_modify_ext_s(primary_->get(), dn.c_str(), largest.get(), nullptr, nullptr), LDAP_SUCCESS);
    for (int i = 0; i < 5000 && zt_getGeneration(c, name) != 2147483647; ++i) usleep(1000);
    EXPECT_EQ(zt_incGeneration(c, name), 0);
    EXPECT_EQ(zt_isGenerationValid(c, name, 2147483647), 1);
    EXPECT_EQ(zt_isGenerationValid(c, "no-such-counter", 0), 0);
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

// What print_entry_hierarchy printed on standard output, and its result.
std::string dump(AdminConfig *c, const std::string &dn, int print_attrs, int *result) {
    TempDir dir;
    std::string path = dir.path() + "/out";
    std::fflush(stdout);
    int saved = dup(1), fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    *result = dn.empty() ? print_hierarchy(c, print_attrs, 1) : print_entry_hierarchy(c->session, dn.c_str(), 1, print_attrs, 1);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_file(path);
}

TEST_F(Query, HierarchyDumpIsIndentedSortedAndCounted) {
    std::string b = add("b", base_);
    add("a", base_);
    add("c", b);
    int result = 99;
    EXPECT_EQ(dump(conn_.get(), base_, 0, &result), "* " + base_ + "\n  * ztName=a," + base_ + "\n  * " + b +
                                                       "\n    * ztName=c," + b + "\n\ntotal entries = 4\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(dump(conn_.get(), "ztName=none," + base_, 0, &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log_->has("print_entry_hierarchy(): LDAP search failed - No such object")) << log_->all();

    ToolTree tree(ToolTree::sandbox_keys(*sandbox_, {{"admin.subtree", b}}));
    tree.write_password(sandbox_->password);
    tree.use();
    Connection below_b(open_connection(3, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(below_b, nullptr);
    EXPECT_EQ(dump(below_b.get(), "", 1, &result),
              "* " + b + "\n  objectClass       = ztContainer\n  ztName            = b\n\n"
              "  * ztName=c," + b + "\n    objectClass       = ztContainer\n    ztName            = c\n\n"
              "\ntotal entries = 2\n");
}

}  // namespace
}  // namespace zt::test
