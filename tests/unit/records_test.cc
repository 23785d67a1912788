// SPDX-License-Identifier: GPL-3.0-or-later
// The directory records without a directory: the attribute lists written, the user ID candidate, the lookups' filters
// with their escaping and length limits (refused before any search), each iterator kind's search, the parts of the X
// configuration, the primary named by a referral, filter conjunction and the generation counter's wrap-around; and
// the terminal records: splitting terminal IDs, member lists and their edits, the desktop filter, the group print.
#include "admin_iterator.h"
#include "admin_private.h"
#include "admin_records.h"
#include "terminal_records.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

Lines describe(zt::ModList &list) { return zt::test::describe_mods(list.mods()); }

// New entries list their attributes in a fixed order and leave absent ones out (an empty array too); changes replace
// every listed attribute, an absent value removing it.
TEST(RecordEntries, AttributeOrderAbsentValuesAndTheUserIdCandidate) {
    using zt::test::chars;
    char *raw_ids[] = {chars("card.1"), chars("card.2"), nullptr}, *no_ids[] = {nullptr};
    char *lt_ids[] = {chars("user.9"), nullptr};
    RawToken rt{chars("card.1"), nullptr, chars("user"), nullptr, chars("denied"), nullptr, chars("")};
    LogicalToken lt{chars("user.9"), nullptr, chars("default"), nullptr, nullptr, 0, nullptr, nullptr, raw_ids};
    LogicalToken lt_empty = lt;
    lt_empty.raw_token_ids = no_ids;
    User user{chars("ignored"), chars("Ann"), nullptr, 100, 1, chars("ab.12"), 200, nullptr, nullptr, lt_ids};
    const Lines lt_entry = {"add objectClass: ztLogicalToken", "add ztID: user.9", "add ztSessionType: default",
                            "add ztServerPort: 0"};
    Lines lt_entry_ids = lt_entry;
    lt_entry_ids.push_back("add ztRawTokenIDs: card.1|card.2");
    struct Case { const char *what; zt::ModList list; Lines expected; } cases[] = {
        {"raw entry", zt::raw_token_entry(rt),
         {"add objectClass: ztRawToken", "add ztID: card.1", "add ztTokenType: user", "add ztEnabled: denied",
          "add ztMisc2: "}},
        {"raw changes", zt::raw_token_changes(rt),
         {"replace ztSecret:", "replace ztTokenType: user", "replace ztTokenState:", "replace ztEnabled: denied",
          "replace ztMisc1:", "replace ztMisc2: "}},
        {"logical entry", zt::logical_token_entry(lt, true), lt_entry_ids},
        {"logical entry, no raw IDs wanted", zt::logical_token_entry(lt, false), lt_entry},
        {"logical entry, empty raw IDs", zt::logical_token_entry(lt_empty, true), lt_entry},
        // The login status is not written at creation.
        {"user entry", zt::user_entry(user, "9"),
         {"add objectClass: ztUser", "add ztID: 9", "add ztName: Ann", "add ztFirstTime: 100",
          "add ztLogicalTokenIDs: user.9"}},
    };
    for (Case &c : cases) EXPECT_EQ(c.expected, describe(c.list)) << c.what;

    // The user ID candidate keeps the last four digits of the random number.
    const std::pair<long, const char *> candidates[] = {
        {1804289383, "1700000000-9383"}, {42, "1700000000-42"}, {10000, "1700000000-0000"}};
    for (auto [random, expected] : candidates) EXPECT_EQ(zt::user_id_candidate(1700000000L, random), expected) << random;
}

