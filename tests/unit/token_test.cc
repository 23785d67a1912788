// Token-ID syntax and classification by prefix.
#include <gtest/gtest.h>

#include <string>

#include "admin.h"

namespace {

struct ReasonCase {
    const char *id;
    const char *reason;  // null: legal
};

// The first failing rule in scan order decides the reason.
const ReasonCase kReasons[] = {
    {nullptr, "Token pointer is NULL"},
    {"", "Letter required but not found"},
    {"-ab.c", "Letter required but not found"},
    {"1a.b", "Letter required but not found"},
    {".a", "Letter required but not found"},
    {"a..b", "Letter or digit required but not found"},
    {"a._b", "Letter or digit required but not found"},
    {"a.-b", "Letter or digit required but not found"},
    {"a-.b", "Letter or digit required before period"},
    {"a_.b", "Letter or digit required before period"},
    {"a.b c", "Illegal character"},
    {"a.b/c", "Illegal character"},
    {"a\xe9.b", "Illegal character"},
    {"abc", "At least one period is required"},
    {"abc.", "Final character must be letter or digit"},
    {"ab-", "Final character must be letter or digit"},
    {"a.b_", "Final character must be letter or digit"},
    {"a.b_c-d", nullptr},
    {"card.12345", nullptr},
    {"a.b.c", nullptr},
    {"A9.Z0", nullptr},
};

TEST(LegalToken, ReasonTable) {
    for (const auto &c : kReasons) {
        const char *reason = "untouched";
        int legal = zt_isLegalToken(c.id, &reason);
        std::string label = c.id ? c.id : "(null)";
        if (c.reason == nullptr) {
            EXPECT_EQ(legal, 1) << label;
            EXPECT_STREQ(reason, "untouched") << label;
        } else {
            EXPECT_EQ(legal, 0) << label;
            EXPECT_STREQ(reason, c.reason) << label;
        }
        EXPECT_EQ(zt_isLegalToken(c.id, nullptr), legal) << label;
    }
}

TEST(LegalToken, LengthLimitIs64) {
    std::string id64 = "a." + std::string(62, 'b');
    const char *reason = nullptr;
    EXPECT_EQ(zt_isLegalToken(id64.c_str(), &reason), 1);
    EXPECT_EQ(zt_isLegalToken((id64 + "c").c_str(), &reason), 0);
    EXPECT_STREQ(reason, "Too long");
    // The 65th character is checked by the other rules first.
    EXPECT_EQ(zt_isLegalToken((id64 + " ").c_str(), &reason), 0);
    EXPECT_STREQ(reason, "Illegal character");
    // A fault beyond the 65th character is never reached.
    EXPECT_EQ(zt_isLegalToken((id64 + "cc d").c_str(), &reason), 0);
    EXPECT_STREQ(reason, "Too long");
}

TEST(RawTokenId, ExactlyOnePeriod) {
    struct {
        const char *id;
        int legal;
    } cases[] = {
        {"card.12345", 1}, {"a.b.c", 0}, {"abc", 0}, {"a..b", 0}, {nullptr, 0}, {"", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(legal_raw_token_id(c.id), c.legal) << (c.id ? c.id : "(null)");
}

TEST(PrefixMatch, TablesAndCase) {
    const TokenPrefix empty[] = {{nullptr, 0}};
    EXPECT_EQ(prefixMatch("pseudo.x", empty), 0);
    EXPECT_EQ(prefixMatch("pseudo.x", nullptr), 0);
    EXPECT_EQ(prefixMatch(nullptr, zt_dtu_bound_prefixes), 0);
    EXPECT_EQ(prefixMatch("Escape.1", zt_dtu_bound_prefixes), 1);
    EXPECT_EQ(prefixMatch("terminalid.1", zt_dtu_bound_prefixes), 1);
    EXPECT_EQ(prefixMatch("pseudo", zt_dtu_bound_prefixes), 0);
    EXPECT_EQ(prefixMatch("USER.", zt_ds_logical_prefixes), 1);
}

TEST(Classification, TerminalBoundAndLogical) {
    struct {
        const char *id;
        int dtu_bound;
        int logical;
    } cases[] = {
        {"PSEUDO.0200001234", 1, 0},
        {"pseudo", 0, 0},
        {"escape.x1", 1, 0},
        {"TerminalId.abc", 1, 0},
        {"TerminalId.", 0, 0},
        {"card.1", 0, 0},
        {"user.5", 0, 1},
        {"User.5", 0, 1},
        {"users.5", 0, 0},
        {"user..5", 0, 0},
        {nullptr, 0, 0},
    };
    for (const auto &c : cases) {
        std::string label = c.id ? c.id : "(null)";
        EXPECT_EQ(zt_isDtuBoundToken(c.id), c.dtu_bound) << label;
        EXPECT_EQ(zt_isDsLogicalToken(c.id), c.logical) << label;
    }
}

}  // namespace
