// SPDX-License-Identifier: GPL-3.0-or-later
// admin_error.cc - status texts, their message catalogue, and the mappings
// of foreign error numbers to AdminStatus.
#include <libintl.h>

#include <cerrno>
#include <string>

#include "admin_private.h"
#include "zterrno.h"

namespace {

// Marks a text for the catalogue template (xgettext -kN_); it is looked up
// when asked for, so it stays English here.
constexpr const char *N_(const char *text) { return text; }

constexpr const char *kDomain = "zt_libztadmin";
constexpr const char *kUndefined = N_("Undefined error code");

// Texts of the codes 0 down to -33; an empty slot is an unassigned code.
constexpr const char *kFailureTexts[] = {
    N_("Success"),
    N_("Internal system error"),
    N_("No changes were made"),
    N_("Authentication failed"),
    N_("Object not found"),
    N_("No permission"),
    N_("Invalid arguments"),
    N_("Data already exists"),
    N_("Terminal already in use"),
    N_("Token not found"),
    N_("Not enough memory"),
    N_("Duplicate Terminal ID"),
    N_("Server unreachable"),
    N_("Failed to open socket"),
    N_("Socket write failed"),
    N_("Authentication Manager timeout"),
    N_("File access error"),
    N_("Invalid call sequence"),
    N_("No more data"),
    N_("File or directory does not exist"),
    N_("Unable to contact admin database"),
    kUndefined,
    N_("Session detached"),
    N_("Not currently in a Veltra session"),
    N_("Operation timed out"),
    N_("Failed to contact the remote service"),
    N_("Configuration error"),
    N_("No buffer space available"),
    N_("Failed to open DBM files"),
    N_("Invalid referral from the primary DS server"),
    N_("Open failed"),
    N_("Message rejected"),
    N_("Connection disconnected"),
    N_("Data replication timed out"),
};
constexpr int kLowestCode = -static_cast<int>(sizeof kFailureTexts / sizeof kFailureTexts[0] - 1);

const char *untranslated_text(AdminStatus code) {
    if (code == ADMIN_ERR_UNKNOWN) return N_("Unknown system error");
    if (code > 0 || code < kLowestCode) return kUndefined;
    return kFailureTexts[-code];
}

}  // namespace

extern "C" {

void zt_err2str_init(void) {
    std::string dir = zt::platform_path(zt::kLocaleDir);
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
