// SPDX-License-Identifier: GPL-3.0-or-later
// admin_exec.cc - the write executor.
//
// The configured server is, as a rule, a read-only replica that answers a
// write with a referral to the primary.  zt_LDAPexec sends the operation,
// follows such a referral by binding a second session with the primary
// (same port and credentials), optionally keeps that session for the next
// write, retries once after a failure and waits until the change shows on
// the configured server.
//
// Below that lifecycle, a primary session the steps drop is kept for the
// next step that would open the same one (admin_pool.cc): the connection's
// fields, the messages and the statuses stay those of the steps.
#include <sys/select.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "admin_private.h"
#include "records_common.h"

namespace zt {

int _ms_backoff = 100;
timeval _tv_backoff = {0, 0};
fd_set _fds_backoff;

std::optional<std::string> primary_host_from_referrals(char **urls) {
    if (urls == nullptr) return std::nullopt;
    for (char **url = urls; *url != nullptr; ++url) {
        std::string_view text(*url);
        if (text.size() <= 6 || text.substr(0, 6) != "ldap:/") continue;
        text.remove_prefix(5);  // "ldap:"
        while (!text.empty() && text.front() == '/') text.remove_prefix(1);
        // The host ends at the port; a URL without a port ends it at the DN.
        return std::string(text.substr(0, text.find_first_of(":/")));
    }
    return std::nullopt;
}

int modtime_from_timestamp(const char *value) {
    if (value == nullptr) return ADMIN_ERR_NOT_FOUND;
    int digits[14];
    for (int i = 0; i < 14; ++i) {
        if (value[i] < '0' || value[i] > '9') return ADMIN_ERR_NOT_FOUND;
        digits[i] = value[i] - '0';
    }
    auto number = [&](int from, int count) {
        int n = 0;
        for (int i = from; i < from + count; ++i) n = n * 10 + digits[i];
        return n;
    };
    std::tm when{};
    when.tm_year = number(0, 4) - 1900;
    when.tm_mon = number(4, 2) - 1;
    when.tm_mday = number(6, 2);
    when.tm_hour = number(8, 2);
    when.tm_min = number(10, 2);
    when.tm_sec = number(12, 2);
    time_t seconds = timegm(&when);
    if (seconds < 0) return 0;
    // Seconds beyond 2^31 - 1 fold into 31 bits: the value stays a valid
    // non-negative time and consecutive times stay distinct.
    return static_cast<int>(static_cast<unsigned long long>(seconds) & 0x7fffffffULL);
}

}  // namespace zt

