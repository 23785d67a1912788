// SPDX-License-Identifier: GPL-3.0-or-later
// rules.cc - what ztuser accepts: configuration values, and who may own
// and change the files it trusts at access level 3.  A file that someone
// other than root can change could point ztuser at another server or
// identity, and a password file that others can read gives the directory
// away.
#include "ztadmin.h"

namespace ztadmin {

bool is_digits(const std::string &value) {
    return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
}

int port_number(const std::string &value) {
    if (!is_digits(value)) return 0;
    size_t start = value.find_first_not_of('0');
    if (start == std::string::npos || value.size() - start > 5) return 0;
    int port = std::stoi(value.substr(start));
    return port <= 65535 ? port : 0;
}

bool is_dn(const char *value) {
    LDAPDN dn = nullptr;
    bool valid = ldap_str2dn(value, &dn, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS && dn != nullptr;
    ldap_dnfree(dn);
    return valid;
}

// FAILED exactly where the library refuses the file at access level 3;
// a password file it accepts with a mode other than 0600 is a warning.
FileVerdict owner_and_mode_verdict(const struct stat &st, bool secret) {
    std::string mode = octal_mode(st.st_mode);
    if (const char *reason = zt::untrusted_file_reason(st, secret)) {
        return {Verdict::kFailed, std::string(reason) + " (owner uid " + std::to_string(st.st_uid) + ", mode " +
                                      mode + ")"};
    }
    if (secret && (st.st_mode & 07777) != 0600) return {Verdict::kWarning, "mode " + mode + ", expected 0600"};
    return {Verdict::kOk, "owned by root, mode " + mode};
}

}  // namespace ztadmin
