// SPDX-License-Identifier: GPL-3.0-or-later
// Terminal records without a directory: splitting terminal IDs, reading member lists, the member-list edits with their
// text quirks, the desktop filter's escaping and limit, and the group print layout.
#include "terminal_records.h"
#include "test_support.h"

namespace {

using zt::test::chars;
using zt::test::Strings;

Strings take(char **list) {
    Strings out;
    for (char **s = list; s != nullptr && *s != nullptr; ++s) out.emplace_back(*s);
    free_dtulist(list);
    return out;
}

TEST(TerminalIds, SplitAtTheFirstDotAndListsKeepTrimmedItems) {
    struct Case { const char *cid, *name_space, *id; } cases[] = {
        {"MAC.a.b", "MAC", "a.b"}, {"0a01", "(none)", "0a01"}, {".x", "", "x"}, {"x.", "x", ""}};
    for (const Case &c : cases) {
        char *ns = nullptr, *id = nullptr;
        ASSERT_EQ(zt_split_CID(c.cid, &ns, &id), 0) << c.cid;
        EXPECT_STREQ(ns ? ns : "(none)", c.name_space) << c.cid;
        EXPECT_STREQ(id, c.id) << c.cid;
        zt_freeDtuCID(ns);
        zt_freeDtuCID(id);
    }

    // Member lists keep their trimmed, non-empty items.
    char **list = reinterpret_cast<char **>(1);
    EXPECT_EQ(parse_dtulist(" a , ,b,,\tc ", &list), 3);
    EXPECT_EQ(take(list), (Strings{"a", "b", "c"}));
    EXPECT_EQ(parse_dtulist(",,", &list), 0);
    EXPECT_NE(list, nullptr) << "a list text without members still gives an (empty) array";
    free_dtulist(list);
    for (const char *none : {"", static_cast<const char *>(nullptr)}) {
        EXPECT_EQ(parse_dtulist(none, &list), 0);
        EXPECT_EQ(list, nullptr);
    }
}

// The list is edited as lower-cased text: a cut leaves its neighbours' commas but a trailing one, an added CID keeps
// its case, and a CID inside another member's CID counts as present.
TEST(TerminalIds, MemberListEditsFollowTheTextRules) {
    using L = zt::ListChange;
    struct Case { const char *list, *cid; bool add; L::What what; const char *result; } cases[] = {
        {"a1,b1,c1", "c1", false, L::kWrite, "a1,b1"},
        {"a1,b1,c1", "B1", false, L::kWrite, "a1,,c1"},
        {"A1,b1,c1", "a1", false, L::kWrite, ",b1,c1"},
        {"a1", "A1", false, L::kDeleteGroup, ""},
        {"a1,", "a1", false, L::kDeleteGroup, ""},
        {"a1,b1", "z9", false, L::kUnchanged, ""},
        {nullptr, "z9", false, L::kUnchanged, ""},
        {"A1,B1", "Z9", true, L::kWrite, "a1,b1,Z9"},
        {"ab12,cd", "B1", true, L::kUnchanged, ""},
        {"ab12,cd", "b1", false, L::kWrite, "a2,cd"},
        {nullptr, "Z9", true, L::kWrite, "Z9"},
        {"", "Z9", true, L::kWrite, "Z9"},
    };
    for (const Case &c : cases) {
        L change = zt::edit_member_list(c.list, c.cid, c.add);
        EXPECT_EQ(change.what, c.what) << (c.list ? c.list : "(none)") << " " << c.cid;
        EXPECT_EQ(change.list, c.result) << (c.list ? c.list : "(none)") << " " << c.cid;
    }
}

// Which namespaces find which desktop is the directory tests' (desktop_groups_test); here the escaping and the limit.
TEST(TerminalIds, DesktopFilterEscapesAndIsLimited) {
    EXPECT_EQ(zt::desktop_filter(zt::split_cid("M*.0a(1)")).value_or("none"),
              "(&(objectclass=ztDesktop)(ztID=0a\\281\\29)(ztNamespace=M\\2a))");
    // 499 characters fit, 500 do not; escaping does not count.
    std::string fixed = "(&(objectclass=ztDesktop)(ztID=)(ztNamespace=N))";
    std::string id(499 - fixed.size(), '*');
    EXPECT_TRUE(zt::desktop_filter(zt::split_cid("N." + id)).has_value());
    EXPECT_FALSE(zt::desktop_filter(zt::split_cid("N." + id + "1")).has_value());
}

TEST(TerminalGroups, PrintLayout) {
    char *members[] = {chars("IEEE802.0a01"), chars("IEEE802.0b02"), nullptr};
    DtuGrp listed{chars("g1"), chars("MULTIHEAD"), nullptr, 1, 1, members};
    DtuGrp unlisted{chars("g2"), chars("T"), chars("pd"), -1, 0, nullptr};
    DtuGrp *groups[] = {&listed, &unlisted, nullptr};
    EXPECT_EQ(zt::test::printed([&](FILE *stream) { zt_printDtuGrp(stream, groups); }),
              "Entry #1:\n\tDTU Group ID: g1\n\tprivate data: \n\tGroup Type: MULTIHEAD\n\tprimary Index: 1\n"
              "\tnumber of DTUs: 1\n\tDUT list:\n\t\tIEEE802.0a01\n\n"
              "Entry #2:\n\tDTU Group ID: g2\n\tprivate data: pd\n\tGroup Type: T\n\tprimary Index: -1\n"
              "\tnumber of DTUs: 0\n\tDUT list:\n");
}

}  // namespace