namespace {

struct MemvDeleter {
    void operator()(char **v) const { ldap_memvfree(reinterpret_cast<void **>(v)); }
};
using ReferralsPtr = std::unique_ptr<char *, MemvDeleter>;

constexpr int kSyncRounds = 8;

// zt_getmodtime in two halves (admin_private.h, SentSearch): the read of
// the entry's modifyTimestamp on the configured server is sent, nullopt
// when the DN is refused before any search; the finish gives what
// zt_getmodtime gives.
std::optional<zt::SentSearch> send_modtime_read(AdminConfig *connection, const char *dn);
int finish_modtime_read(AdminConfig *connection, const zt::SentSearch &sent);

// The operation as the log line of a timed-out wait names it.
const char *op_word(int op) {
    switch (op) {
        case DS_OP_ADD: return "add";
        case DS_OP_DELETE: return "delete";
        default: return "modify";
    }
}

const char *op_name(int op) {
    switch (op) {
        case DS_OP_ADD: return "zt_addDsEntry()";
        case DS_OP_DELETE: return "zt_deleteDsEntry()";
        default: return "zt_modifyDsEntry()";
    }
}

// The state of one zt_LDAPexec call.
struct Call {
    int op;
    AdminConfig *conn;
    const char *dn;
    LDAPMod **mods;
    int flags;
    const char *name;
    bool retry_used;
    LDAPControl **controls = nullptr;
    int code = -1;  // the result code of the last answer
    int modtime_before = ADMIN_ERR_NOT_FOUND;
    AdminStatus status = ADMIN_SUCCESS;
    // The primary session came from the kept ones and has not been sent on.
    bool primary_was_kept = false;
    // The primary session answered the last operation sent on it, so it
    // may be kept when the steps drop it.
    bool primary_sound = false;
    // A retry reconnects: its primary session is a new one.
    bool fresh_primary = false;
};

enum class Next { kSendAgain, kDone };

int last_error(LDAP *ld) {
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// Drops the primary session as the steps do; a `sound` one is kept for
// the next step that would open it, any other is unbound.
void drop_primary(AdminConfig *conn, bool sound) {
    LDAP *ld = std::exchange(conn->primary_session, nullptr);
    if (ld != nullptr && sound && conn->primary_name != nullptr) {
        zt::keep_session(zt::session_key(conn, conn->primary_name), ld);
    } else if (ld != nullptr) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    }
    std::free(conn->primary_name);
    conn->primary_name = nullptr;
}

// (Re)opens the configured session; false (status set) when that fails.
bool reopen_session(Call &call) {
    AdminConfig *c = call.conn;
    if (c->session != nullptr) ldap_unbind_ext_s(c->session, nullptr, nullptr);
    c->session = zt::open_session(c, c->server_name, &call.status);
    return c->session != nullptr;
}

// The session to send on: the primary's when one is open.  Null (status
// set) when the configured session is gone and cannot be reopened.
LDAP *choose_session(Call &call) {
    AdminConfig *c = call.conn;
    if (c->primary_session != nullptr) return c->primary_session;
    if (c->session == nullptr && !reopen_session(call)) return nullptr;
    return c->session;
}

// Sends the operation; the message ID, or -1.
int send_operation(const Call &call, LDAP *ld) {
    int msgid = -1;
    int rc = LDAP_OTHER;
    switch (call.op) {
        case DS_OP_ADD: rc = ldap_add_ext(ld, call.dn, call.mods, call.controls, nullptr, &msgid); break;
        case DS_OP_DELETE: rc = ldap_delete_ext(ld, call.dn, call.controls, nullptr, &msgid); break;
        case DS_OP_MODIFY: rc = ldap_modify_ext(ld, call.dn, call.mods, call.controls, nullptr, &msgid); break;
    }
    return rc == LDAP_SUCCESS ? msgid : -1;
}

// A result other than a referral: success, a final failure, or a retry on
// a fresh session.
Next handle_result(Call &call, bool on_primary, int code) {
    call.code = code;
    call.status = zt_dserr2zterr(code);
    bool final = call.status == ADMIN_SUCCESS || call.status == ADMIN_ERR_NO_PERMISSION ||
                 call.status == ADMIN_ERR_EXISTS || call.retry_used;
    if (final) {
        if (call.status != ADMIN_SUCCESS) {
            zt::dprintf("%s: datastore operation failed %s\n", call.name, ldap_err2string(code));
        }
        return Next::kDone;
    }
    if (on_primary) {
        drop_primary(call.conn, false);
        call.fresh_primary = true;
    } else if (!reopen_session(call)) {
        return Next::kDone;
    }
    call.retry_used = true;
    return Next::kSendAgain;
}

// A referral: from the primary it is final; from the configured server it
// names the primary, with which a session is opened for the next attempt.
Next follow_referral(Call &call, bool on_primary, char **urls) {
    AdminConfig *c = call.conn;
    if (on_primary) {
        call.status = ADMIN_ERR_BAD_REFERRAL;
        zt::dprintf("%s: unexpected response from server %s - %s\n", call.name,
                    c->primary_name != nullptr ? c->primary_name : "(null)", zt_err2str(call.status));
        return Next::kDone;
    }
    std::optional<std::string> host = zt::primary_host_from_referrals(urls);
    if (!host) {
        call.status = ADMIN_ERR_INTERNAL;
        zt::dprintf("%s: failed to extract primary name from referral list", call.name);
        return Next::kDone;
    }
    bool kept = false;
    LDAP *primary = call.fresh_primary ? zt::open_session(c, host->c_str(), &call.status)
                                       : zt::take_session(c, host->c_str(), &call.status, &kept);
    if (primary == nullptr) return Next::kDone;
    call.primary_was_kept = kept;
    c->primary_session = primary;
    std::free(c->primary_name);
    c->primary_name = zt::dup_c(*host);
    return Next::kSendAgain;
}

// A primary session taken from the kept ones that could not send the
// operation (so it never reached the server) is replaced by a new one, as
// if it had never been kept.  True with the new session in place; false
// with the status of the failed open and no primary session.
bool replace_kept_primary(Call &call) {
    AdminConfig *c = call.conn;
    ldap_unbind_ext_s(std::exchange(c->primary_session, nullptr), nullptr, nullptr);
    c->primary_session = zt::open_session(c, c->primary_name, &call.status, false);
    if (c->primary_session != nullptr) return true;
    std::free(c->primary_name);
    c->primary_name = nullptr;
    return false;
}

// The read of a modify's modification time that comes before its send.
// Without DS_SYNC its value serves only the log line of a failed read, and
// a modify changes neither whether the entry exists nor how many entries
// lie below it, so the read is sent first and its answer taken after the
// modify has been sent: one wait for two answers.  With DS_SYNC the value
// must be the one from before the modify, so it is read whole first.
struct ModtimeRead {
    std::optional<zt::SentSearch> sent;  // sent, answer not yet taken
};

ModtimeRead start_modtime_read(Call &call) {
    ModtimeRead read;
    if (call.op != DS_OP_MODIFY) return read;
    if ((call.flags & DS_SYNC) != 0) {
        call.modtime_before = zt_getmodtime(call.conn, call.dn);
        if (call.modtime_before < 0)
            zt::dprintf("zt_LDAPexec(): %s failed: %s\n", call.name, zt_err2str(call.modtime_before));
        return read;
    }
    read.sent = send_modtime_read(call.conn, call.dn);
    if (!read.sent) {
        call.modtime_before = ADMIN_ERR_INVALID_ARGS;
        zt::dprintf("zt_LDAPexec(): %s failed: %s\n", call.name, zt_err2str(call.modtime_before));
    }
    return read;
}

// Takes the answer of a read that start_modtime_read sent, logging a failed
// one as the read before the send would have.
void take_modtime_answer(Call &call, ModtimeRead &read) {
    if (!read.sent) return;
    call.modtime_before = finish_modtime_read(call.conn, *read.sent);
    read.sent.reset();
    if (call.modtime_before < 0)
        zt::dprintf("zt_LDAPexec(): %s failed: %s\n", call.name, zt_err2str(call.modtime_before));
}

// Sends the operation once and interprets the answer.
Next attempt(Call &call) {
    LDAP *ld = choose_session(call);
    if (ld == nullptr) return Next::kDone;
    bool on_primary = ld == call.conn->primary_session;
    if (!on_primary) zt::check_kept_sessions_ahead();
    ModtimeRead modtime = start_modtime_read(call);
    int msgid = send_operation(call, ld);
    // A send that failed is reported with its own error, after the read's
    // answer, and before the kept primary is replaced: the order of the
    // steps when the read came whole before the send.
    int send_error = msgid == -1 ? last_error(ld) : LDAP_SUCCESS;
    if (msgid == -1) take_modtime_answer(call, modtime);
    if (msgid == -1 && on_primary && call.primary_was_kept) {
        if (!replace_kept_primary(call)) return Next::kDone;
        ld = call.conn->primary_session;
        msgid = send_operation(call, ld);
        send_error = msgid == -1 ? last_error(ld) : LDAP_SUCCESS;
    }
    call.primary_was_kept = false;
    call.primary_sound = false;
    take_modtime_answer(call, modtime);
    if (msgid == -1) {
        int error = send_error;
        call.status = zt_dserr2zterr(error);
        zt::dprintf("%s: DS operation failed - %s\n", call.name, ldap_err2string(error));
        return Next::kDone;
    }
    LDAPMessage *raw = nullptr;
    int got = zt::await_result(ld, msgid, LDAP_MSG_ALL, &raw, {op_word(call.op), call.dn, true});
    zt::LdapMsgPtr result(raw);
    if (got <= 0) {
        int error = last_error(ld);
        call.status = zt_dserr2zterr(error);
        zt::dprintf("%s: DS operation failed to get result - %s\n", call.name, ldap_err2string(error));
        return Next::kDone;
    }
    int code = LDAP_SUCCESS;
    char **urls = nullptr;
    int rc = ldap_parse_result(ld, result.get(), &code, nullptr, nullptr, &urls, nullptr, 0);
    ReferralsPtr referrals(urls);
    result.reset();
    if (rc != LDAP_SUCCESS) {
        call.status = zt_dserr2zterr(rc);
        zt::dprintf("%s: DS failed to check for referral - %s\n", call.name, ldap_err2string(rc));
        return Next::kDone;
    }
    call.primary_sound = on_primary;
    if (code != LDAP_REFERRAL) return handle_result(call, on_primary, code);
    return follow_referral(call, on_primary, referrals.get());
}

// One check of whether the change shows on the configured server.  Sets
// `visible` and returns the check's outcome.
int check_replicated(const Call &call, bool &visible) {
    if (call.op == DS_OP_MODIFY) {
        int now = zt_getmodtime(call.conn, call.dn);
        visible = now != call.modtime_before || now < 0;
        return now;
    }
    int exists = _dn_exists(call.conn->session, call.dn);
    visible = call.op == DS_OP_ADD ? exists != 0 : exists != 1;
    return exists;
}

// Waits with exponential backoff until the change shows on the configured
// server; a failed check or the time-out is logged, never returned.
void wait_for_replication(const Call &call) {
    _init_backoff();
    int outcome = ADMIN_ERR_REPLICATION_TIMEOUT;
    for (int round = 0; round < kSyncRounds; ++round) {
        bool visible = false;
        int checked = check_replicated(call, visible);
        if (visible) {
            outcome = checked;
            break;
        }
        _wait_backoff();
    }
    if (outcome < 0) {
        zt::dprintf("zt_LDAPexec(): sync operation for %s failed: %s\n", call.name, zt_err2str(outcome));
    }
}

}  // namespace