// Values are escaped, the raw ID goes first, and lengths count the text as written, before escaping.  The session
// points at a closed port: a search that slipped through would end otherwise.
TEST(LookupFilters, EscapedAndOverlongIdsRefusedWithoutASearch) {
    zt::test::LogFile log;
    std::string filter;
    ASSERT_EQ(zt::logical_token_filter("user.(x)", "card.*\\", filter), 0);
    EXPECT_EQ(filter, "(&(objectclass=ztLogicalToken)(ztrawtokenids=card.\\2a\\5c)(ztID=user.\\28x\\29))");
    EXPECT_EQ(log.all(), "");
    AdminConfig conn{};
    ASSERT_EQ(ldap_initialize(&conn.session, "ldap://127.0.0.1:1/"), LDAP_SUCCESS);
    std::string root = "o=ztdata", long_root(500 - 22, 'r');  // "ztName=logicalTokens, " has 22
    conn.subtree = root.data();
    auto a = [](size_t n) { return std::string(n, 'a'); };
    // The call's status and the one debug line it left (none for null).
    auto expect = [&](AdminStatus got, AdminStatus status, const char *line) {
        EXPECT_EQ(got, status) << line;
        EXPECT_EQ(log.take(), line ? "14 " + std::string(line) + "\n" : "");
    };
    // "(ztID=" + 121 + ")" and "(ztrawtokenids=" + 112 + ")" have 128 characters.
    expect(_zt_logicalTokenExists(&conn, a(121).c_str(), nullptr, 0), ADMIN_ERR_NO_BUFFER,
           "_zt_logicalTokenExists(): logical token name too long");
    expect(_zt_logicalTokenExists(&conn, nullptr, a(112).c_str(), 0), ADMIN_ERR_NO_BUFFER,
           "_zt_logicalTokenExists(): raw token name too long");
    expect(_zt_logicalTokenExists(&conn, a(120).c_str(), nullptr, 0), ADMIN_ERR_NO_BUFFER,  // the whole does not fit
           "_zt_logicalTokenExists(): database search filter too long");
    expect(_zt_logicalTokenExists(&conn, nullptr, nullptr, 0), ADMIN_ERR_INVALID_ARGS, nullptr);
    // "(&(objectclass=ztRawToken)(ztID=" + 94 + "))" and "ztRawTokenIDs=" + 114 have 128.
    expect(_zt_rawTokenExists(&conn, a(94).c_str(), 0), ADMIN_ERR_NO_BUFFER,
           "_zt_rawTokenExists(): database search filter too long");
    EXPECT_EQ(_zt_rawTokenExists(nullptr, a(93).c_str(), 0), ADMIN_ERR_INVALID_ARGS);  // fits
    char **out = reinterpret_cast<char **>(&conn);
    expect(_zt_getLidByRid(&conn, "", &out), ADMIN_ERR_INVALID_ARGS, nullptr);
    EXPECT_EQ(out, nullptr);
    expect(_zt_getLidByRid(&conn, a(114).c_str(), &out), ADMIN_ERR_NO_BUFFER,
           "_zt_getLidByRid(): search filter too long");
    EXPECT_EQ(_zt_getLidByRid(&conn, std::string(113, '*').c_str(), &out), ADMIN_ERR_NOT_FOUND);
    log.clear();
    conn.subtree = long_root.data();
    expect(_zt_getUidByRid(&conn, "card.1", &out), ADMIN_ERR_NO_BUFFER, "_zt_getLidByRid(): subtree name too long");
    ldap_unbind_ext_s(conn.session, nullptr, nullptr);
}

