// SPDX-License-Identifier: GPL-3.0-or-later
// policy_test.cc - the local policy as the policy tool stand-in prints it,
// its pseudo-token code, and the filter of current logins by that code.
#include <sys/stat.h>

#include "auth_mgr.h"
#include "test_support.h"

namespace {

using zt::test::Strings;

// A root tree with the policy tool stand-in and a policy file.
class PolicyTree : public zt::test::RootDir {
public:
    PolicyTree() { link_program("ztpolicy", kTool); }
    void set(const std::string &policy) const {
        std::filesystem::remove(path() + "/" + kPolicy);
        write(kPolicy, policy);
    }
    void remove_tool() const { std::filesystem::remove(path() + "/" + kTool); }
    void fifo() const {
        std::filesystem::remove(path() + "/" + kPolicy);
        ASSERT_EQ(mkfifo((path() + "/" + kPolicy).c_str(), 0600), 0);
    }

private:
    static constexpr const char *kTool = "opt/KRVXzt/sbin/ztpolicy";
    static constexpr const char *kPolicy = "etc/opt/KRVXzt/policy";
};

TEST(PseudoPolicy, CodeOfThePolicyText) {
    PolicyTree tree;
    struct Case { const char *policy; int code; } cases[] = {
        {"-r card -s both", ZT_PSEUDO_NOT_LOCAL}, {"-r both", ZT_PSEUDO_REGISTERED_ONLY},
        {"-r both -s pseudo", ZT_PSEUDO_ALLOWED}, {"-r card -z both", ZT_PSEUDO_ALLOWED},
        {"", ZT_PSEUDO_ALLOWED},                  {"-z card -r pseudo\n", ZT_PSEUDO_REGISTERED_ONLY},
        {"-r pseudo -r card", ZT_PSEUDO_REGISTERED_ONLY},
        {"# written by hand\n-r\ncard\n# -s both\n", ZT_PSEUDO_NOT_LOCAL},
        {"-s both -r", ZT_PSEUDO_ALLOWED},
    };
    for (const auto &c : cases) {
        tree.set(c.policy);
        EXPECT_EQ(pseudo_allowed(), c.code) << c.policy;
    }
    // A FIFO in the policy file's place is no policy, refused at once.
    tree.fifo();
    EXPECT_EQ(pseudo_allowed(), -1);
    tree.set("# comment\n-r card -s both\n\n");
    char *text = get_local_policy();
    EXPECT_STREQ(text, "-r card -s both\n");
    std::free(text);

    // Without a tool that runs there is no policy.
    tree.remove_tool();
    EXPECT_EQ(get_local_policy(), nullptr);
    EXPECT_EQ(pseudo_allowed(), -1);
}

TEST(PseudoPolicy, FilterModes) {
    PolicyTree tree;
    AdminConfig *config = allocate_zta();
    set_zta_val(config, "admin.server.name", "srv");
    CurrentEntry *logins = nullptr;
    add_to_linked_list(&logins, "t3", "pseudo.c", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "t1", "card.a", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "t2", "pseudo.b", 2, "other", nullptr, 0);

    struct Case { const char *policy; int mode; Strings expected; } cases[] = {
        {"-r card", 1, {"t1 card.a srv", "t2 pseudo.b other", "t3 ??? srv"}},
        {"-r card", 2, {"t1 card.a srv", "t2 pseudo.b other"}},
        {"-r card", 3, {}},
        {"-z both", 2, {"t1 card.a srv", "t2 pseudo.b other", "t3 pseudo.c srv"}},
    };
    for (const auto &c : cases) {
        tree.set(c.policy);
        CurrentEntry *filtered = filter_pseudo_entries(config, logins, c.mode);
        EXPECT_EQ(zt::test::logins(filtered), c.expected) << c.policy << " mode " << c.mode;
        free_linked_list(&filtered);
    }
    EXPECT_EQ(zt::test::logins(logins), (Strings{"t1 card.a srv", "t2 pseudo.b other", "t3 pseudo.c srv"}));

    set_zta_val(config, "admin.server.name", std::string(256, 's').c_str());
    EXPECT_EQ(filter_pseudo_entries(config, logins, 1), nullptr);
    free_linked_list(&logins);
    free_zta(config);
}

}  // namespace