namespace zt {

AdminStatus exec_with_controls(int op, AdminConfig *connection, const char *dn, LDAPMod **mods, int flags,
                               LDAPControl **controls, int *ldap_code) {
    if (ldap_code != nullptr) *ldap_code = -1;
    if (connection == nullptr) return ADMIN_ERR_DB_UNREACHABLE;
    if (op != DS_OP_ADD && op != DS_OP_DELETE && op != DS_OP_MODIFY) {
        // No caller passes another code: refuse it before any traffic.
        dprintf("zt_LDAPexec(): invalid operation %d\n", op);
        return ADMIN_ERR_INTERNAL;
    }
    Call call{op, connection, dn, mods, flags, op_name(op), (flags & DS_RETRY) == 0, controls};
    while (attempt(call) == Next::kSendAgain) {
    }
    if (call.status == ADMIN_SUCCESS && (flags & DS_SYNC) != 0) wait_for_replication(call);
    bool keep = (flags & DS_KEEP_PRIMARY) != 0 && call.status == ADMIN_SUCCESS;
    if (connection->primary_session != nullptr && !keep) drop_primary(connection, call.primary_sound);
    if (ldap_code != nullptr) *ldap_code = call.code;
    return call.status;
}

}  // namespace zt

extern "C" {

AdminStatus zt_LDAPexec(int op, AdminConfig *connection, const char *dn, LDAPMod **mods, int flags) {
    return zt::exec_with_controls(op, connection, dn, mods, flags, nullptr, nullptr);
}

AdminStatus zt_addDsEntry(AdminConfig *connection, const char *dn, LDAPMod **mods, int flags) {
    return zt_LDAPexec(DS_OP_ADD, connection, dn, mods, flags);
}

AdminStatus zt_deleteDsEntry(AdminConfig *connection, const char *dn, int flags) {
    return zt_LDAPexec(DS_OP_DELETE, connection, dn, nullptr, flags);
}

AdminStatus zt_modifyDsEntry(AdminConfig *connection, const char *dn, LDAPMod **mods, int flags) {
    return zt_LDAPexec(DS_OP_MODIFY, connection, dn, mods, flags);
}

int zt_getmodtime(AdminConfig *connection, const char *dn) {
    std::optional<zt::SentSearch> sent = send_modtime_read(connection, dn);
    return sent ? finish_modtime_read(connection, *sent) : ADMIN_ERR_INVALID_ARGS;
}

}  // extern "C"

