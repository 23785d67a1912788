// SPDX-License-Identifier: GPL-3.0-or-later
// admin.cc - the connection: configuration, bound LDAP session and the two
// status databases in one AdminConfig record.
//
// A connection is made whole or not at all: every failure releases what was
// opened so far and reports a null record, with the cause in the log only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "admin_private.h"
#include "status_dbm.h"

namespace {

// Bind identity of the lowest access level: slapd treats it as anonymous.
constexpr const char *kAnonymousDn = "cn=anonymous";

// Replaces a record's string field by a copy of `value` (or absent).
void replace_field(char *&field, const char *value) {
    std::free(field);
    field = safe_strdup(value);
}

}  // namespace

namespace zt {

AdminStatus apply_access_level(AdminConfig *zta, int level, const char *user,
                               const char *password) {
    switch (level) {
        case 1:
            replace_field(zta->user_name, kAnonymousDn);
            zta->auth_mech = AUTH_SIMPLE;
            replace_field(zta->password, nullptr);
            return ADMIN_SUCCESS;
        case 2:
            replace_field(zta->password, password);
            return ADMIN_SUCCESS;
        case 3: {
            std::string path = zt::fixed_path(zt::kPasswordPath);
            AdminStatus status = ADMIN_SUCCESS;
            // Until free_zta wipes it, no core dump or tracer may see it.
            zt::hold_password_undumpable(zta);
            char *clear = zt::read_password_file(path.c_str(), &status, true);
            if (clear == nullptr) {
                zt::dprintf("open_connection(): Could not read ZT password file (%s)\n", path.c_str());
                return status;
            }
            std::free(zta->password);
            zta->password = clear;
            return ADMIN_SUCCESS;
        }
        case 4:
            replace_field(zta->user_name, user);
            replace_field(zta->password, password);
            return ADMIN_SUCCESS;
        default:
            replace_field(zta->password, nullptr);
            return ADMIN_SUCCESS;
    }
}

}  // namespace zt

