// SPDX-License-Identifier: GPL-3.0-or-later
// Status texts and the mappings of foreign error numbers.
#include <cerrno>

#include "test_support.h"

namespace {

TEST(Errors, TextsAndForeignCodeMappings) {
    const char *undefined = "Undefined error code";
    for (auto [code, text] : {std::pair<AdminStatus, const char *>{ADMIN_SUCCESS, "Success"}, {-21, undefined},
             {ADMIN_ERR_DB_UNREACHABLE, "Unable to contact admin database"}, {-34, undefined}, {1, undefined},
             {ADMIN_ERR_SESSION_DETACHED, "Session detached"}, {-33, "Data replication timed out"}, {3, undefined},
             {ADMIN_ERR_UNKNOWN, "Unknown system error"}, {-2147483647 - 1, undefined}})
        EXPECT_STREQ(zt_err2str(code), text) << code;

    // The mappings of foreign error numbers.
    for (auto [err, want] : {std::pair{0, 0}, {ENOENT, -19}, {ENOMEM, -10}, {EACCES, -5}, {EEXIST, -7}, {EPERM, -16}})
        EXPECT_EQ(zt_errno2zterr(err, ADMIN_ERR_FILE_ACCESS), want) << err;
    EXPECT_EQ(zt_errno2zterr(EISDIR, ADMIN_ERR_INTERNAL), ADMIN_ERR_INTERNAL);
    for (auto [ldap_code, result] : {std::pair{0, 0}, {10, -29}, {50, -5}, {68, -7}, {32, -1}, {-1, -1}})
        EXPECT_EQ(zt_dserr2zterr(ldap_code), result) << ldap_code;
}

}  // namespace