namespace {

std::optional<zt::SentSearch> send_modtime_read(AdminConfig *connection, const char *dn) {
    if (connection == nullptr || dn == nullptr || *dn == '\0' || std::strlen(dn) > 500) return std::nullopt;
    char attribute[] = "modifytimestamp";
    char *attrs[] = {attribute, nullptr};
    return zt::send_search_for_entries(connection->session, "objectclass=*", dn, attrs, 0, SEARCH_SINGLE);
}

int finish_modtime_read(AdminConfig *connection, const zt::SentSearch &sent) {
    char attribute[] = "modifytimestamp";
    zt::LdapMsgPtr result(zt::finish_search_for_entries(sent, SEARCH_SINGLE));
    if (!result) return ADMIN_ERR_NOT_FOUND;
    LDAPMessage *entry = ldap_first_entry(connection->session, result.get());
    if (entry == nullptr) return ADMIN_ERR_NOT_FOUND;
    zt::BervalsPtr values(ldap_get_values_len(connection->session, entry, attribute));
    if (!values || values.get()[0] == nullptr) return ADMIN_ERR_NOT_FOUND;
    std::string text(values.get()[0]->bv_val, values.get()[0]->bv_len);
    return zt::modtime_from_timestamp(text.c_str());
}

}  // namespace

