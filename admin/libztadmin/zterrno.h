/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zterrno.h - status codes of the administration library.
 *
 * Every library operation reports an AdminStatus: 0 for success, a small
 * negative number for each kind of failure, and ADMIN_ERR_UNKNOWN (the only
 * positive code).  zt_err2str() gives the (translated) text of a code.
 */
#ifndef ZTERRNO_H
#define ZTERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: what this header declares is
 * what it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef int AdminStatus;

#define ADMIN_SUCCESS                  0
#define ADMIN_ERR_INTERNAL            -1
#define ADMIN_ERR_NO_CHANGE           -2
#define ADMIN_ERR_AUTH_FAILED         -3
#define ADMIN_ERR_NOT_FOUND           -4
#define ADMIN_ERR_NO_PERMISSION       -5
#define ADMIN_ERR_INVALID_ARGS        -6
#define ADMIN_ERR_EXISTS              -7
#define ADMIN_ERR_TERMINAL_IN_USE     -8
#define ADMIN_ERR_TOKEN_NOT_FOUND     -9
#define ADMIN_ERR_NO_MEMORY          -10
#define ADMIN_ERR_DUPLICATE_TERMINAL -11
#define ADMIN_ERR_SERVER_UNREACHABLE -12
#define ADMIN_ERR_SOCKET_OPEN        -13
#define ADMIN_ERR_SOCKET_WRITE       -14
#define ADMIN_ERR_AUTHMGR_TIMEOUT    -15
#define ADMIN_ERR_FILE_ACCESS        -16
#define ADMIN_ERR_CALL_SEQUENCE      -17
#define ADMIN_ERR_NO_MORE_DATA       -18
#define ADMIN_ERR_NO_SUCH_FILE       -19
#define ADMIN_ERR_DB_UNREACHABLE     -20
/* -21 is not assigned */
#define ADMIN_ERR_SESSION_DETACHED   -22
#define ADMIN_ERR_NOT_IN_SESSION     -23
#define ADMIN_ERR_TIMEOUT            -24
#define ADMIN_ERR_REMOTE_SERVICE     -25
#define ADMIN_ERR_CONFIG             -26
#define ADMIN_ERR_NO_BUFFER          -27
#define ADMIN_ERR_DBM_OPEN           -28
#define ADMIN_ERR_BAD_REFERRAL       -29
#define ADMIN_ERR_OPEN_FAILED        -30
#define ADMIN_ERR_REJECTED           -31
#define ADMIN_ERR_DISCONNECTED       -32
#define ADMIN_ERR_REPLICATION_TIMEOUT -33
#define ADMIN_ERR_UNKNOWN              2

/* Binds the message domain "zt_libztadmin" to its catalogue directory. */
void zt_err2str_init(void);
/* The translated text of a status; never absent, never to be freed. */
const char *zt_err2str(AdminStatus code);
/* The translated privilege message (it has no status value). */
const char *zt_errNotPrivileged(void);
/* Maps a C library errno; unknown numbers give `fallback`. */
AdminStatus zt_errno2zterr(int err, AdminStatus fallback);
/* Maps an LDAP result code. */
AdminStatus zt_dserr2zterr(int ldap_code);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZTERRNO_H */
