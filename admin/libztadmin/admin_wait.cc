// SPDX-License-Identifier: GPL-3.0-or-later
// admin_wait.cc - how long a directory server may keep the library waiting.
//
// A session gets two bounds when it is opened: its connect may take
// "admin.server.timeout" seconds, and every wait for an answer
// "admin.server.optimeout" seconds.  The second is kept on the session itself
// (LDAP_OPT_TIMEOUT), so that libldap's own synchronous waits (binds,
// StartTLS) keep it and await_result() finds it wherever a session goes.
// libldap reads the TLS handshake and the rest of a message whose first bytes
// have come with blocking calls that no result time-out covers, so a layer
// right above the socket bounds every single read and write as well.
#include <poll.h>

#include <cerrno>
#include <cstdint>

#include "admin_private.h"

namespace zt {
namespace {

constexpr int kMillisecondsPerSecond = 1000;

int milliseconds_of(const Sockbuf_IO_Desc *sbiod) {
    return static_cast<int>(reinterpret_cast<intptr_t>(sbiod->sbiod_pvt));
}

// Waits until the layer's socket is ready for `events`; false with errno
// ETIMEDOUT when the bound passes first.  A poll failure is left to the
// read or write that follows, which reports it.
bool socket_ready(Sockbuf_IO_Desc *sbiod, short events) {
    int fd = -1;
    if (ber_sockbuf_ctrl(sbiod->sbiod_sb, LBER_SB_OPT_GET_FD, &fd) != 1 || fd < 0) return true;
    pollfd watch{fd, events, 0};
    int ready;
    do {
        ready = poll(&watch, 1, milliseconds_of(sbiod));
    } while (ready < 0 && errno == EINTR);
    if (ready != 0) return true;
    errno = ETIMEDOUT;
    return false;
}

int bounded_setup(Sockbuf_IO_Desc *sbiod, void *milliseconds) {
    sbiod->sbiod_pvt = milliseconds;
    return 0;
}

int bounded_remove(Sockbuf_IO_Desc *) { return 0; }

int bounded_ctrl(Sockbuf_IO_Desc *sbiod, int option, void *arg) { return LBER_SBIOD_CTRL_NEXT(sbiod, option, arg); }

ber_slen_t bounded_read(Sockbuf_IO_Desc *sbiod, void *buffer, ber_len_t length) {
    if (!socket_ready(sbiod, POLLIN)) return -1;
    return LBER_SBIOD_READ_NEXT(sbiod, buffer, length);
}

ber_slen_t bounded_write(Sockbuf_IO_Desc *sbiod, void *buffer, ber_len_t length) {
    if (!socket_ready(sbiod, POLLOUT)) return -1;
    return LBER_SBIOD_WRITE_NEXT(sbiod, buffer, length);
}

Sockbuf_IO bounded_io = {bounded_setup, bounded_remove, bounded_ctrl, bounded_read, bounded_write, nullptr};

// "HOST:PORT" of the session, as libldap names it.
std::string server_of(LDAP *ld) {
    char *host = nullptr;
    std::string name = "(unknown)";
    if (ldap_get_option(ld, LDAP_OPT_HOST_NAME, &host) == LDAP_OPT_SUCCESS && host != nullptr) name = host;
    ldap_memfree(host);
    return name;
}

}  // namespace

int set_session_bounds(LDAP *ld, int connect_seconds, int answer_seconds) {
    timeval connect{connect_seconds, 0}, answer{answer_seconds, 0};
    int rc = LDAP_OPT_SUCCESS;
    if (connect_seconds > 0) rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect);
    if (rc == LDAP_OPT_SUCCESS && answer_seconds > 0) rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &answer);
    return rc;
}

int answer_bound(LDAP *ld) {
    timeval *bound = nullptr;
    if (ld == nullptr || ldap_get_option(ld, LDAP_OPT_TIMEOUT, &bound) != LDAP_OPT_SUCCESS) return 0;
    int seconds = bound != nullptr && bound->tv_sec > 0 ? static_cast<int>(bound->tv_sec) : 0;
    ldap_memfree(bound);
    return seconds;
}

void bound_socket_io(LDAP *ld) {
    int seconds = answer_bound(ld);
    Sockbuf *sb = nullptr;
    if (seconds <= 0 || ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr) return;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_HAS_IO, &bounded_io) != 0) return;
    intptr_t milliseconds = static_cast<intptr_t>(seconds) * kMillisecondsPerSecond;
    ber_sockbuf_add_io(sb, &bounded_io, LBER_SBIOD_LEVEL_PROVIDER, reinterpret_cast<void *>(milliseconds));
}

int await_result(LDAP *ld, int msgid, int all, LDAPMessage **result, const Awaited &what) {
    int seconds = answer_bound(ld);
    timeval bound{seconds, 0};
    int got = ldap_result(ld, msgid, all, seconds > 0 ? &bound : nullptr, result);
    if (got == 0) give_up_waiting(ld, msgid, what);
    return got;
}

void give_up_waiting(LDAP *ld, int msgid, const Awaited &what) {
    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    report_unanswered(ld, what);
    int code = LDAP_TIMEOUT;
    ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &code);
}

void report_unanswered(LDAP *ld, const Awaited &what) {
    dprintf("await_result(): DS server %s did not answer the %s of (%s) within %d seconds; the request was "
            "abandoned%s\n",
            server_of(ld).c_str(), what.operation, what.dn != nullptr ? what.dn : "", answer_bound(ld),
            what.write ? " and its outcome is unknown" : "");
}

}  // namespace zt
