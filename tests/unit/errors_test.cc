// Status texts and the mappings of foreign error numbers.
#include <gtest/gtest.h>

#include <cerrno>

#include "zterrno.h"

namespace {

TEST(Errors, TextsIncludingUnassignedCodes) {
    struct {
        AdminStatus code;
        const char *text;
    } cases[] = {
        {ADMIN_SUCCESS, "Success"},
        {ADMIN_ERR_INTERNAL, "Internal system error"},
        {ADMIN_ERR_DB_UNREACHABLE, "Unable to contact admin database"},
        {-21, "Undefined error code"},
        {ADMIN_ERR_SESSION_DETACHED, "Session detached"},
        {ADMIN_ERR_NOT_IN_SESSION, "Not currently in a Veltra session"},
        {ADMIN_ERR_REPLICATION_TIMEOUT, "Data replication timed out"},
        {-34, "Undefined error code"},
        {1, "Undefined error code"},
        {ADMIN_ERR_UNKNOWN, "Unknown system error"},
        {3, "Undefined error code"},
        {-2147483647 - 1, "Undefined error code"},
    };
    for (const auto &c : cases) EXPECT_STREQ(zt_err2str(c.code), c.text) << c.code;
    EXPECT_STREQ(zt_errNotPrivileged(), "Administrator privilege is required to perform this activity");
}

TEST(Errors, ErrnoMapping) {
    struct {
        int err;
        AdminStatus fallback;
        AdminStatus result;
    } cases[] = {
        {0, -16, 0},       {ENOENT, -16, -19}, {ENOMEM, -16, -10}, {EACCES, -16, -5},
        {EEXIST, -16, -7}, {EPERM, -16, -16},  {EISDIR, -1, -1},
    };
    for (const auto &c : cases) EXPECT_EQ(zt_errno2zterr(c.err, c.fallback), c.result) << c.err;
}

TEST(Errors, DirectoryResultMapping) {
    struct {
        int ldap_code;
        AdminStatus result;
    } cases[] = {
        {0, 0}, {10, -29}, {50, -5}, {68, -7}, {32, -1}, {49, -1}, {-1, -1},
    };
    for (const auto &c : cases) EXPECT_EQ(zt_dserr2zterr(c.ldap_code), c.result) << c.ldap_code;
}

}  // namespace