// A value in a DN is escaped so that it reads back as exactly itself (libldap's parser decides), the limits count the
// raw text, and the existence check splits an escaped DN where its first RDN ends.
TEST(DnValues, EscapedToReadBackAsThemselvesWithLimitsCountingTheRawText) {
    struct Case { std::string value, escaped; } cases[] = {
        {"card.1001", "card.1001"},
        {"a,ztID=card.1001", "a\\,ztID\\=card.1001"},
        {"+\"\\<>;=", "\\+\\\"\\\\\\<\\>\\;\\="},
        {"#a#", "\\#a#"},
        {" a b ", "\\ a b\\ "},
        {" ", "\\ "},
        {std::string("\0\x1b\x7f\n", 4), "\\00\\1b\\7f\\0a"},
        {"J\xc3\xb6rg", "J\xc3\xb6rg"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zt::dn_escape(c.value), c.escaped) << c.value;
        std::string dn = zt::entry_dn(c.value, zt::kUsersContainer, "o=ztdata").str();
        LDAPDN parsed = nullptr;
        ASSERT_EQ(ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3), LDAP_SUCCESS) << dn;
        int rdns = 0;
        while (parsed[rdns] != nullptr) ++rdns;
        EXPECT_EQ(rdns, 3) << dn;
        EXPECT_EQ(std::string(parsed[0][0]->la_value.bv_val, parsed[0][0]->la_value.bv_len), c.value) << dn;
        EXPECT_EQ(parsed[0][1], nullptr) << dn;
        ldap_dnfree(parsed);
        std::optional<zt::FirstRdn> split = zt::split_first_rdn(dn);
        ASSERT_TRUE(split) << dn;
        EXPECT_EQ(split->filter, "(ztID=" + zt::filter_escape(c.value) + ")") << dn;
        EXPECT_EQ(split->base, " ztName=users, o=ztdata");
    }
    EXPECT_EQ(zt::split_first_rdn("cn=a+sn=b\\,c,o=x")->filter, "(&(cn=a)(sn=b,c))");
    EXPECT_FALSE(zt::split_first_rdn("ztID=a\\,b"));

    // "ztID=, ztName=users, " has 21 characters: 478 raw ones fit, whatever their escapes make of them.
    std::string root = "o=ztdata";
    std::string fits(478 - root.size(), ','), too_long(479 - root.size(), 'a');
    EXPECT_TRUE(zt::entry_dn(fits, zt::kUsersContainer, root).fits());
    EXPECT_EQ(zt::entry_dn(fits, zt::kUsersContainer, root).str().size(), 499u + fits.size());
    EXPECT_FALSE(zt::entry_dn(too_long, zt::kUsersContainer, root).fits());
    AdminConfig conn{};
    root = std::string(499 - 31, 'r');  // "ztID=card,x.1,ztName=rawTokens," has 31 characters
    conn.subtree = root.data();
    std::string dn = zt::test::take(constructDN(&conn, "card,x.1")).value_or("");
    EXPECT_EQ(dn.size(), 500u);
    EXPECT_TRUE(dn.starts_with("ztID=card\\,x.1,ztName=rawTokens,")) << dn;
}

TEST(IteratorSearch, EachKindSearchesItsContainerWithinTheLimits) {
    const char *where[] = {"desktops", "users", "logicalTokens", "rawTokens", "users", "logicalTokens", "rawTokens"};
    const char *classes[] = {"ztDesktop", "ztUser", "ztLogicalToken", "ztRawToken", nullptr, "ztXconfig", "ztXconfig"};
    for (int kind = ITERATOR_DESKTOPS; kind <= ITERATOR_XCONFIG_RTOKENS; ++kind) {
        auto search = zt::iterator_search(kind, "(a=1)", "o=zt");
        ASSERT_TRUE(search) << kind;
        EXPECT_EQ(search->base, "ztName=" + std::string(where[kind - 1]) + ", o=zt");
        const char *cls = classes[kind - 1];
        EXPECT_EQ(search->filter, cls ? "(&(objectclass=" + std::string(cls) + ")(a=1))" : "ztStatus=1");
    }
    for (int kind : {0, 8}) EXPECT_FALSE(zt::iterator_search(kind, nullptr, "o=zt")) << kind;
    // One parenthesis is dropped at each end, so that several components close into one conjunction.
    for (auto [caller, composed] : {std::pair{"ztName=*ann*", "(&(objectclass=ztUser)(ztName=*ann*))"},
                                    {"(a=1)(b=2)", "(&(objectclass=ztUser)(a=1)(b=2))"},
                                    {"(a=1", "(&(objectclass=ztUser)(a=1))"}})
        EXPECT_EQ(zt::iterator_search(ITERATOR_USERS, caller, "o=zt")->filter, composed);

    // Texts beyond their limits are refused.
    std::string filter(255 - 25, 'f');  // the composed filter adds 25 characters
    EXPECT_TRUE(zt::iterator_search(ITERATOR_USERS, filter.c_str(), "o=zt"));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, (filter + "f").c_str(), "o=zt"));
    std::string caller(511, 'c');  // limited even where it is not used
    EXPECT_TRUE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, caller.c_str(), "o=zt"));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_LOGGED_IN_USERS, (caller + "c").c_str(), "o=zt"));
    std::string root(499 - 14, 'r');  // "ztName=users, " has 14 characters
    EXPECT_TRUE(zt::iterator_search(ITERATOR_USERS, nullptr, root));
    EXPECT_FALSE(zt::iterator_search(ITERATOR_USERS, nullptr, root + "r"));
}

