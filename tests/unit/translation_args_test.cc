// The array translation's argument and length checks come before any
// search: the session points at a closed port, so a search that slipped
// through would end in another status.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "admin.h"
#include "test_support.h"

namespace {

TEST(LidByRid, RefusesBadArgumentsAndLongTextsWithoutASearch) {
    zt::test::TempDir dir;
    std::string log = dir.path() + "/log";
    setenv("ZTADMIN_LOG", log.c_str(), 1);
    AdminConfig conn{};
    ASSERT_EQ(ldap_initialize(&conn.session, "ldap://127.0.0.1:1/"), LDAP_SUCCESS);
    std::string root = "o=ztdata";
    conn.subtree = root.data();
    char **out = reinterpret_cast<char **>(&conn);

    EXPECT_EQ(_zt_getLidByRid(&conn, "", &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(_zt_getUidByRid(&conn, nullptr, &out), ADMIN_ERR_INVALID_ARGS);
    // "ztRawTokenIDs=" has 14 characters; the limit counts the unescaped ID.
    EXPECT_EQ(_zt_getLidByRid(&conn, std::string(114, 'x').c_str(), &out), ADMIN_ERR_NO_BUFFER);
    EXPECT_EQ(_zt_getLidByRid(&conn, std::string(113, '*').c_str(), &out), ADMIN_ERR_NOT_FOUND);
    // "ztName=logicalTokens, " has 22 characters.
    root = std::string(500 - 22, 'r');
    conn.subtree = root.data();
    EXPECT_EQ(_zt_getUidByRid(&conn, "card.1", &out), ADMIN_ERR_NO_BUFFER);

    std::string text = zt::test::read_file(log);
    EXPECT_EQ(text.substr(0, text.find("search_for_entries")),
              "14 _zt_getLidByRid(): search filter too long\n14 ");
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), "14 _zt_getLidByRid(): subtree name too long\n");
    unsetenv("ZTADMIN_LOG");
    ldap_unbind_ext_s(conn.session, nullptr, nullptr);
}

}  // namespace
