// admin_error.cc - status texts, their message catalogue, and the mappings
// of foreign error numbers to AdminStatus.
#include <libintl.h>

#include <cerrno>
#include <string>

#include "admin_private.h"
#include "zterrno.h"

namespace {

constexpr const char *kDomain = "zt_libztadmin";
constexpr const char *kUndefined = "Undefined error code";

// Texts of the codes 0 down to -33; an empty slot is an unassigned code.
constexpr const char *kFailureTexts[] = {
    "Success",
    "Internal system error",
    "No changes were made",
    "Authentication failed",
    "Object not found",
    "No permission",
    "Invalid arguments",
    "Data already exists",
    "Terminal already in use",
    "Token not found",
    "Not enough memory",
    "Duplicate Terminal ID",
    "Server unreachable",
    "Failed to open socket",
    "Socket write failed",
    "Authentication Manager timeout",
    "File access error",
    "Invalid call sequence",
    "No more data",
    "File or directory does not exist",
    "Unable to contact admin database",
    kUndefined,
    "Session detached",
    "Not currently in a Veltra session",
    "Operation timed out",
    "Failed to contact the remote service",
    "Configuration error",
    "No buffer space available",
    "Failed to open DBM files",
    "Invalid referral from the primary DS server",
    "Open failed",
    "Message rejected",
    "Connection disconnected",
    "Data replication timed out",
};
constexpr int kLowestCode = -static_cast<int>(sizeof kFailureTexts / sizeof kFailureTexts[0] - 1);

const char *untranslated_text(AdminStatus code) {
    if (code == ADMIN_ERR_UNKNOWN) return "Unknown system error";
    if (code > 0 || code < kLowestCode) return kUndefined;
    return kFailureTexts[-code];
}

}  // namespace

extern "C" {

void zt_err2str_init(void) {
    std::string dir = zt::fixed_path(zt::kLocaleDir);
    bindtextdomain(kDomain, dir.c_str());
}

const char *zt_err2str(AdminStatus code) { return dgettext(kDomain, untranslated_text(code)); }

const char *zt_errNotPrivileged(void) {
    return dgettext(kDomain, "Administrator privilege is required to perform this activity");
}

AdminStatus zt_errno2zterr(int err, AdminStatus fallback) {
    switch (err) {
        case 0: return ADMIN_SUCCESS;
        case ENOENT: return ADMIN_ERR_NO_SUCH_FILE;
        case ENOMEM: return ADMIN_ERR_NO_MEMORY;
        case EACCES: return ADMIN_ERR_NO_PERMISSION;
        case EEXIST: return ADMIN_ERR_EXISTS;
        default: return fallback;
    }
}

AdminStatus zt_dserr2zterr(int ldap_code) {
    switch (ldap_code) {
        case 0: return ADMIN_SUCCESS;
        case 10: return ADMIN_ERR_BAD_REFERRAL;
        case 50: return ADMIN_ERR_NO_PERMISSION;
        case 68: return ADMIN_ERR_EXISTS;
        default: return ADMIN_ERR_INTERNAL;
    }
}

}  // extern "C"
