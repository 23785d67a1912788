// admin.cc - the connection: configuration, bound LDAP session and the two
// status databases in one AdminConfig record.
//
// A connection is made whole or not at all: every failure releases what was
// opened so far and reports a null record, with the cause in the log only.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"

namespace {

// Bind identity of the lowest access level: slapd treats it as anonymous.
constexpr const char *kAnonymousDn = "cn=anonymous";

// Replaces a record's string field by a copy of `value` (or absent).
void replace_field(char *&field, const char *value) {
    std::free(field);
    field = safe_strdup(value);
}

// Sets bind identity, password and mechanism by the access level.  Returns
// 0, or the status of the password file read (after logging it).
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
            char *clear = read_passwd_file(path.c_str(), &status);
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

// Opens both status databases, read-only at level 1.  Returns 0 or -28
// (after logging which file failed); on failure nothing stays open.
AdminStatus open_status_databases(AdminConfig *zta) {
    int mode = zta->access_level == 1 ? 1 : 0;
    zta->dstatus_db = open_desktop_dbm(zta->dstatus_dbfile, mode);
    if (zta->dstatus_db == nullptr) {
        zt::dprintf("open_connection(): Could not open dstatus DB at (%s)\n", zta->dstatus_dbfile);
        return ADMIN_ERR_DBM_OPEN;
    }
    zta->ustatus_db = open_user_dbm(zta->ustatus_dbfile, mode);
    if (zta->ustatus_db == nullptr) {
        zt::dprintf("open_connection(): Could not open ustatus DB at (%s)\n", zta->ustatus_dbfile);
        close_desktop_dbm(zta->dstatus_db);
        zta->dstatus_db = nullptr;
        return ADMIN_ERR_DBM_OPEN;
    }
    return ADMIN_SUCCESS;
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

// _zt_LDAPopen with the transport of the configuration.
LDAP *open_ldap(const char *bind_dn, const char *password, const char *host, int port, int auth_mech,
                const Transport &transport, AdminStatus *status);

}  // namespace

namespace zt {

LDAP *open_session(const AdminConfig *conn, const char *host, AdminStatus *status) {
    return open_ldap(conn->user_name, conn->password, host, conn->server_port, conn->auth_mech,
                     {conn->tls_mode, conn->tls_cacert, conn->op_timeout}, status);
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
    AdminStatus &result = status != nullptr ? *status : ignored;
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
    if (AdminStatus s = apply_access_level(zta, access_level, user, password); s != ADMIN_SUCCESS) {
        free_zta(zta);
        result = s;
        return nullptr;
    }
    zta->session = zt::open_session(zta, zta->server_name, &result);
    if (zta->session == nullptr) {
        free_zta(zta);
        return nullptr;
    }
    if (AdminStatus s = open_status_databases(zta); s != ADMIN_SUCCESS) {
        result = s;
        close_connection(zta);
        return nullptr;
    }
    return zta;
}

LDAP *_zt_LDAPopen(const char *bind_dn, const char *password, const char *host, int port,
                   int auth_mech, AdminStatus *status) {
    return open_ldap(bind_dn, password, host, port, auth_mech, {ZT_TLS_NONE, nullptr, zt::kDefaultAnswerSeconds},
                     status);
}

}  // extern "C"

namespace {

LDAP *open_ldap(const char *bind_dn, const char *password, const char *host, int port, int auth_mech,
                const Transport &transport, AdminStatus *status) {
    AdminStatus ignored = ADMIN_SUCCESS;
    AdminStatus &result = status != nullptr ? *status : ignored;
    const char *shown_host = host != nullptr ? host : "(null)";
    zt::dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", shown_host, port,
                 bind_dn != nullptr ? bind_dn : "(null)");
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
    if (connection->dstatus_db != nullptr) close_desktop_dbm(connection->dstatus_db);
    if (connection->ustatus_db != nullptr) close_user_dbm(connection->ustatus_db);
    connection->dstatus_db = nullptr;
    connection->ustatus_db = nullptr;
    if (connection->session != nullptr) ldap_unbind_ext_s(connection->session, nullptr, nullptr);
    if (connection->primary_session != nullptr) {
        ldap_unbind_ext_s(connection->primary_session, nullptr, nullptr);
    }
    connection->session = nullptr;
    connection->primary_session = nullptr;
    free_zta(connection);
    return 0;
}

const char *get_server_name(const AdminConfig *connection) {
    return connection != nullptr ? connection->server_name : nullptr;
}

}  // extern "C"
