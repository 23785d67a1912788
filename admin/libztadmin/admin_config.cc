// SPDX-License-Identifier: GPL-3.0-or-later
// admin_config.cc - the administration configuration file, the password
// file, and the AdminConfig record they fill.
#include <sys/prctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "admin_private.h"

int DStimeout = 10;

namespace {

// Each read of a configuration line takes at most this many characters
// (plus the terminating zero); a longer line arrives in several pieces.
constexpr int kLineBuffer = 512;

// The mechanism and TLS messages always name the standard file, whichever
// file is being read: administrators know the settings by that file.
constexpr const char *kSettingMessageFile = "/etc/opt/KRVXzt/ztadmin.conf";

using KeyValue = std::pair<zt::CString, zt::CString>;

// Applies the line rules: comments, short lines, lines without "=" and
// pairs whose key or value trims to nothing give no pair.
std::optional<KeyValue> split_config_line(const char *line) {
    size_t length = std::strlen(line);
    if (line[0] == '#' || length <= 1) return std::nullopt;
    const char *equals = std::strchr(line, '=');
    if (equals == nullptr) return std::nullopt;
    std::string key_text(line, static_cast<size_t>(equals - line));
    zt::CString key(strip_leading_and_trailing_whitespace(key_text.c_str()));
    zt::CString value(strip_leading_and_trailing_whitespace(equals + 1));
    if (!key || !value) return std::nullopt;
    return KeyValue(std::move(key), std::move(value));
}

bool all_digits(const char *text) {
    if (*text == '\0') return false;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

// atoi of a digits-only text, saturated at INT_MAX instead of overflowing.
int digits_to_int(const char *digits) {
    errno = 0;
    long value = std::strtol(digits, nullptr, 10);
    if (errno == ERANGE || value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);
}

void replace_string(char *&field, const char *value) {
    char *copy = safe_strdup(value);
    std::free(field);
    field = copy;
}

void set_auth_mech(AdminConfig *zta, const char *value) {
    if (std::strcmp(value, "CRAM_MD5") == 0) {
        zta->auth_mech = AUTH_CRAM_MD5;
    } else if (std::strcmp(value, "SIMPLE") == 0) {
        zta->auth_mech = AUTH_SIMPLE;
    } else {
        zt::dprintf("invalid authentication mechanism specified in %s", kSettingMessageFile);
    }
}

void set_tls_mode(AdminConfig *zta, const char *value) {
    if (std::strcmp(value, "none") == 0) {
        zta->tls_mode = ZT_TLS_NONE;
    } else if (std::strcmp(value, "starttls") == 0) {
        zta->tls_mode = ZT_TLS_STARTTLS;
    } else {
        // A mistyped setting must not quietly fall back to clear text.
        zt::dprintf("invalid TLS mode specified in %s", kSettingMessageFile);
        zta->tls_mode = ZT_TLS_INVALID;
    }
}

// Sets a process-wide value or a numeric field; other keys are ignored.
void set_special_value(AdminConfig *zta, const char *key, const char *value) {
    if (std::strcmp(key, "admin.server.port") == 0) {
        if (all_digits(value)) zta->server_port = digits_to_int(value);
    } else if (std::strcmp(key, "admin.server.timeout") == 0) {
        if (all_digits(value)) DStimeout = digits_to_int(value);
    } else if (std::strcmp(key, "admin.server.optimeout") == 0) {
        if (all_digits(value)) zta->op_timeout = digits_to_int(value);
    } else if (std::strcmp(key, "admin.debug") == 0) {
        set_gdebug(value);
    } else if (std::strcmp(key, "admin.server.authmech") == 0) {
        set_auth_mech(zta, value);
    } else if (std::strcmp(key, "admin.server.tls") == 0) {
        set_tls_mode(zta, value);
    }
}

// The string field that `key` fills, or null for any other key.
char **string_field(AdminConfig *zta, const char *key) {
    static constexpr std::pair<const char *, char *AdminConfig::*> kFields[] = {
        {"admin.server.name", &AdminConfig::server_name},
        {"admin.user.name", &AdminConfig::user_name},
        {"admin.subtree", &AdminConfig::subtree},
        {"admin.dstatus.dbfile", &AdminConfig::dstatus_dbfile},
        {"admin.ustatus.dbfile", &AdminConfig::ustatus_dbfile},
        {"admin.defaultlocale", &AdminConfig::default_locale},
        {"admin.server.tls.cacert", &AdminConfig::tls_cacert},
    };
    for (const auto &[name, member] : kFields) {
        if (std::strcmp(key, name) == 0) return &(zta->*member);
    }
    return nullptr;
}

// Frees a string after overwriting it, so that a password does not linger
// in freed memory.
void wipe_and_free(char *secret) {
    if (secret == nullptr) return;
    explicit_bzero(secret, std::strlen(secret));
    std::free(secret);
}

// Whether the opened file `fd` may be trusted; otherwise false with errno
// EACCES, after the log line naming the file, its owner and its mode.
bool trusted_file(const zt::Fd &fd, const std::string &path, const char *who, const char *what, bool secret) {
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return false;
    const char *reason = zt::untrusted_file_reason(st, secret);
    if (reason == nullptr) return true;
    zt::dprintf("%s(): %s (%s) %s (owner %u, mode %04o)\n", who, what, path.c_str(), reason,
                static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    errno = EACCES;
    return false;
}

// The connections holding a password read from the password file, and
// whether the process was dumpable before the first of them.
std::mutex secret_holders_lock;
std::set<const AdminConfig *> secret_holders;
int dumpable_before = 0;

}  // namespace

namespace zt {

const char *untrusted_file_reason(const struct stat &st, bool secret) {
    if (st.st_uid != 0) return "is not owned by root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    if (secret && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) return "is readable by group or others";
    return nullptr;
}

FilePtr open_trusted_config_file(const std::string &path, const char *who, const char *what) {
    Fd fd = open_regular_file(path);
    if (fd && !trusted_file(fd, path, who, what, false)) return nullptr;
    return open_config_file(std::move(fd));
}

void hold_password_undumpable(const AdminConfig *holder) {
    std::lock_guard<std::mutex> lock(secret_holders_lock);
    if (secret_holders.empty()) {
        dumpable_before = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    }
    secret_holders.insert(holder);
}

void release_password_undumpable(const AdminConfig *holder) {
    std::lock_guard<std::mutex> lock(secret_holders_lock);
    if (secret_holders.erase(holder) == 0 || !secret_holders.empty()) return;
    if (dumpable_before > 0) prctl(PR_SET_DUMPABLE, dumpable_before, 0, 0, 0);
}

}  // namespace zt

extern "C" {

AdminConfig *allocate_zta(void) {
    auto *zta = static_cast<AdminConfig *>(safe_malloc(sizeof(AdminConfig)));
    zta->auth_mech = AUTH_CRAM_MD5;
    zta->op_timeout = zt::kDefaultAnswerSeconds;
    return zta;
}

AdminConfig *set_zta_val(AdminConfig *zta, const char *key, const char *value) {
    if (zta == nullptr || key == nullptr || value == nullptr) return zta;
    if (char **field = string_field(zta, key)) {
        replace_string(*field, value);
    } else {
        set_special_value(zta, key, value);
    }
    return zta;
}

AdminStatus read_config_file(AdminConfig *zta, const char *path) {
    if (zta == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string file = path != nullptr ? std::string(path) : zt::fixed_path(zt::kConfigPath);
    // A privileged connection binds where this file says, with the password.
    zt::FilePtr in = zta->access_level == 3 ? zt::open_trusted_config_file(file, "read_config_file", "Config file")
                                            : zt::open_config_file(file);
    if (!in) {
        int err = errno;
        AdminStatus status = zt_errno2zterr(err, ADMIN_ERR_FILE_ACCESS);
        zt::dprintf("read_config_file(): Could not open config file (%s), error %d\n", file.c_str(), err);
        return status;
    }
    char line[kLineBuffer];
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        if (auto pair = split_config_line(line)) set_zta_val(zta, pair->first.get(), pair->second.get());
    }
    return ADMIN_SUCCESS;
}

int check_zta(const AdminConfig *zta) {
    if (zta == nullptr || zta->server_name == nullptr || zta->server_port == 0 || zta->subtree == nullptr ||
        zta->dstatus_dbfile == nullptr || zta->ustatus_dbfile == nullptr) {
        zt::dprintf("check_zta(): zta - important fields are not filled.\n");
        return ADMIN_ERR_INTERNAL;
    }
    if (zta->access_level == 1) return ADMIN_SUCCESS;
    if (zta->user_name == nullptr) {
        zt::dprintf("check_zta(): zta - user fields are not filled.\n");
        return ADMIN_ERR_INTERNAL;
    }
    return ADMIN_SUCCESS;
}

void free_zta(AdminConfig *zta) {
    if (zta == nullptr) return;
    for (char *field : {zta->server_name, zta->user_name, zta->subtree, zta->default_locale, zta->dstatus_dbfile,
                        zta->ustatus_dbfile, zta->primary_name, zta->tls_cacert}) {
        std::free(field);
    }
    wipe_and_free(zta->password);
    zt::release_password_undumpable(zta);
    std::free(zta);
}

int DSauth(const char *mechanism) {
    int result;
    if (mechanism == nullptr || *mechanism == '\0') {
        result = AUTH_CRAM_MD5;
    } else {
        zt::dprintf("DSauth=%s", mechanism);
        if (std::strcmp(mechanism, "CRAM_MD5") == 0) {
            result = AUTH_CRAM_MD5;
        } else if (std::strcmp(mechanism, "SIMPLE") == 0) {
            result = AUTH_SIMPLE;
        } else {
            result = -1;
        }
    }
    zt::dprintf("DSauth ret=%d", result);
    return result;
}

}  // extern "C"

namespace zt {

char *read_password_file(const char *path, AdminStatus *status, bool trusted_only) {
    AdminStatus ignored;
    if (status == nullptr) status = &ignored;
    *status = ADMIN_ERR_INTERNAL;
    std::string file = path != nullptr ? std::string(path) : zt::fixed_path(zt::kPasswordPath);
    zt::Fd fd = zt::open_regular_file(file);
    if (fd && trusted_only && !trusted_file(fd, file, "read_passwd_file", "ZT password file", true)) fd.reset();
    zt::FilePtr in(fd ? fdopen(fd.get(), "r") : nullptr);
    if (!in) {
        *status = zt_errno2zterr(errno, ADMIN_ERR_FILE_ACCESS);
        return nullptr;
    }
    fd.release();
    // Only the first line is read, so the file's size does not matter; the
    // stream's buffer is ours so that it can be wiped.
    char buffer[BUFSIZ];
    std::setvbuf(in.get(), buffer, _IOFBF, sizeof buffer);
    char line[kLineBuffer];
    char *read = std::fgets(line, sizeof line, in.get());
    in.reset();
    explicit_bzero(buffer, sizeof buffer);
    if (read == nullptr) return nullptr;
    char *trimmed = strip_leading_and_trailing_whitespace(line);
    explicit_bzero(line, sizeof line);
    if (trimmed == nullptr) return nullptr;
    char *password = scramble_text(trimmed);
    wipe_and_free(trimmed);
    *status = ADMIN_SUCCESS;
    return password;
}

}  // namespace zt

extern "C" {

char *read_passwd_file(const char *path, AdminStatus *status) { return zt::read_password_file(path, status, false); }

char *get_defaultlocale(void) {
    std::string file = zt::fixed_path(zt::kConfigPath);
    AdminConfig *zta = allocate_zta();
    char *locale = nullptr;
    if (read_config_file(zta, file.c_str()) != ADMIN_SUCCESS) {
        zt::dprintf("get_defaultlocale(): Could not read config file (%s)\n", file.c_str());
    } else {
        locale = safe_strdup(zta->default_locale);
    }
    free_zta(zta);
    return locale;
}

char *get_ztadmin_info(const char *key) {
    if (key == nullptr) return nullptr;
    std::string file = zt::fixed_path(zt::kConfigPath);
    zt::FilePtr in = zt::open_config_file(file);
    if (!in) {
        zt::dprintf("get_ztadmin_info(): Could not open config file (%s)\n", file.c_str());
        return nullptr;
    }
    char line[kLineBuffer];
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        auto pair = split_config_line(line);
        if (pair && std::strcmp(pair->first.get(), key) == 0) return pair->second.release();
    }
    return nullptr;
}

}  // extern "C"