namespace {

// Opens both status databases, read-only at level 1; with `kept`, handles
// kept from an earlier short connection on the unchanged files are taken
// instead (status_dbm.h).  Returns 0 or -28 (after logging which file
// failed); on failure nothing stays open.
AdminStatus open_status_databases(AdminConfig *zta, bool kept) {
    int mode = zta->access_level == 1 ? 1 : 0;
    auto open = kept ? zt::status_dbm::open_or_take : zt::status_dbm::open;
    zta->dstatus_db = open(zta->dstatus_dbfile, mode);
    if (zta->dstatus_db == nullptr) {
        zt::dprintf("open_connection(): Could not open dstatus DB at (%s)\n", zta->dstatus_dbfile);
        return ADMIN_ERR_DBM_OPEN;
    }
    zta->ustatus_db = open(zta->ustatus_dbfile, mode);
    if (zta->ustatus_db == nullptr) {
        zt::dprintf("open_connection(): Could not open ustatus DB at (%s)\n", zta->ustatus_dbfile);
        if (kept) {
            zt::status_dbm::keep(zta->dstatus_db);
        } else {
            close_desktop_dbm(zta->dstatus_db);
        }
        zta->dstatus_db = nullptr;
        return ADMIN_ERR_DBM_OPEN;
    }
    return ADMIN_SUCCESS;
}

// Closes the status databases, unbinds the sessions still open and frees
// the record.
void release_handles(AdminConfig *record) {
    if (record->dstatus_db != nullptr) close_desktop_dbm(record->dstatus_db);
    if (record->ustatus_db != nullptr) close_user_dbm(record->ustatus_db);
    record->dstatus_db = nullptr;
    record->ustatus_db = nullptr;
    if (record->session != nullptr) ldap_unbind_ext_s(record->session, nullptr, nullptr);
    if (record->primary_session != nullptr) ldap_unbind_ext_s(record->primary_session, nullptr, nullptr);
    record->session = nullptr;
    record->primary_session = nullptr;
    free_zta(record);
}

// The session URI for a host and port; IPv6 literals need brackets.
std::string ldap_uri(const char *host, int port) {
    std::string h = host != nullptr ? host : "";
    if (h.find(':') != std::string::npos) h = "[" + h + "]";
    return "ldap://" + h + ":" + std::to_string(port);
}

// A bind that cannot be made, refused before any traffic: -3 after logging
// (no CRAM-MD5 password, unknown mechanism); 0 otherwise.
AdminStatus refused_bind(const char *password, const char *host, int auth_mech) {
    if (auth_mech == AUTH_CRAM_MD5 && password == nullptr) {
        zt::dprintf("open_connection(): Could not bind to DS server %s - %s\n", host, ldap_err2string(LDAP_SUCCESS));
        return ADMIN_ERR_AUTH_FAILED;
    }
    if (auth_mech != AUTH_CRAM_MD5 && auth_mech != AUTH_SIMPLE) {
        zt::dprintf("open_connection(): invalid authentication mechanism (=%d)", auth_mech);
        return ADMIN_ERR_AUTH_FAILED;
    }
    return ADMIN_SUCCESS;
}

// Binds `ld` by mechanism (one that refused_bind() lets through); returns
// the LDAP result.
int bind_session(LDAP *ld, const char *bind_dn, const char *password, int auth_mech) {
    if (auth_mech == AUTH_CRAM_MD5) {
        berval credentials{std::strlen(password), const_cast<char *>(password)};
        return _zt_ldap_sasl_cram_md5_bind_s(ld, bind_dn, &credentials, nullptr, nullptr);
    }
    berval credentials{0, nullptr};
    if (password != nullptr) credentials = {std::strlen(password), const_cast<char *>(password)};
    return ldap_sasl_bind_s(ld, bind_dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
}

// ------------------------------------------- libldap's own configuration
// libldap reads its global configuration once, at its first use: the
// system's file, then, unless the real and effective user IDs differ, the
// caller's ~/ldaprc, ~/.ldaprc and ./ldaprc, the files $LDAPCONF and
// $LDAPRC name, and every LDAP* variable (LDAPSIZELIMIT, LDAPURI,
// LDAPTLS_CACERT, ...).  A set-gid copy, and root started in someone
// else's directory, would take settings from whoever ran them.  The first
// initialisation therefore runs with those variables and HOME hidden and
// from "/"; the environment and the working directory are put back after.

struct HiddenVariable {
    std::string name;
    std::string value;
};

// Removes the LDAP* variables and HOME from the environment; what was there.
std::vector<HiddenVariable> hide_callers_ldap_settings() {
    std::vector<HiddenVariable> hidden;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        size_t equals = text.find('=');
        std::string_view name = text.substr(0, equals);
        if (equals != std::string_view::npos && (name.starts_with("LDAP") || name == "HOME"))
            hidden.push_back({std::string(name), std::string(text.substr(equals + 1))});
    }
    for (const HiddenVariable &v : hidden) unsetenv(v.name.c_str());
    return hidden;
}

// Where the process was, so that it can come back after working from "/".
class WorkingDirectory {
public:
    WorkingDirectory() : fd_(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
    ~WorkingDirectory() {
        if (moved_ && fchdir(fd_.get()) != 0) zt::dprintf("open_connection(): cannot return to the working directory");
    }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;
    // Moves to "/"; false (staying where it is) when it could not come back.
    bool move_to_root() { return moved_ = fd_ && chdir("/") == 0; }

private:
    zt::Fd fd_;
    bool moved_ = false;
};

void initialise_ldap_with_system_configuration() {
    std::vector<HiddenVariable> hidden = hide_callers_ldap_settings();
    {
        WorkingDirectory here;
        // Unable to leave a directory it could not come back to, it reads
        // no configuration at all rather than the caller's ./ldaprc.
        if (!here.move_to_root()) setenv("LDAPNOINIT", "1", 1);
        int version = 0;
        ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
        unsetenv("LDAPNOINIT");
    }
    for (const HiddenVariable &v : hidden) setenv(v.name.c_str(), v.value.c_str(), 1);
}

// Connects the new session now, rather than at its first request, so that
// its socket reads and writes are bounded from the TLS handshake on.
int connect_session(LDAP *ld) {
    if (ldap_connect(ld) != LDAP_SUCCESS) return LDAP_SERVER_DOWN;
    zt::bound_socket_io(ld);
    return LDAP_SUCCESS;
}

// How a session talks to its server: the configuration's transport security
// and the bound on each wait for an answer.
struct Transport {
    int tls_mode;
    const char *cacert;
    int answer_seconds;
};

// _zt_LDAPopen with the transport of the configuration; without
// `announce`, the debug line naming the session is left out.
LDAP *open_ldap(const char *bind_dn, const char *password, const char *host, int port, int auth_mech,
                const Transport &transport, AdminStatus *status, bool announce = true);

// The debug line with which every session opened is named.
void announce_session(const char *host, int port, const char *bind_dn) {
    zt::dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", host != nullptr ? host : "(null)", port,
                 bind_dn != nullptr ? bind_dn : "(null)");
}

std::optional<std::string> text_of(const char *value) {
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

namespace zt {

LDAP *open_session(const AdminConfig *conn, const char *host, AdminStatus *status, bool announce) {
    return open_ldap(conn->user_name, conn->password, host, conn->server_port, conn->auth_mech,
                     {conn->tls_mode, conn->tls_cacert, conn->op_timeout}, status, announce);
}

SessionKey session_key(const AdminConfig *conn, const char *host) {
    SessionKey key;
    key.host = host != nullptr ? host : "";
    key.port = conn->server_port;
    key.bind_dn = text_of(conn->user_name);
    key.password = text_of(conn->password);
    key.auth_mech = conn->auth_mech;
    key.tls_mode = conn->tls_mode;
    key.cacert = text_of(conn->tls_cacert);
    key.answer_seconds = conn->op_timeout;
    return key;
}

LDAP *take_session(const AdminConfig *conn, const char *host, AdminStatus *status, bool *was_kept) {
    announce_session(host, conn->server_port, conn->user_name);
    LDAP *kept = take_kept_session(session_key(conn, host));
    if (was_kept != nullptr) *was_kept = kept != nullptr;
    return kept != nullptr ? kept : open_session(conn, host, status, false);
}

}  // namespace zt

extern "C" {

AdminConfig *open_connection(int access_level, const char *user, const char *password,
                             const char *config_path, AdminStatus *status) {
    AdminStatus ignored = ADMIN_SUCCESS;
    AdminStatus &result = status != nullptr ? *status : ignored;
    AdminConfig *zta = _zt_dsConnect(access_level, user, password, config_path, nullptr, &result);
    if (zta == nullptr) result = ADMIN_ERR_INTERNAL;
    return zta;
}

AdminConfig *_zt_dsConnect(int access_level, const char *user, const char *password,
                           const char *config_path, const char *server, AdminStatus *status) {
    AdminStatus ignored = ADMIN_SUCCESS;
    return zt::connect_record(access_level, user, password, config_path, server,
                              status != nullptr ? *status : ignored, false);
}

LDAP *_zt_LDAPopen(const char *bind_dn, const char *password, const char *host, int port,
                   int auth_mech, AdminStatus *status) {
    return open_ldap(bind_dn, password, host, port, auth_mech, {ZT_TLS_NONE, nullptr, zt::kDefaultAnswerSeconds},
                     status);
}

}  // extern "C"

namespace zt {

AdminConfig *connect_record(int access_level, const char *user, const char *password, const char *config_path,
                            const char *server, AdminStatus &result, bool kept) {
    result = ADMIN_SUCCESS;
    std::string path = config_path != nullptr ? std::string(config_path) : zt::fixed_path(zt::kConfigPath);
    if (access(path.c_str(), F_OK) != 0) {
        result = zt_errno2zterr(errno, ADMIN_ERR_FILE_ACCESS);
        return nullptr;
    }
    AdminConfig *zta = allocate_zta();
    zta->access_level = access_level;
    AdminStatus read = read_config_file(zta, path.c_str());
    if (read != ADMIN_SUCCESS) {
        zt::dprintf("open_connection(): Could not read config file (%s)\n", path.c_str());
        free_zta(zta);
        result = read;
        return nullptr;
    }
    if (check_zta(zta) != 0) {
        zt::dprintf("open_connection(): Config file (%s) contents are incomplete\n", path.c_str());
        free_zta(zta);
        result = ADMIN_ERR_INTERNAL;
        return nullptr;
    }
    if (server != nullptr) replace_field(zta->server_name, server);
    if (AdminStatus s = zt::apply_access_level(zta, access_level, user, password); s != ADMIN_SUCCESS) {
        free_zta(zta);
        result = s;
        return nullptr;
    }
    zta->session = kept ? take_session(zta, zta->server_name, &result)
                        : open_session(zta, zta->server_name, &result);
    if (zta->session == nullptr) {
        free_zta(zta);
        return nullptr;
    }
    if (AdminStatus s = open_status_databases(zta, kept); s != ADMIN_SUCCESS) {
        result = s;
        if (kept) {
            release_record(zta, true);
        } else {
            release_handles(zta);
        }
        return nullptr;
    }
    return zta;
}

void release_record(AdminConfig *record, bool sound) {
    if (record == nullptr) return;
    if (sound) keep_session(session_key(record, record->server_name), std::exchange(record->session, nullptr));
    status_dbm::keep(std::exchange(record->dstatus_db, nullptr));
    status_dbm::keep(std::exchange(record->ustatus_db, nullptr));
    release_handles(record);
}

}  // namespace zt

namespace {

LDAP *open_ldap(const char *bind_dn, const char *password, const char *host, int port, int auth_mech,
                const Transport &transport, AdminStatus *status, bool announce) {
    AdminStatus ignored = ADMIN_SUCCESS;
    AdminStatus &result = status != nullptr ? *status : ignored;
    const char *shown_host = host != nullptr ? host : "(null)";
    if (announce) announce_session(host, port, bind_dn);
    static std::once_flag ldap_initialised;
    std::call_once(ldap_initialised, initialise_ldap_with_system_configuration);
    LDAP *raw = nullptr;
    errno = 0;
    if (ldap_initialize(&raw, ldap_uri(host, port).c_str()) != LDAP_SUCCESS || raw == nullptr) {
        zt::dprintf("open_connection(): failed to connect to DS server %s - %s\n", shown_host,
                    std::strerror(errno));
        result = ADMIN_ERR_DB_UNREACHABLE;
        return nullptr;
    }
    zt::LdapPtr ld(raw);
    int version = LDAP_VERSION3;
    if (int rc = ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version); rc != LDAP_OPT_SUCCESS) {
        zt::dprintf("open_connection(): ");
        zt::dprintf("failed to establish ldapv3 session with server %s - %s.\n", shown_host,
                    ldap_err2string(rc));
        result = ADMIN_ERR_DB_UNREACHABLE;
        return nullptr;
    }
    if (int rc = ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF); rc != LDAP_OPT_SUCCESS) {
        zt::dprintf("open_connection(): ");
        zt::dprintf("failed to turn off the follow referral option with server %s - %s.\n",
                    shown_host, ldap_err2string(rc));
        result = ADMIN_ERR_DB_UNREACHABLE;
        return nullptr;
    }
    if (int rc = zt::set_session_bounds(ld.get(), DStimeout, transport.answer_seconds); rc != LDAP_OPT_SUCCESS) {
        zt::dprintf("open_connection(): ");
        zt::dprintf("failed to set the time-outs with server %s - %s.\n", shown_host, ldap_err2string(rc));
        result = ADMIN_ERR_DB_UNREACHABLE;
        return nullptr;
    }
    if (AdminStatus refused = refused_bind(password, shown_host, auth_mech); refused != ADMIN_SUCCESS) {
        result = refused;
        return nullptr;
    }
    const char *step = "StartTLS";
    int rc = connect_session(ld.get());
    if (rc == LDAP_SUCCESS) rc = zt::start_tls(ld.get(), transport.tls_mode, transport.cacert, shown_host);
    if (rc == LDAP_SUCCESS) {
        step = "bind";
        rc = bind_session(ld.get(), bind_dn, password, auth_mech);
    }
    if (rc == LDAP_SUCCESS) return ld.release();
    if (rc == LDAP_TIMEOUT) zt::report_unanswered(ld.get(), {step, bind_dn, false});
    result = rc == LDAP_INVALID_CREDENTIALS ? ADMIN_ERR_AUTH_FAILED : ADMIN_ERR_INTERNAL;
    zt::dprintf("open_connection(): Could not bind to DS server %s - %s\n", shown_host,
                ldap_err2string(rc));
    return nullptr;
}

}  // namespace

extern "C" {

int close_connection(AdminConfig *connection) {
    if (connection == nullptr) return 0;
    release_handles(connection);
    zt::empty_session_pool();
    zt::status_dbm::close_kept();
    return 0;
}

const char *get_server_name(const AdminConfig *connection) {
    return connection != nullptr ? connection->server_name : nullptr;
}

}  // extern "C"