using XconfigPtr = std::unique_ptr<Xconfig, decltype(&zt_freeXconf)>;
XconfigPtr make_xconfig() { return XconfigPtr(allocate_xconfig(), zt_freeXconf); }

TEST(Xconfig, TokenKindsEntryDnIntegerListsOptionsAndTheOrderingDump) {
    const std::pair<const char *, int> kinds[] = {
        {"USER.5", 1}, {"User..", 1}, {"card.77", 2}, {"pseudo.0800", 2}, {"userx.5", 2}, {"user.", 0},
        {".abc", 0},   {"abc", 0},    {"abc.", 0},    {"", 0},            {nullptr, 0}};
    for (auto [id, kind] : kinds) EXPECT_EQ(isValidToken(id), kind) << (id ? id : "(null)");
    for (const char *same : {"pseudox02", "pseud.02", "pseudo"}) EXPECT_EQ(getTokenId(same), same);
    AdminConfig conn{};
    std::string root = "o=ztdata";
    conn.subtree = root.data();
    EXPECT_EQ(constructDN(&conn, "abc"), nullptr);
    root = std::string(499 - 29, 'r');  // "ztID=card.1,ztName=rawTokens," has 29 characters
    conn.subtree = root.data();
    EXPECT_EQ(zt::test::take(constructDN(&conn, "card.1")).value_or("").size(), 499u);
    root += 'r';
    conn.subtree = root.data();
    EXPECT_EQ(constructDN(&conn, "card.1"), nullptr);

    struct Case { const char *text; int count; std::vector<int> values /* empty: no array */; } cases[] = {
        {" 1 ,\t2,\n3 , 4\n", 4, {1, 2, 3, 4}}, {"1,2,3,4,5", 4, {1, 2, 3, 4}}, {"-1,x,7", 3, {-1, 0, 7}},
        {"1,2,3", 4, {}}, {"", 1, {}}, {nullptr, 1, {}}};
    for (const Case &c : cases) {
        int sentinel = 0;
        int *out = &sentinel;
        parse_intList(c.text, &out, c.count);
        EXPECT_EQ(out ? std::vector<int>(out, out + c.count) : std::vector<int>{}, c.values) << (c.text ? c.text : "");
        std::free(out);
    }

    // The X11 options value.
    struct Option { const char *text; int result; const char *xkb /* the switch afterwards; absent before */; } options[] = {
        {" screenEnableXKB = off ", 0, "no"},
        {"screenEnableXKB=On,junk", 0, "yes"},      // an item without "=" is skipped
        {"screenEnableXKB=y", -1, nullptr},
        {"screenenablexkb=yes", -1, nullptr},       // names match exactly
        {"other=1,screenEnableXKB=no", -1, "no"},   // unknown names are errors; the parse goes on
        {"=yes,screenEnableXKB=yes", -1, nullptr},  // an empty name ends the parse
        {"", -1, nullptr},
    };
    for (const Option &c : options) {
        XconfigPtr x = make_xconfig();
        EXPECT_EQ(deconstructCSV(x.get(), c.text), c.result) << c.text;
        EXPECT_STREQ(x->enable_xkb, c.xkb) << c.text;
    }

    // The dump's ordering line, with and without an ordering.
    XconfigPtr x = make_xconfig();
    x->dim_rows = 1;
    x->dim_columns = 3;
    x->ordering = static_cast<int *>(std::malloc(3 * sizeof(int)));
    for (int i = 0; i < 3; ++i) x->ordering[i] = 2 - i;
    for (std::string expected : {"Ordering: 2, 1, 0\n\tScreen Ordering Dimension: 1 x 3\n",
                                 "Ordering: <not set>\n\tScreen Ordering Dimension: 0 x 3\n"}) {
        std::string text = zt::test::printed([&](FILE *stream) { zt_printXconfig(stream, x.get()); });
        EXPECT_NE(text.find("\tScreen DefaultPC: <not defined>\n\tScreen " + expected), std::string::npos);
        x->dim_rows = 0;
    }
}

