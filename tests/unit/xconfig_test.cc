// Unit tests of the X configuration record's pure parts: token kinds, the
// entry DN, the integer list, the switch and the X11 options value, print.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin.h"

namespace {

using XconfigPtr = std::unique_ptr<Xconfig, decltype(&zt_freeXconf)>;
XconfigPtr make_xconfig() { return XconfigPtr(allocate_xconfig(), zt_freeXconf); }

struct CharsFree {
    void operator()(char *s) const { std::free(s); }
};
using Text = std::unique_ptr<char, CharsFree>;

TEST(TokenKind, ClassifiesLogicalRawAndInvalidIds) {
    struct Case {
        const char *id;
        int kind;
    } cases[] = {
        {"USER.5", 1},  {"user.x", 1},    {"User..", 1},  {"card.77", 2}, {"pseudo.0800", 2},
        {"a.b.c", 2},   {"userx.5", 2},   {"user.", 0},   {".abc", 0},    {"abc", 0},
        {"abc.", 0},    {"", 0},          {nullptr, 0},   {"user", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(isValidToken(c.id), c.kind) << (c.id ? c.id : "(null)");
}

TEST(TokenKind, GetTokenIdDropsOnlyAPseudoPrefix) {
    const char *pseudo = "PSEUDO.02000012ab";
    EXPECT_EQ(getTokenId(pseudo), pseudo + 7);
    EXPECT_STREQ(getTokenId("pseudo.x"), "x");
    for (const char *same : {"pseudox02", "pseud.02", "card.1", "pseudo", ""}) EXPECT_EQ(getTokenId(same), same);
    EXPECT_EQ(getTokenId(nullptr), nullptr);
}

TEST(ConstructDN, NamesTheEntryOfEachKindWithoutBlanks) {
    AdminConfig conn{};
    char root[] = "o=ztdata";
    conn.subtree = root;
    Text lt(constructDN(&conn, "user.17"));
    ASSERT_TRUE(lt);
    EXPECT_STREQ(lt.get(), "ztID=user.17,ztName=logicalTokens,o=ztdata");
    Text rt(constructDN(&conn, "Pseudo.02000012ab"));
    ASSERT_TRUE(rt);
    EXPECT_STREQ(rt.get(), "ztID=02000012ab,ztName=rawTokens,o=ztdata");
    EXPECT_EQ(constructDN(&conn, "abc"), nullptr);
    EXPECT_EQ(constructDN(nullptr, "card.1"), nullptr);
}

TEST(ConstructDN, RefusesADnOfFiveHundredCharacters) {
    AdminConfig conn{};
    // "ztID=card.1,ztName=rawTokens," is 29 characters.
    std::string root = "o=" + std::string(499 - 29 - 2, 'r');
    conn.subtree = root.data();
    Text fits(constructDN(&conn, "card.1"));
    ASSERT_TRUE(fits);
    EXPECT_EQ(std::string(fits.get()).size(), 499u);
    root += 'r';
    conn.subtree = root.data();
    EXPECT_EQ(constructDN(&conn, "card.1"), nullptr);
}

std::vector<int> parsed(const char *text, int count) {
    int *values = nullptr;
    parse_intList(text, &values, count);
    std::vector<int> result;
    if (values != nullptr) result.assign(values, values + count);
    std::free(values);
    return result;
}

TEST(ParseIntList, TakesExactlyCountValuesOrNothing) {
    EXPECT_EQ(parsed("1,2,3,4", 4), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(parsed(" 1 ,\t2,\n3 , 4\n", 4), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(parsed("1,2,3,4,5", 4), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(parsed("-1,x,7", 3), (std::vector<int>{-1, 0, 7}));
    EXPECT_TRUE(parsed("1,2,3", 4).empty());
    EXPECT_TRUE(parsed("", 1).empty());
    EXPECT_TRUE(parsed(nullptr, 1).empty());
    EXPECT_TRUE(parsed("1", 0).empty());
}

TEST(ParseIntList, ClearsTheOutputFirst) {
    int sentinel = 5;
    int *values = &sentinel;
    parse_intList("1,2", &values, 3);
    EXPECT_EQ(values, nullptr);
}

TEST(Toggle, AcceptsYesOnNoOffInAnyCase) {
    struct Case {
        const char *text;
        const char *toggle;
    } cases[] = {
        {"yes", "yes"}, {"ON", "yes"}, {"On", "yes"},  {"no", "no"},       {"OFF", "no"},
        {"No", "no"},   {"y", nullptr}, {"", nullptr}, {"maybe", nullptr}, {nullptr, nullptr},
    };
    for (const Case &c : cases) {
        Text toggle(makeToggle(c.text));
        if (c.toggle == nullptr) {
            EXPECT_FALSE(toggle) << c.text;
        } else {
            ASSERT_TRUE(toggle) << c.text;
            EXPECT_STREQ(toggle.get(), c.toggle);
        }
    }
}

TEST(ConvXKB, WriteModeReplacesOrLeavesTheRecordAlone) {
    XconfigPtr x = make_xconfig();
    char on[] = "on";
    char *value = on;
    EXPECT_EQ(convXKB(x.get(), &value), 0);
    EXPECT_STREQ(x->enable_xkb, "yes");
    char bad[] = "sometimes";
    value = bad;
    EXPECT_EQ(convXKB(x.get(), &value), -1);
    EXPECT_STREQ(x->enable_xkb, "yes");
}

TEST(ConvXKB, ReadModeHandsBackACopyOrFails) {
    XconfigPtr x = make_xconfig();
    char *value = nullptr;
    EXPECT_EQ(convXKB(x.get(), &value), -1);
    EXPECT_EQ(value, nullptr);
    x->enable_xkb = strdup("no");
    EXPECT_EQ(convXKB(x.get(), &value), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "no");
    EXPECT_NE(value, x->enable_xkb);
    std::free(value);
}

TEST(X11Options, ConstructNeedsTheSwitch) {
    XconfigPtr x = make_xconfig();
    char *out = nullptr;
    EXPECT_EQ(constructCSV(x.get(), &out), -1);
    EXPECT_EQ(out, nullptr);
    x->enable_xkb = strdup("yes");
    ASSERT_EQ(constructCSV(x.get(), &out), 0);
    EXPECT_STREQ(out, "screenEnableXKB=yes");
    std::free(out);
}

TEST(X11Options, DeconstructReadsKnownElements) {
    struct Case {
        const char *text;
        int result;
        const char *xkb;  // the switch afterwards (it starts absent)
    } cases[] = {
        {"screenEnableXKB=ON", 0, "yes"},
        {" screenEnableXKB = off ", 0, "no"},
        {"screenEnableXKB=yes,junk", 0, "yes"},          // an item without "=" is skipped
        {"screenEnableXKB=maybe", -1, nullptr},
        {"screenenablexkb=yes", -1, nullptr},            // names match exactly
        {"other=1,screenEnableXKB=no", -1, "no"},       // unknown names are errors; the parse goes on
        {"screenEnableXKB=", -1, nullptr},               // empty value ends the parse
        {"=yes,screenEnableXKB=yes", -1, nullptr},       // empty name ends the parse
        {"", -1, nullptr},                               // nothing known converted
        {"junk", -1, nullptr},
    };
    for (const Case &c : cases) {
        XconfigPtr x = make_xconfig();
        EXPECT_EQ(deconstructCSV(x.get(), c.text), c.result) << c.text;
        if (c.xkb == nullptr) {
            EXPECT_EQ(x->enable_xkb, nullptr) << c.text;
        } else {
            EXPECT_STREQ(x->enable_xkb, c.xkb) << c.text;
        }
    }
    EXPECT_EQ(deconstructCSV(make_xconfig().get(), nullptr), -1);
}

TEST(X11Options, RoundTrip) {
    XconfigPtr x = make_xconfig();
    x->enable_xkb = strdup("no");
    char *text = nullptr;
    ASSERT_EQ(constructCSV(x.get(), &text), 0);
    XconfigPtr back = make_xconfig();
    EXPECT_EQ(deconstructCSV(back.get(), text), 0);
    EXPECT_STREQ(back->enable_xkb, "no");
    std::free(text);
}

TEST(Allocate, StartsUnsetWithRefreshMinusOne) {
    XconfigPtr x = make_xconfig();
    EXPECT_EQ(x->refresh, -1);
    EXPECT_EQ(x->token_id, nullptr);
    EXPECT_EQ(x->ordering, nullptr);
    EXPECT_EQ(x->dim_rows, 0);
    EXPECT_EQ(x->dim_columns, 0);
    zt_freeXconf(nullptr);
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
    x->token_id = strdup("user.5");
    x->resolution = strdup("1280x1024");
    x->refresh = 60;
    x->dim_rows = 1;
    x->dim_columns = 3;
    x->ordering = static_cast<int *>(std::malloc(3 * sizeof(int)));
    x->ordering[0] = 2;
    x->ordering[1] = 0;
    x->ordering[2] = 1;
    x->enable_xinerama = strdup("yes");
    EXPECT_EQ(printed(x.get()),
              "\tLogical Token: user.5\n"
              "\tScreen Resolution: 1280x1024\n"
              "\tScreen Refresh: 60\n"
              "\tScreen EnablePC: <not defined>\n"
              "\tScreen DefaultPC: <not defined>\n"
              "\tScreen Ordering: 2, 0, 1\n"
              "\tScreen Ordering Dimension: 1 x 3\n"
              "\tScreen EnableAutoSizing: <not defined>\n"
              "\tScreen EnableMultiscreen: <not defined>\n"
              "\tScreen EnableXinerama: yes\n");
}

TEST(Print, OrderingWithoutDimensionsIsNotSet) {
    XconfigPtr x = make_xconfig();
    std::string text = printed(x.get());
    EXPECT_NE(text.find("\tScreen Refresh: -1\n\tScreen EnablePC: <not defined>\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\tScreen Ordering: <not set>\n\tScreen Ordering Dimension: 0 x 0\n"), std::string::npos)
        << text;
}

}  // namespace
