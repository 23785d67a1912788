// SPDX-License-Identifier: GPL-3.0-or-later
// admin_tls.cc - StartTLS on a new session, before the bind, with the
// server's certificate and name verified.
//
// libldap reports a failed certificate or name check only as "Connect
// error"; the reason appears in its debug output alone.  That output is
// therefore collected while the handshake runs and the reason logged.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "admin_private.h"

namespace {

// libldap's trace level, which carries the TLS layer's reasons.
constexpr int kLdapTraceLevel = 0x0001;

std::mutex trace_mutex;  // one traced handshake at a time
// The printer is process-wide, so other threads' libldap calls print into
// it too while a handshake is traced: the target has a lock of its own.
std::mutex target_mutex;
std::string *trace_target = nullptr;  // guarded by target_mutex

void collect_trace(const char *text) {
    std::lock_guard<std::mutex> lock(target_mutex);
    if (trace_target != nullptr) trace_target->append(text);
}

void set_trace_target(std::string *target) {
    std::lock_guard<std::mutex> lock(target_mutex);
    trace_target = target;
}

// Runs `step` with libldap's process-wide debug output going into the
// returned text; the previous level and printer are restored afterwards.
template <typename Step>
std::string traced(Step step) {
    std::lock_guard<std::mutex> lock(trace_mutex);
    int old_level = 0;
    BER_LOG_PRINT_FN old_printer = nullptr;
    ldap_get_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &old_level);
    ber_get_option(nullptr, LBER_OPT_LOG_PRINT_FN, &old_printer);
    std::string trace;
    set_trace_target(&trace);
    int level = kLdapTraceLevel;
    ber_set_option(nullptr, LBER_OPT_LOG_PRINT_FN, reinterpret_cast<void *>(collect_trace));
    ldap_set_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &level);
    step();
    ldap_set_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &old_level);
    ber_set_option(nullptr, LBER_OPT_LOG_PRINT_FN, reinterpret_cast<void *>(old_printer));
    set_trace_target(nullptr);
    return trace;
}

// The TLS layer's lines of a trace ("TLS: ..."), joined by "; ", without
// the catch-all that only repeats that the handshake failed.
std::string tls_reasons(const std::string &trace) {
    std::string reasons;
    size_t start = 0;
    while (start < trace.size()) {
        size_t end = trace.find('\n', start);
        if (end == std::string::npos) end = trace.size();
        std::string line = trace.substr(start, end - start);
        start = end + 1;
        if (line.rfind("TLS: ", 0) != 0 || line.find("(unknown error code)") != std::string::npos) continue;
        reasons += (reasons.empty() ? "" : "; ") + line;
    }
    return reasons;
}

// Why StartTLS failed: the TLS layer's words, else the server's.
std::string failure_reason(LDAP *ld, const std::string &trace) {
    std::string reason = tls_reasons(trace);
    char *diagnostic = nullptr;
    if (reason.empty() && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
        diagnostic != nullptr) {
        reason = diagnostic;
    }
    ldap_memfree(diagnostic);
    return reason.empty() ? "no reason given" : reason;
}

// A process-wide TLS option of libldap (from its own configuration,
// /etc/ldap/ldap.conf); empty when unset.
std::string library_default(int option) {
    char *value = nullptr;
    std::string text;
    if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS && value != nullptr) text = value;
    ldap_memfree(value);
    return text;
}

// Hands the CA certificates of `path` to the session: read by us as a
// configuration file is (a regular file of bounded size, so that a device
// or FIFO named there cannot hold or swell the process), then given to
// libldap as a private in-memory copy that it reads while the session's
// TLS context is built.  False after logging when the file cannot be read.
bool set_ca_file(LDAP *ld, const std::string &path, zt::Fd &copy) {
    std::string bytes;
    if (!zt::read_config_bytes(path, bytes)) {
        zt::dprintf("open_connection(): Could not read CA file (%s) - %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    copy.reset(memfd_create("ztadmin-cacert", MFD_CLOEXEC));
    if (!copy || write(copy.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        zt::dprintf("open_connection(): Could not copy CA file (%s) - %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::string copy_path = "/proc/self/fd/" + std::to_string(copy.get());
    return ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, copy_path.c_str()) == LDAP_OPT_SUCCESS;
}

// The trusted CAs: the configured file; without one, the file and
// directory libldap's own configuration names (a session's TLS context of
// its own does not inherit them).
bool set_trusted_cas(LDAP *ld, const char *cacert, zt::Fd &copy) {
    std::string file = cacert != nullptr ? cacert : library_default(LDAP_OPT_X_TLS_CACERTFILE);
    if (!file.empty() && !set_ca_file(ld, file, copy)) return false;
    std::string dir = cacert != nullptr ? "" : library_default(LDAP_OPT_X_TLS_CACERTDIR);
    return dir.empty() || ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTDIR, dir.c_str()) == LDAP_OPT_SUCCESS;
}

// Asks for a verified certificate (checked against the trusted CAs) in a
// TLS context of the session's own.  LDAP_LOCAL_ERROR when a CA file cannot
// be read, or libldap refuses a setting or cannot build the context.
int set_up_tls(LDAP *ld, const char *cacert) {
    int demand = LDAP_OPT_X_TLS_DEMAND, client = 0;
    zt::Fd ca_copy;  // read while the context is built, closed after
    bool ok = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
              set_trusted_cas(ld, cacert, ca_copy) &&
              ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) == LDAP_OPT_SUCCESS;
    return ok ? LDAP_SUCCESS : LDAP_LOCAL_ERROR;
}

}  // namespace

namespace zt {

int start_tls(LDAP *ld, int tls_mode, const char *cacert, const char *host) {
    if (tls_mode == ZT_TLS_NONE) return LDAP_SUCCESS;
    if (tls_mode != ZT_TLS_STARTTLS) {
        dprintf("open_connection(): invalid TLS mode (=%d)\n", tls_mode);
        return LDAP_PARAM_ERROR;
    }
    int rc = LDAP_SUCCESS;
    std::string trace = traced([&] {
        rc = set_up_tls(ld, cacert);
        if (rc == LDAP_SUCCESS) rc = ldap_start_tls_s(ld, nullptr, nullptr);
    });
    if (rc != LDAP_SUCCESS) {
        dprintf("open_connection(): StartTLS with DS server %s failed - %s (%s)\n", host, ldap_err2string(rc),
                failure_reason(ld, trace).c_str());
    }
    return rc;
}

}  // namespace zt
