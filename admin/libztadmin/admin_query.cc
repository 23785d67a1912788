// SPDX-License-Identifier: GPL-3.0-or-later
// admin_query.cc - generic directory queries, the generation counter, the
// tree dump and the test whether the administration is configured.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "records_common.h"

int global_num_entries = 0;

namespace {

// Own-write wait of zt_incGeneration: first delay and number of rounds
// (1 ms doubling, about 33 s in all).
constexpr long kGenerationFirstDelayMs = 1;
constexpr int kGenerationRounds = 15;

// atoi() without its undefined overflow: digits beyond the int range
// saturate.
int to_int(const char *text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The request half of a search as ldap_search_ext_s makes it, with no size
// or time limit.
zt::SentSearch send_search(LDAP *session, const char *base, int scope, const char *filter, char **attrs,
                           int attrsonly) {
    zt::SentSearch sent{session, base, -1, LDAP_PARAM_ERROR};
    if (session == nullptr) return sent;
    sent.rc = ldap_search_ext(session, base, scope, filter, attrs, attrsonly, nullptr, nullptr, nullptr,
                              LDAP_NO_LIMIT, &sent.msgid);
    return sent;
}

// The answer half: awaited within the session's bound, the result code,
// and the result chain in `result`.
int await_search(const zt::SentSearch &sent, zt::LdapMsgPtr &result) {
    if (sent.rc != LDAP_SUCCESS) return sent.rc;
    LDAPMessage *raw = nullptr;
    int got = zt::await_result(sent.session, sent.msgid, LDAP_MSG_ALL, &raw, {"search", sent.base, false});
    result.reset(raw);
    if (got <= 0) {
        int rc = LDAP_OTHER;
        ldap_get_option(sent.session, LDAP_OPT_RESULT_CODE, &rc);
        return rc;
    }
    return ldap_result2error(sent.session, result.get(), 0);
}

// The result of a sent search, or null after logging with `who`.
LDAPMessage *finish_search(const zt::SentSearch &sent, const char *who) {
    zt::LdapMsgPtr result;
    int rc = await_search(sent, result);
    if (rc != LDAP_SUCCESS) {
        zt::dprintf("%s: LDAP search failed - %s\n", who, ldap_err2string(rc));
        return nullptr;
    }
    return result.release();
}

// Runs a search with no size or time limit; the result, or null after
// logging with `who`.
LDAPMessage *search(LDAP *session, const char *who, const char *base, int scope, const char *filter,
                    char **attrs, int attrsonly) {
    return finish_search(send_search(session, base, scope, filter, attrs, attrsonly), who);
}

// A delete as ldap_delete_ext_s makes it, its answer awaited within the
// session's bound; the result code.
int delete_awaited(LDAP *session, const char *dn) {
    int msgid = -1;
    int rc = ldap_delete_ext(session, dn, nullptr, nullptr, &msgid);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPMessage *raw = nullptr;
    int got = zt::await_result(session, msgid, LDAP_MSG_ALL, &raw, {"delete", dn, true});
    zt::LdapMsgPtr result(raw);
    rc = LDAP_OTHER;
    if (got <= 0) ldap_get_option(session, LDAP_OPT_RESULT_CODE, &rc);
    return got <= 0 ? rc : ldap_result2error(session, result.get(), 0);
}

// "ztname=NAME,SUBTREE" (the name escaped), or empty after logging when
// it is too long.
std::string generation_dn(const AdminConfig *conn, const char *name, const char *who) {
    zt::Dn dn = zt::Dn().text("ztname=").value(name).text(",").text(conn->subtree ? conn->subtree : "");
    if (!dn.fits()) {
        zt::dprintf("%s: basedn name too long", who);
        return {};
    }
    return dn.str();
}

// The counter stored at `dn`, or -1 when there is no single ztSynch entry
// with a value.
int read_counter(AdminConfig *conn, const std::string &dn) {
    char attribute[] = "ztGenerationNumber";
    char *attrs[] = {attribute, nullptr};
    zt::LdapMsgPtr result(
        search_for_entries(conn->session, "objectclass=ztSynch", dn.c_str(), attrs, 0, SEARCH_SINGLE));
    if (!result) return -1;
    LDAPMessage *entry = ldap_first_entry(conn->session, result.get());
    if (entry == nullptr) return -1;
    zt::BervalsPtr values(ldap_get_values_len(conn->session, entry, attribute));
    if (!values || values.get()[0] == nullptr) return -1;
    return to_int(std::string(values.get()[0]->bv_val, values.get()[0]->bv_len).c_str());
}

// Writes the counter value `value`: a replace, or, for the first value,
// the attribute and the class ztSynch.
AdminStatus write_counter(AdminConfig *conn, const std::string &dn, int value, bool first) {
    std::string text = std::to_string(value);
    char synch[] = "ztSynch";
    char *class_values[] = {synch, nullptr};
    char *counter_values[] = {text.data(), nullptr};
    char class_type[] = "objectclass";
    char counter_type[] = "ztGenerationNumber";
    LDAPMod counter{first ? LDAP_MOD_ADD : LDAP_MOD_REPLACE, counter_type, {counter_values}};
    LDAPMod klass{LDAP_MOD_ADD, class_type, {class_values}};
    LDAPMod *mods[] = {&counter, first ? &klass : nullptr, nullptr};
    return zt_modifyDsEntry(conn, dn.c_str(), mods, 0);
}

// Reads go to the configured server, writes to the primary: wait until
// the configured server shows `value` (or a later one) so that a read or
// an increment that follows sees this one.
void wait_until_visible(AdminConfig *conn, const std::string &dn, int value) {
    long delay_ms = kGenerationFirstDelayMs;
    for (int round = 0; round < kGenerationRounds; ++round) {
        int seen = read_counter(conn, dn);
        if (seen >= 0 && zt::generation_reached(seen, value)) return;
        timespec pause{delay_ms / 1000, (delay_ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        delay_ms *= 2;
    }
    zt::dprintf("zt_incGeneration(): generation %d of %s not visible on %s\n", value, dn.c_str(),
                conn->server_name != nullptr ? conn->server_name : "(null)");
}

// Prints one entry's attributes, one line per value.
void print_attributes(LDAP *session, LDAPMessage *entry, int level) {
    BerElement *raw_ber = nullptr;
    for (char *raw = ldap_first_attribute(session, entry, &raw_ber); raw != nullptr;
         raw = ldap_next_attribute(session, entry, raw_ber)) {
        zt::LdapString attribute(raw);
        zt::BervalsPtr values(ldap_get_values_len(session, entry, attribute.get()));
        if (!values) {
            std::printf("%s  %-17s = %s\n", indent_spaces(level), attribute.get(), "(nil)");
            continue;
        }
        for (berval **v = values.get(); *v != nullptr; ++v) {
            std::printf("%s  %-17s = %.*s\n", indent_spaces(level), attribute.get(),
                        static_cast<int>((*v)->bv_len), (*v)->bv_val);
        }
    }
    zt::BerPtr ber(raw_ber);
}

}  // namespace

namespace zt {

bool generation_reached(int counter, int generation) {
    unsigned difference = static_cast<unsigned>(counter) - static_cast<unsigned>(generation);
    return (difference & (1u << 30)) == 0;
}

SentSearch send_search_for_entries(LDAP *session, const char *filter, const char *base, char **attrs, int attrsonly,
                                   int mode) {
    int scope = mode == SEARCH_CHILDREN ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    return send_search(session, base, scope, filter, attrs, attrsonly);
}

LDAPMessage *finish_search_for_entries(const SentSearch &sent, int mode) {
    LdapMsgPtr result(finish_search(sent, "search_for_entries()"));
    if (!result || mode != SEARCH_SINGLE) return result.release();
    int count = ldap_count_entries(sent.session, result.get());
    if (count == 0) return nullptr;
    if (count >= 2) {
        dprintf("search_for_entries(): Found multiple matching entries, was expecting a single match");
        return nullptr;
    }
    return result.release();
}

}  // namespace zt

extern "C" {

LDAPMessage *search_for_entries(LDAP *session, const char *filter, const char *base, char **attrs,
                                int attrsonly, int mode) {
    return zt::finish_search_for_entries(zt::send_search_for_entries(session, filter, base, attrs, attrsonly, mode),
                                         mode);
}

int entry_exists(LDAP *session, const char *filter, const char *base) {
    char attribute[] = "objectclass";
    char *attrs[] = {attribute, nullptr};
    zt::LdapMsgPtr result(search_for_entries(session, filter, base, attrs, 1, SEARCH_ALL));
    if (!result) return -1;
    return ldap_count_entries(session, result.get()) > 0 ? 1 : 0;
}

AdminStatus _zt_dsEntryExists(AdminConfig *connection, const char *filter, const char *base,
                              int on_primary) {
    if (connection == nullptr || filter == nullptr || base == nullptr) return ADMIN_ERR_INVALID_ARGS;
    auto answer = [](int exists) {
        return exists == 1 ? ADMIN_SUCCESS : exists == 0 ? ADMIN_ERR_NOT_FOUND : ADMIN_ERR_INTERNAL;
    };
    if (!on_primary || zt_isDSprimary()) return answer(entry_exists(connection->session, filter, base));
    char *name = nullptr;
    int port = -1;
    AdminStatus status = zt_getDSprimary(&name, &port);
    if (status != ADMIN_SUCCESS) {
        zt::dprintf("zt_EntryExists(): failed to retrieve primary server name");
        return status == ADMIN_ERR_NO_MEMORY ? ADMIN_ERR_NO_MEMORY : ADMIN_ERR_CONFIG;
    }
    zt::CString host(name);
    if (zt::probe_primary(host.get(), port, 10) != ADMIN_SUCCESS) {
        zt::dprintf("zt_EntryExists(): failed to contact primrary server %s", host.get());
        return ADMIN_ERR_SERVER_UNREACHABLE;
    }
    int level = connection->access_level == 3 ? 3 : 1;
    // A connection of its own as the steps make it, whose session may be
    // one kept from an earlier step with the same primary.
    AdminConfig *primary = zt::connect_record(level, nullptr, nullptr, nullptr, host.get(), status, true);
    if (primary == nullptr) {
        if (status == ADMIN_ERR_AUTH_FAILED) {
            zt::dprintf("zt_EntryExists(): failed to authenticate with %s", host.get());
            return ADMIN_ERR_AUTH_FAILED;
        }
        zt::dprintf("zt_EntryExists(): failed to connect to %s - %s", host.get(), zt_err2str(status));
        return ADMIN_ERR_INTERNAL;
    }
    int exists = entry_exists(primary->session, filter, base);
    zt::release_record(primary, exists != -1);
    return answer(exists);
}

int count_child_entries(LDAP *session, const char *base) {
    char attribute[] = "ztID";
    char *attrs[] = {attribute, nullptr};
    zt::LdapMsgPtr result(search_for_entries(session, "objectclass=*", base, attrs, 1, SEARCH_CHILDREN));
    if (!result) return -1;
    return ldap_count_entries(session, result.get());
}

int delete_child_entries(LDAP *session, const char *base) {
    char attribute[] = "ztID";
    char *attrs[] = {attribute, nullptr};
    zt::LdapMsgPtr result(search_for_entries(session, "objectclass=*", base, attrs, 1, SEARCH_CHILDREN));
    if (!result) return -1;
    int deleted = 0;
    for (LDAPMessage *e = ldap_first_entry(session, result.get()); e != nullptr;
         e = ldap_next_entry(session, e)) {
        zt::LdapString dn(ldap_get_dn(session, e));
        if (!dn) return -1;
        int rc = delete_awaited(session, dn.get());
        if (rc != LDAP_SUCCESS) {
            zt::dprintf("delete_child_entries(): LDAP delete failed - %s\n", ldap_err2string(rc));
            return -1;
        }
        ++deleted;
    }
    return deleted;
}

char *normalize_search_filter(const char *filter) {
    if (filter == nullptr) return nullptr;
    int opening = 0;
    for (const char *c = filter; *c != '\0'; ++c) opening += *c == '(';
    if (opening < 2) return zt::dup_c(filter);
    return zt::dup_c(std::string("(&") + filter + ")");
}

int zt_getGeneration(AdminConfig *connection, const char *name) {
    if (connection == nullptr || name == nullptr || *name == '\0') return -1;
    std::string dn = generation_dn(connection, name, "zt_getGeneration");
    if (dn.empty()) return -1;
    return read_counter(connection, dn);
}

int zt_incGeneration(AdminConfig *connection, const char *name) {
    if (connection == nullptr || name == nullptr || *name == '\0') return -1;
    std::string dn = generation_dn(connection, name, "zt_incGeneration");
    if (dn.empty()) return -1;
    int old = read_counter(connection, dn);
    bool first = old < 0;
    int value = first ? 0 : static_cast<int>((static_cast<unsigned>(old) + 1u) & 0x7fffffffu);
    if (write_counter(connection, dn, value, first) != ADMIN_SUCCESS) return -1;
    wait_until_visible(connection, dn, value);
    return value;
}

int zt_isGenerationValid(AdminConfig *connection, const char *name, int generation) {
    if (connection == nullptr || name == nullptr || *name == '\0' || generation < 0) return 0;
    int counter = zt_getGeneration(connection, name);
    if (counter == -1) return 0;
    return zt::generation_reached(counter, generation) ? 1 : 0;
}

int print_hierarchy(AdminConfig *connection, int print_attrs, int sort) {
    if (connection == nullptr) return -1;
    return print_entry_hierarchy(connection->session, connection->subtree, 1, print_attrs, sort);
}

int print_entry_hierarchy(LDAP *session, const char *dn, int level, int print_attrs, int sort) {
    const char *who = "print_entry_hierarchy()";
    bool top = level <= 1;
    if (top) global_num_entries = 0;
    zt::LdapMsgPtr result(search(session, who, dn, top ? LDAP_SCOPE_BASE : LDAP_SCOPE_ONELEVEL,
                                 "objectclass=*", nullptr, 0));
    if (!result) return -1;
    if (sort) {
        LDAPMessage *chain = result.release();
        int rc = ldap_sort_entries(session, &chain, nullptr, std::strcmp);
        result.reset(chain);
        if (rc != LDAP_SUCCESS) {
            zt::dprintf("print_entry_hierarchy(): LDAP sort failed - %s\n", ldap_err2string(rc));
            return -1;
        }
    }
    for (LDAPMessage *e = ldap_first_entry(session, result.get()); e != nullptr;
         e = ldap_next_entry(session, e)) {
        zt::LdapString entry_dn(ldap_get_dn(session, e));
        if (!entry_dn) {
            int error = LDAP_OTHER;
            ldap_get_option(session, LDAP_OPT_RESULT_CODE, &error);
            zt::dprintf("print_entry_hierarchy(): LDAP get_dn failed - %s\n", ldap_err2string(error));
            return -1;
        }
        ++global_num_entries;
        std::printf("%s* %s\n", indent_spaces(level), entry_dn.get());
        if (print_attrs) {
            print_attributes(session, e, level);
            std::printf("\n");
        }
        if (int rc = print_entry_hierarchy(session, entry_dn.get(), level + 1, print_attrs, sort); rc != 0) {
            return rc;
        }
    }
    result.reset();
    if (top) std::printf("\ntotal entries = %d\n", global_num_entries);
    return 0;
}

AdminStatus zt_DSConfigured(char **path) {
    if (path != nullptr) *path = nullptr;
    std::string config = zt::fixed_path(zt::kConfigPath);
    struct stat info;
    if (stat(config.c_str(), &info) == 0) {
        if (path != nullptr) *path = zt::dup_c(config);
        return ADMIN_SUCCESS;
    }
    int error = errno;
    AdminStatus status = zt_errno2zterr(error, ADMIN_ERR_INTERNAL);
    if (error == EACCES) {
        zt::dprintf("zt_DSConfigured(): No permission to access %s\n", config.c_str());
    } else if (error != ENOENT) {
        zt::dprintf("zt_DSConfigured(): Failed due to error - %s\n", std::strerror(error));
    }
    return status;
}

}  // extern "C"
