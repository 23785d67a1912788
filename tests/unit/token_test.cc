// SPDX-License-Identifier: GPL-3.0-or-later
// Token-ID syntax and classification by prefix.
#include "test_support.h"

namespace {

// The first failing rule in scan order decides the reason; null means legal.
TEST(LegalToken, ReasonTableAndClasses) {
    const std::string id64 = "a." + std::string(62, 'b');
    const char *letter = "Letter required but not found", *after = "Letter or digit required but not found",
               *ends = "Final character must be letter or digit", *illegal = "Illegal character";
    for (const auto &[id, expected] : {std::pair<std::string, const char *>{"", letter}, {"-ab.c", letter},
             {"1a.b", letter}, {"a..b", after}, {"a._b", after}, {"a-.b", "Letter or digit required before period"},
             {"a.b c", illegal}, {"a\xe9.b", illegal}, {"abc", "At least one period is required"}, {"abc.", ends},
             {"ab-", ends}, {"a.b_c-d", nullptr}, {"A9.Z0", nullptr}, {id64, nullptr}, {id64 + "c", "Too long"},
             {id64 + " ", illegal},          // the 65th character passes the other rules first
             {id64 + "cc d", "Too long"}}) {  // a fault beyond it is never reached
        const char *reason = "untouched";
        EXPECT_EQ(zt_isLegalToken(id.c_str(), &reason), expected == nullptr) << id;
        EXPECT_STREQ(reason, expected ? expected : "untouched") << id;
        EXPECT_EQ(zt_isLegalToken(id.c_str(), nullptr), expected == nullptr) << id;
    }
    const char *reason = nullptr;
    EXPECT_EQ(zt_isLegalToken(nullptr, &reason), 0);
    EXPECT_STREQ(reason, "Token pointer is NULL");

    // legal_raw_token_id, zt_isDtuBoundToken, zt_isDsLogicalToken; prefixes ignore case.
    for (auto [id, raw, dtu_bound, logical] : {std::tuple<const char *, int, int, int>{"card.12345", 1, 0, 0},
             {"a.b.c", 0, 0, 0}, {nullptr, 0, 0, 0}, {"PSEUDO.0200001234", 1, 1, 0}, {"pseudo", 0, 0, 0},
             {"escape.x1", 1, 1, 0}, {"terminalid.abc", 1, 1, 0}, {"TerminalId.", 0, 0, 0}, {"User.5", 1, 0, 1},
             {"users.5", 1, 0, 0}, {"user..5", 0, 0, 0}}) {
        EXPECT_EQ(legal_raw_token_id(id), raw) << id;
        EXPECT_EQ(zt_isDtuBoundToken(id), dtu_bound) << id;
        EXPECT_EQ(zt_isDsLogicalToken(id), logical) << id;
    }
}

}  // namespace
