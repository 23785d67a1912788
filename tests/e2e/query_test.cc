// SPDX-License-Identifier: GPL-3.0-or-later
// query_test.cc - the generic queries, the generation counter and the tree dump against the sandbox.
#include "directory_fixture.h"

namespace zt::test {
namespace {

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
    std::string b = add("b", base_), a = add("aa", base_), c = add("c", b);
    auto entry = [](const std::string &indent, const std::string &dn, const std::string &name) {
        return indent + "* " + dn + "\n" + indent + "  objectClass       = ztContainer\n" + indent +
               "  ztName            = " + name + "\n\n";
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_hierarchy(conn_.get(), 1, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              entry("", base_, base_.substr(7, base_.find(',') - 7)) + entry("  ", a, "aa") + entry("  ", b, "b") +
                  entry("    ", c, "c") + "\ntotal entries = 4\n");
    EXPECT_EQ(print_entry_hierarchy(conn_->session, ("ztName=none," + base_).c_str(), 1, 0, 0), -1);
    EXPECT_TRUE(log_->has("print_entry_hierarchy(): LDAP search failed - No such object")) << log_->all();
}

}  // namespace
}  // namespace zt::test
