// Whether a token is fixed to a terminal or personal, for logical tokens
// whose answer lies in their first raw token.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class TokenClass : public SubtreeTest {};

TEST_F(TokenClass, LogicalTokensFollowTheirFirstRawToken) {
    put_logical("user.kiosk", {"pseudo.0800aa", "card.1"});
    put_logical("user.person", {"card.2", "pseudo.0800bb"});
    put_logical("user.empty", {});
    struct Case {
        const char *id;
        int fixed;
        int personal;
    } cases[] = {
        {"user.kiosk", 1, 0},   {"USER.kiosk", 1, 0},    {"user.person", 0, 1}, {"user.empty", 0, 1},
        {"user.missing", 0, 1}, {"TerminalId.abc", 1, 0}, {"card.1", 0, 1},      {"pseudo", 0, 0},
        {"user.", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zt_isFixedToken(conn_.get(), c.id), c.fixed) << c.id;
        EXPECT_EQ(zt_isPersonalToken(conn_.get(), c.id), c.personal) << c.id;
    }
    // Without a connection a logical token cannot be fixed.
    EXPECT_EQ(zt_isFixedToken(nullptr, "user.kiosk"), 0);
    EXPECT_EQ(zt_isPersonalToken(nullptr, "user.kiosk"), 1);
    EXPECT_EQ(zt_isFixedToken(nullptr, "escape.1"), 1);
}

}  // namespace
}  // namespace zt::test
