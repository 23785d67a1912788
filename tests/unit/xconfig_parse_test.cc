// Unit tests of the X configuration record's pure parts: token kinds, the
// entry DN, the integer list, the switch and the X11 options value, print.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin.h"

namespace {

using XconfigPtr = std::unique_ptr<Xconfig, decltype(&zt_freeXconf)>;
XconfigPtr make_xconfig() { return XconfigPtr(allocate_xconfig(), zt_freeXconf); }
using Text = std::unique_ptr<char, decltype(&std::free)>;

TEST(TokenKind, ClassifiesIdsAndDropsOnlyAPseudoPrefix) {
    struct Case {
        const char *id;
        int kind;
    } cases[] = {
        {"USER.5", 1}, {"User..", 1}, {"card.77", 2}, {"pseudo.0800", 2}, {"userx.5", 2}, {"user.", 0},
        {".abc", 0},   {"abc", 0},    {"abc.", 0},    {"", 0},            {nullptr, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(isValidToken(c.id), c.kind) << (c.id ? c.id : "(null)");
    const char *pseudo = "PSEUDO.02000012ab";
    EXPECT_EQ(getTokenId(pseudo), pseudo + 7);
    for (const char *same : {"pseudox02", "pseud.02", "pseudo", ""}) EXPECT_EQ(getTokenId(same), same);
}

TEST(ConstructDN, NamesTheEntryOfEachKindWithinFiveHundredBytes) {
    AdminConfig conn{};
    std::string root = "o=ztdata";
    conn.subtree = root.data();
    EXPECT_STREQ(Text(constructDN(&conn, "user.17"), std::free).get(), "ztID=user.17,ztName=logicalTokens,o=ztdata");
    EXPECT_STREQ(Text(constructDN(&conn, "Pseudo.0200ab"), std::free).get(), "ztID=0200ab,ztName=rawTokens,o=ztdata");
    EXPECT_EQ(constructDN(&conn, "abc"), nullptr);
    // "ztID=card.1,ztName=rawTokens," has 29 characters.
    root = std::string(499 - 29, 'r');
    conn.subtree = root.data();
    EXPECT_EQ(std::strlen(Text(constructDN(&conn, "card.1"), std::free).get()), 499u);
    root += 'r';
    conn.subtree = root.data();
    EXPECT_EQ(constructDN(&conn, "card.1"), nullptr);
}

TEST(ParseIntList, TakesExactlyCountValuesOrNothing) {
    struct Case {
        const char *text;
        int count;
        std::vector<int> values;  // empty: no array
    } cases[] = {
        {"1,2,3,4", 4, {1, 2, 3, 4}}, {" 1 ,\t2,\n3 , 4\n", 4, {1, 2, 3, 4}}, {"1,2,3,4,5", 4, {1, 2, 3, 4}},
        {"-1,x,7", 3, {-1, 0, 7}},    {"1,2,3", 4, {}},                      {"", 1, {}},
        {nullptr, 1, {}},
    };
    for (const Case &c : cases) {
        int sentinel = 0;
        int *out = &sentinel;
        parse_intList(c.text, &out, c.count);
        std::vector<int> got;
        if (out != nullptr) got.assign(out, out + c.count);
        std::free(out);
        EXPECT_EQ(got, c.values) << (c.text ? c.text : "(null)");
    }
}

TEST(X11Options, SwitchTextsAndOptionValues) {
    for (const char *yes : {"yes", "ON", "On"}) EXPECT_STREQ(Text(makeToggle(yes), std::free).get(), "yes");
    for (const char *no : {"no", "OFF"}) EXPECT_STREQ(Text(makeToggle(no), std::free).get(), "no");
    for (const char *bad : {"y", "", "maybe"}) EXPECT_EQ(makeToggle(bad), nullptr) << bad;
    struct Case {
        const char *text;
        int result;
        const char *xkb;  // the switch afterwards (it starts absent)
    } cases[] = {
        {"screenEnableXKB=ON", 0, "yes"},
        {" screenEnableXKB = off ", 0, "no"},
        {"screenEnableXKB=yes,junk", 0, "yes"},     // an item without "=" is skipped
        {"screenEnableXKB=maybe", -1, nullptr},
        {"screenenablexkb=yes", -1, nullptr},       // names match exactly
        {"other=1,screenEnableXKB=no", -1, "no"},  // unknown names are errors; the parse goes on
        {"screenEnableXKB=", -1, nullptr},
        {"=yes,screenEnableXKB=yes", -1, nullptr},  // an empty name ends the parse
        {"", -1, nullptr},
    };
    for (const Case &c : cases) {
        XconfigPtr x = make_xconfig();
        EXPECT_EQ(deconstructCSV(x.get(), c.text), c.result) << c.text;
        EXPECT_STREQ(x->enable_xkb, c.xkb) << c.text;
    }
    XconfigPtr x = make_xconfig();
    char *out = nullptr;
    EXPECT_EQ(constructCSV(x.get(), &out), -1);  // no switch, no value
    x->enable_xkb = strdup("no");
    ASSERT_EQ(constructCSV(x.get(), &out), 0);
    EXPECT_STREQ(out, "screenEnableXKB=no");
    std::free(out);
}

std::string printed(const Xconfig *x) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    zt_printXconfig(stream, x);
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

TEST(Print, ShowsEveryFieldAndMarksAbsentOnes) {
    XconfigPtr x = make_xconfig();
    std::string unset = printed(x.get());
    EXPECT_NE(unset.find("\tScreen Refresh: -1\n"), std::string::npos) << unset;
    EXPECT_NE(unset.find("\tScreen Ordering: <not set>\n\tScreen Ordering Dimension: 0 x 0\n"), std::string::npos);
    x->token_id = strdup("user.5");
    x->resolution = strdup("1280x1024");
    x->refresh = 60;
    x->dim_rows = 1;
    x->dim_columns = 3;
    x->ordering = static_cast<int *>(std::malloc(3 * sizeof(int)));
    const int ordering[] = {2, 0, 1};
    std::memcpy(x->ordering, ordering, sizeof ordering);
    x->enable_xinerama = strdup("yes");
    EXPECT_EQ(printed(x.get()),
              "\tLogical Token: user.5\n\tScreen Resolution: 1280x1024\n\tScreen Refresh: 60\n"
              "\tScreen EnablePC: <not defined>\n\tScreen DefaultPC: <not defined>\n"
              "\tScreen Ordering: 2, 0, 1\n\tScreen Ordering Dimension: 1 x 3\n"
              "\tScreen EnableAutoSizing: <not defined>\n\tScreen EnableMultiscreen: <not defined>\n"
              "\tScreen EnableXinerama: yes\n");
}

}  // namespace
