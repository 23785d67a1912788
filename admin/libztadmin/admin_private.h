/* SPDX-License-Identifier: GPL-3.0-or-later */
// admin_private.h - internal interface of the administration library.
//
// C++ only.  Holds what the library's own files share and the C API does
// not expose: the logging functions (their name dprintf is taken by the C
// library, so they live in namespace zt), the fixed paths with their root
// prefix, and one owning wrapper per C resource.
#ifndef ZT_ADMIN_PRIVATE_H
#define ZT_ADMIN_PRIVATE_H

#ifndef __cplusplus
#error "admin_private.h is C++ only"
#endif

#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <lber.h>
#include <ldap.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include "admin.h"
#include "utils.h"
#include "zterrno.h"

namespace zt {

// ------------------------------------------------------------------ paths
// The system's fixed absolute paths.  Always pass them through fixed_path().
inline constexpr const char *kConfigPath = "/etc/opt/KRVXzt/ztadmin.conf";
inline constexpr const char *kPasswordPath = "/etc/opt/KRVXzt/ztadmin.pw";
inline constexpr const char *kDsConfigPath = "/etc/opt/KRVXzt/qmds/current/ztdsd.conf";
inline constexpr const char *kTerminalsPath = "/etc/opt/KRVXzt/terminals";

// The value of the caller's environment variable `name`, or null when it is
// unset or the process runs with user or group IDs other than its caller's.
const char *caller_env(const char *name);

// Returns `path` prefixed with $ZTADMIN_ROOT when caller_env() gives it
// non-empty; `path` otherwise.
std::string fixed_path(std::string_view path);
// `path` as one shell word: unchanged when it holds only letters, digits
// and "._+-/", otherwise single-quoted.
std::string shell_word(const std::string &path);

// The first IPv4 address of `host` (a name or a dotted address) through
// _zt_os_gethostbyname_r, its work buffer grown while too small; false when
// the name does not resolve to one.
bool resolve_ipv4(const char *host, in_addr *address);

// Something the platform provides on the system's home ground but a Linux
// server gets from this package: `platform` is where the system looks for
// it, `installed` where this package puts it, relative to the install prefix.
struct PlatformPath {
    const char *platform;
    const char *installed;
};
inline constexpr PlatformPath kLocaleDir{"/opt/KRVXzt/lib/locale", "lib/locale"};
inline constexpr PlatformPath kPkginfoProgram{"/bin/pkginfo", "lib/pkginfo"};
inline constexpr PlatformPath kPackageDescriptions{"/var/sadm/pkg", "share/ztadmin/pkg"};
// The reachability probe, run as "ping HOST 5": never the system's ping,
// whose arguments mean something else.
inline constexpr PlatformPath kProbeProgram{"/usr/sbin/ping", "lib/ztprobe"};
inline constexpr PlatformPath kPolicyProgram{"/opt/KRVXzt/sbin/ztpolicy", "sbin/ztpolicy"};

// Under $ZTADMIN_ROOT (as fixed_path() applies it) the platform's own path
// below that root, so that test trees mirror the platform; otherwise the
// installed one below ZT_INSTALL_PREFIX.
std::string platform_path(const PlatformPath &path);

// ---------------------------------------------------------------- logging
// printf-style; each record goes to syslog and, when $ZTADMIN_LOG (read
// through caller_env) names a regular file, is appended there as one line
// "PRIORITY TEXT\n".  Messages are cut to fit
// their 1024-byte buffers.
void dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void dlprintf(const char *category, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_admin(const char *category, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Collects the text of every record this thread logs while the object
// lives (nested captures all see it), without changing where the records
// go: a tool that diagnoses a set-up shows the library's own reason.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    void add(const char *text);
    // The records, each without one trailing line feed.
    const std::vector<std::string> &records() const { return records_; }
    // The non-empty records joined by "; ".
    std::string joined() const;

private:
    LogCapture *outer_;
    std::vector<std::string> records_;
};

// --------------------------------------------------------- owning wrappers
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
struct LdapDeleter {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct LdapMsgDeleter {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
struct BerDeleter {
    void operator()(BerElement *b) const { ber_free(b, 0); }
};
struct LdapMemDeleter {
    void operator()(char *s) const { ldap_memfree(s); }
};
struct BervalsDeleter {
    void operator()(berval **v) const { ldap_value_free_len(v); }
};
struct DbmDeleter {
    void operator()(DBM *db) const { dbm_close(db); }
};
struct FileDeleter {
    void operator()(FILE *f) const { std::fclose(f); }
};
struct AddrinfoDeleter {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

template <typename T>
using CPtr = std::unique_ptr<T, FreeDeleter>;
using CString = std::unique_ptr<char, FreeDeleter>;
using LdapPtr = std::unique_ptr<LDAP, LdapDeleter>;
using LdapMsgPtr = std::unique_ptr<LDAPMessage, LdapMsgDeleter>;
using BerPtr = std::unique_ptr<BerElement, BerDeleter>;
using LdapString = std::unique_ptr<char, LdapMemDeleter>;
using BervalsPtr = std::unique_ptr<berval *, BervalsDeleter>;
using DbmPtr = std::unique_ptr<DBM, DbmDeleter>;
using FilePtr = std::unique_ptr<FILE, FileDeleter>;
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// A file descriptor closed on scope exit.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// ------------------------------------------------------ configuration files
// No real configuration or password file comes near this size.
inline constexpr size_t kMaxConfigFileSize = 1 << 20;

// Opens `path` read-only when it is a regular file; otherwise an empty Fd
// with errno set: the open's own, or EISDIR or EINVAL for a directory or
// another kind of file.  A FIFO never holds the caller in open.
Fd open_regular_file(const std::string &path);

// A stream over a copy of the bytes of the regular file `path`, read whole
// when it holds at most kMaxConfigFileSize bytes; null with errno set as by
// open_regular_file, or EFBIG for a larger file.  A device is never read.
FilePtr open_config_file(const std::string &path);
// The same for a file already opened with open_regular_file (an empty Fd
// gives null and leaves errno alone).
FilePtr open_config_file(Fd fd);

// Why root must not trust the file whose status is `st` (a file others
// could write would steer root's bind, or show them its password): "is not
// owned by root", "is writable by group or others", or, for a `secret`,
// "is readable by group or others"; null when the file may be trusted.
// The configuration, data-store configuration and password files pass it
// before a privileged run reads them.
const char *untrusted_file_reason(const struct stat &st, bool secret);

// open_config_file for a file root is about to trust: when
// untrusted_file_reason refuses it, null with errno EACCES after the log
// line "WHO(): WHAT (PATH) REASON (owner UID, mode MODE)".
FilePtr open_trusted_config_file(const std::string &path, const char *who, const char *what);

// read_passwd_file; with `trusted_only` the file must also pass
// untrusted_file_reason as a secret (else EACCES's status, after the log
// line).
char *read_password_file(const char *path, AdminStatus *status, bool trusted_only);

// Keeps the process from being dumped or traced while `holder` holds a
// password read from the password file; the process becomes dumpable again
// (if it was) once no holder is left.  Releasing a record that never held
// one does nothing.
void hold_password_undumpable(const AdminConfig *holder);
void release_password_undumpable(const AdminConfig *holder);
// The same bytes as a string; false with errno set as above.
bool read_config_bytes(const std::string &path, std::string &bytes);

// ------------------------------------------------------------- sessions
// Sets the record's bind identity, password and mechanism by the access
// level, as a connection does (level 3 reads the password file).  Returns
// 0, or the status of the password file read (after logging it).
AdminStatus apply_access_level(AdminConfig *zta, int level, const char *user, const char *password);

// _zt_LDAPopen at `host` with `conn`'s bind identity, password, port and
// mechanism, running StartTLS first when `conn`'s TLS mode asks for it:
// the bound session, or null with `status` set.  Without `announce` the
// debug line that names the session being opened is left out (the step
// that asked for the session has written it already).
LDAP *open_session(const AdminConfig *conn, const char *host, AdminStatus *status, bool announce = true);

// ------------------------------------------------- kept primary sessions
// Everything a session's bind and transport were made of: sessions with
// equal keys are interchangeable.
struct SessionKey {
    std::string host;
    int port = 0;
    std::optional<std::string> bind_dn;
    std::optional<std::string> password;
    int auth_mech = 0;
    int tls_mode = 0;
    std::optional<std::string> cacert;
    int answer_seconds = 0;

    SessionKey() = default;
    SessionKey(const SessionKey &) = default;
    SessionKey(SessionKey &&) = default;
    SessionKey &operator=(const SessionKey &) = default;
    SessionKey &operator=(SessionKey &&) = default;
    ~SessionKey();  // wipes the password
    bool operator==(const SessionKey &) const = default;
};

// The key of the session open_session(conn, host, ...) would open.
SessionKey session_key(const AdminConfig *conn, const char *host);

// A kept session with `key` that still works (nothing arrived while it was
// idle, and it answers a read of the root entry within a second), now the
// caller's; null when there is none.  Kept sessions with the key that are
// not handed out are unbound.
LDAP *take_kept_session(const SessionKey &key);
// Keeps the bound session `ld` (null: nothing) for the next step that
// would open one with `key`, unbinding the oldest kept one when the pool
// is full.
void keep_session(SessionKey key, LDAP *ld);
// Sends the check of every kept session that has none under way, so that
// its answer arrives while the configured server answers a write (with a
// referral, as a rule); the take that follows soon after reads it.
void check_kept_sessions_ahead();
// Unbinds every kept session (close_connection does it).
void empty_session_pool();
// zt_pingDShost(host, port, timeout), answered without a new connection
// when a kept session is connected to the address and port the probe would
// try and works now (that session is then handed out without a second
// check by the take that follows at once).
AdminStatus probe_primary(const char *host, int port, int timeout);

// What open_session(conn, host, status) gives, from the kept sessions
// when one with its key still works (`was_kept`, when given, tells which):
// the debug line that names the session is written either way, so the log
// shows the same steps.
LDAP *take_session(const AdminConfig *conn, const char *host, AdminStatus *status, bool *was_kept = nullptr);

// _zt_dsConnect; with `kept` its session comes through take_session.
AdminConfig *connect_record(int access_level, const char *user, const char *password, const char *config_path,
                            const char *server, AdminStatus &status, bool kept);
// Closes a record of connect_record(..., true) as close_connection does,
// but keeps its session when `sound` (its last answer came whole) and its
// status database handles (status_dbm.h), and leaves the other kept
// sessions and handles alone.
void release_record(AdminConfig *record, bool sound);

// Runs StartTLS on the new session `ld` made for `host` when `tls_mode` is
// ZT_TLS_STARTTLS, verifying the server's certificate (against `cacert`,
// or libldap's default CA when absent) and that it names `host`.  Returns
// LDAP_SUCCESS, at once for ZT_TLS_NONE; otherwise the LDAP result
// (LDAP_PARAM_ERROR for an unknown mode) after logging the reason.
int start_tls(LDAP *ld, int tls_mode, const char *cacert, const char *host);

// ------------------------------------------------------- waits for answers
// "admin.server.optimeout" when a configuration does not give it, and for
// sessions opened without one (_zt_LDAPopen).
inline constexpr int kDefaultAnswerSeconds = 120;

// Gives a new session its bounds: the connect `connect_seconds`, every wait
// for an answer `answer_seconds` (0: no limit).  The LDAP option result.
int set_session_bounds(LDAP *ld, int connect_seconds, int answer_seconds);
// The session's answer bound in seconds; 0 for none.
int answer_bound(LDAP *ld);
// Bounds each socket read and write of the connected session `ld` by its
// answer bound, so that a server stalling inside a message or the TLS
// handshake cannot hold it; nothing without a bound.
void bound_socket_io(LDAP *ld);

// What a wait is for, as its log line names it.
struct Awaited {
    const char *operation;  // "search", "add", ...
    const char *dn;         // the entry or search base
    bool write;             // the directory may have been changed
};
// ldap_result() for `msgid`, waiting at most the session's answer bound.
// When that passes, abandons the operation, logs the server, operation and
// DN (and, for a write, that its outcome is unknown), leaves LDAP_TIMEOUT as
// the session's error and returns 0.  Otherwise what ldap_result returned.
int await_result(LDAP *ld, int msgid, int all, LDAPMessage **result, const Awaited &what);
// What await_result does when the bound has passed, for callers that wait
// on several sessions at once.
void give_up_waiting(LDAP *ld, int msgid, const Awaited &what);
// Its log line alone, for a wait that libldap made (a bind, StartTLS).
void report_unanswered(LDAP *ld, const Awaited &what);

// A malloc'd copy of `s` for handing to a C caller; safe_malloc semantics.
char *dup_c(std::string_view s);

// ------------------------------------------------------------------ text
// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong
// form, surrogate or code point above U+10FFFF) at the start of `text`,
// or 0 when there is none (`text` empty, or its first bytes are not one).
size_t utf8_sequence_length(std::string_view text);

// True when `text` holds a control character: a C0 control (NUL, line
// feed, carriage return, ESC, ...), DEL, a C1 control written in UTF-8
// (U+0080 to U+009F), or a byte 0x80 to 0x9F outside any well-formed
// UTF-8 sequence (a C1 control to a terminal that reads single bytes).
bool has_control_character(std::string_view text);
// Absent text holds none.
inline bool has_control_character(const char *text) {
    return text != nullptr && has_control_character(std::string_view(text));
}

// `text` as it may reach a terminal: every control character (as above)
// and every byte that is not part of a well-formed UTF-8 sequence becomes
// "?"; everything else, ordinary text and valid UTF-8, is unchanged.  The
// result is well-formed UTF-8 without a control character, so a value
// from the directory or a manager can neither move the cursor nor send
// the terminal a command (ESC, CSI, OSC, CR, BS, ...).
std::string terminal_text(std::string_view text);

// ------------------------------------------- write executor, entry queries
// Replication backoff of zt_LDAPexec: the next delay in milliseconds, the
// same as a time-out for select(), and the empty descriptor set it waits on.
extern int _ms_backoff;
extern timeval _tv_backoff;
extern fd_set _fds_backoff;

// zt_LDAPexec with `controls` (null: none) sent with the operation on every
// attempt.  `ldap_code`, when given, receives the result code of the last
// answer (LDAP_SUCCESS, or the code behind a failure), -1 when none came.
AdminStatus exec_with_controls(int op, AdminConfig *conn, const char *dn, LDAPMod **mods, int flags,
                               LDAPControl **controls, int *ldap_code);

// search_for_entries in two halves, so that its request can travel with
// another: send_search_for_entries sends it (nothing is logged), and
// finish_search_for_entries awaits the answer and does with it what
// search_for_entries does (the same result, the same log lines).
struct SentSearch {
    LDAP *session;
    const char *base;  // borrowed: must outlive the finish
    int msgid;
    int rc;  // of the send; anything but LDAP_SUCCESS: nothing was sent
};
SentSearch send_search_for_entries(LDAP *session, const char *filter, const char *base, char **attrs, int attrsonly,
                                   int mode);
LDAPMessage *finish_search_for_entries(const SentSearch &sent, int mode);

// The primary's host from a referral list: the first URL longer than 6
// characters that begins with "ldap:/", without "ldap:", the slashes after
// it and anything from the first ":" on.  Empty optional when none fits.
std::optional<std::string> primary_host_from_referrals(char **urls);

// Seconds since the epoch of a modifyTimestamp value ("YYYYMMDDHHMMSS",
// anything after the seconds ignored), folded into 31 bits; -4 when the
// text is not such a time.
int modtime_from_timestamp(const char *value);

// True when a generation counter read as `counter` has reached
// `generation` in the wrap-around order of the 31-bit counter.
bool generation_reached(int counter, int generation);

}  // namespace zt

#endif  // ZT_ADMIN_PRIVATE_H