TEST(ReferralHost, FirstUsableUrlNamesThePrimary) {
    struct Case { std::vector<std::string> urls; std::optional<std::string> host; } cases[] = {
        {{"ldap://127.0.0.2:389/ztID=a,o=ztdata"}, "127.0.0.2"},  // the port is not taken over
        {{"ldap:///h"}, "h"},                                     // any number of slashes
        {{"ldap://h/o=x"}, "h"},                                  // without a port the DN ends the host
        {{"ldap:/"}, std::nullopt},                               // 6 characters are not enough
        {{"http://h", "ldap:/", "ldaps://h", "ldap://second:1", "ldap://third:1"}, "second"},
        {{}, std::nullopt},
    };
    for (auto &c : cases) {
        std::vector<char *> list;
        for (auto &u : c.urls) list.push_back(u.data());
        list.push_back(nullptr);
        EXPECT_EQ(zt::primary_host_from_referrals(list.data()), c.host) << (c.urls.empty() ? "" : c.urls[0]);
    }
}

TEST(AdminQuery, FiltersWrapOnlyListsAndGenerationsWrapAround) {
    for (auto [in, out] : {std::pair{"(a=1)", "(a=1)"}, {"(a=1)(b=2)", "(&(a=1)(b=2))"}, {"a=1", "a=1"}})
        EXPECT_EQ(zt::test::take(normalize_search_filter(in)), out);
    // (0, 2147483647) is reached after the wrap, (2147483647, 0) not yet wrapped.
    for (auto [counter, generation, reached] : {std::tuple{5, 3, true}, {5, 6, false}, {0, 2147483647, true},
                                                {2147483647, 0, false}, {(1 << 30) - 1, 0, true}, {1 << 30, 0, false}})
        EXPECT_EQ(zt::generation_reached(counter, generation), reached) << counter << " " << generation;
}

Lines take(char **list) {
    Lines out;
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
    EXPECT_EQ(take(list), (Lines{"a", "b", "c"}));
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
    using zt::test::chars;
    char *members[] = {chars("IEEE802.0a01"), chars("IEEE802.0b02"), nullptr};
    DtuGrp listed{chars("g1"), chars("MULTIHEAD"), nullptr, 1, 1, members};
    DtuGrp unlisted{chars("g2"), chars("T"), chars("pd"), -1, 0, nullptr};
    DtuGrp *groups[] = {&listed, &unlisted, nullptr};
    EXPECT_EQ(zt::test::printed([&](FILE *stream) { zt_printDtuGrp(stream, groups); }),
              zt::test::read_file(zt::test::source_path("tests/unit/golden/terminal_groups.txt")));
}

}  // namespace