extern "C" {

void _init_backoff(void) {
    zt::_ms_backoff = 100;
    FD_ZERO(&zt::_fds_backoff);
}

void _wait_backoff(void) {
    zt::_tv_backoff.tv_sec = zt::_ms_backoff / 1000;
    zt::_tv_backoff.tv_usec = (zt::_ms_backoff % 1000) * 1000;
    select(0, &zt::_fds_backoff, nullptr, nullptr, &zt::_tv_backoff);
    zt::_ms_backoff = zt::_ms_backoff <= INT_MAX / 2 ? zt::_ms_backoff * 2 : INT_MAX;
}

int _dn_exists(LDAP *session, const char *dn) {
    if (dn == nullptr) return ADMIN_ERR_INVALID_ARGS;
    // Values are escaped in a DN, so the split and the filter follow its syntax.
    std::optional<zt::FirstRdn> split = zt::split_first_rdn(dn);
    if (!split) return ADMIN_ERR_INVALID_ARGS;
    return entry_exists(session, split->filter.c_str(), split->base.c_str());
}

AdminStatus check_primary(void) {
    if (zt_isDSprimary()) return ADMIN_SUCCESS;
    char *name = nullptr;
    int port = -1;
    AdminStatus status = zt_getDSprimary(&name, &port);
    if (status != ADMIN_SUCCESS) {
        zt::dprintf("check_primary(): unable to retrieve LDAP primary server info - %s", zt_err2str(status));
        return status;
    }
    zt::CString host(name);
    status = zt::probe_primary(host.get(), port, DStimeout);
    if (status != ADMIN_SUCCESS) {
        zt::dprintf("check_primary(): failed to contact LDAP primary server - %s", zt_err2str(status));
    }
    return status;
}

}  // extern "C"
