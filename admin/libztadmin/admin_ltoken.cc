// SPDX-License-Identifier: GPL-3.0-or-later
// admin_ltoken.cc - logical-token entries: the record, creation (alone, under
// a user, or with a bare raw token), changes, deletion with its raw tokens,
// reads and existence tests.
#include <cstdio>
#include <cstdlib>

#include "admin.h"
#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"

// ------------------------------------------------------------------ record

LogicalToken *allocate_logical_token(void) {
    return static_cast<LogicalToken *>(safe_malloc(sizeof(LogicalToken)));
}

void free_logical_token(LogicalToken *lt) {
    if (lt == nullptr) return;
    for (char *field : {lt->id, lt->token_name, lt->session_type, lt->session_params, lt->server_name, lt->misc1,
                        lt->misc2})
        std::free(field);
    zt::free_string_list(lt->raw_token_ids);
    std::free(lt);
}

LogicalToken *fill_logical_token_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *ld = conn->session;
    LogicalToken *lt = allocate_logical_token();
    lt->id = zt::first_value_dup(ld, entry, "ztID");
    lt->token_name = zt::first_value_dup(ld, entry, "ztTokenName");
    lt->session_type = zt::first_value_dup(ld, entry, "ztSessionType");
    lt->session_params = zt::first_value_dup(ld, entry, "ztSessionParams");
    lt->server_name = zt::first_value_dup(ld, entry, "ztServerName");
    lt->server_port = zt::first_value_int(ld, entry, "ztServerPort");
    lt->misc1 = zt::first_value_dup(ld, entry, "ztMisc1");
    lt->misc2 = zt::first_value_dup(ld, entry, "ztMisc2");
    lt->raw_token_ids = zt::all_values_dup(ld, entry, "ztRawTokenIDs");
    return lt;
}

// Debugging dump on standard error; the stream argument is not used.
void print_logical_token(FILE *, const LogicalToken *lt, int brief) {
    if (lt == nullptr) return;
    using zt::or_nil;
    std::fprintf(stderr,
                 "logical token:\n  id                 = %s\n  token_name         = %s\n"
                 "  session_type       = %s\n  session_params     = %s\n  server_name        = %s\n"
                 "  server_port        = %d\n  misc1              = %s\n  misc2              = %s\n",
                 or_nil(lt->id), or_nil(lt->token_name), or_nil(lt->session_type), or_nil(lt->session_params),
                 or_nil(lt->server_name), lt->server_port, or_nil(lt->misc1), or_nil(lt->misc2));
    if (!brief) zt::print_id_list(stderr, "  raw_token_ids      ", lt->raw_token_ids);
}

// ------------------------------------------------------- attribute lists

namespace zt {

namespace {

void add_session_settings(ModList &list, const LogicalToken &lt) {
    list.add("ztTokenName", lt.token_name);
    list.add("ztSessionType", lt.session_type);
    list.add("ztSessionParams", lt.session_params);
    list.add("ztServerName", lt.server_name);
    list.add("ztServerPort", lt.server_port);
    list.add("ztMisc1", lt.misc1);
    list.add("ztMisc2", lt.misc2);
}

}  // namespace

ModList logical_token_entry(const LogicalToken &lt, bool with_raw_ids) {
    ModList list;
    list.add("objectClass", "ztLogicalToken");
    list.add("ztID", lt.id);
    add_session_settings(list, lt);
    if (with_raw_ids) list.add_all("ztRawTokenIDs", lt.raw_token_ids);
    return list;
}

ModList logical_token_changes(const LogicalToken &lt) {
    ModList list;
    list.replace("ztTokenName", lt.token_name);
    list.replace("ztSessionType", lt.session_type);
    list.replace("ztSessionParams", lt.session_params);
    list.replace("ztServerName", lt.server_name);
    list.replace("ztServerPort", lt.server_port);
    list.replace("ztMisc1", lt.misc1);
    list.replace("ztMisc2", lt.misc2);
    return list;
}

}  // namespace zt

// ------------------------------------------------------------ operations

namespace {

zt::Dn logical_token_dn(AdminConfig *conn, const char *id) {
    return zt::entry_dn(id, zt::kLogicalTokensContainer, conn->subtree);
}

std::string logical_token_base(AdminConfig *conn) {
    return zt::search_base(zt::kLogicalTokensContainer, conn->subtree);
}

}  // namespace

namespace zt {

// Writes a new logical-token entry with the given executor flags; 0 or -1.
int add_logical_token_with(AdminConfig *conn, const LogicalToken *lt, int flags) {
    if (conn == nullptr || lt == nullptr || lt->id == nullptr) return -1;
    ModList entry = logical_token_entry(*lt, true);
    if (zt_addDsEntry(conn, logical_token_dn(conn, lt->id).c_str(), entry.mods(), flags) != 0) {
        dprintf("add_logical_token(): Could not add logical token\n");
        return -1;
    }
    return 0;
}

}  // namespace zt

// Creates the entry (an existing one makes the add fail); 0 or -1.
int add_logical_token(AdminConfig *conn, const LogicalToken *lt) { return zt::add_logical_token_with(conn, lt, 0); }

// Creates the entry without raw tokens and lists it on an existing user;
// 0 or -1.  A failed link leaves the new entry in place.
int add_logical_token_to_user(AdminConfig *conn, const char *user_id, const LogicalToken *lt) {
    if (conn == nullptr || user_id == nullptr || lt == nullptr || lt->id == nullptr) return -1;
    if (user_exists(conn, user_id) != 1) {
        zt::dprintf("add_logical_token_to_user(): user (%s) doesn't exist\n", user_id);
        return -1;
    }
    if (_zt_logicalTokenExists(conn, lt->id, nullptr, 0) == ADMIN_SUCCESS) {
        zt::dprintf("add_logical_token_to_user(): logical token (%s) already exists\n", lt->id);
        return -1;
    }
    zt::ModList entry = zt::logical_token_entry(*lt, false);
    if (zt_addDsEntry(conn, logical_token_dn(conn, lt->id).c_str(), entry.mods(), DS_KEEP_PRIMARY) != 0) {
        zt::dprintf("add_logical_token_to_user(): Could not add logical token\n");
        return -1;
    }
    zt::ModList link = zt::value_added("ztLogicalTokenIDs", lt->id);
    zt::Dn user_dn = zt::entry_dn(user_id, zt::kUsersContainer, conn->subtree);
    if (zt_modifyDsEntry(conn, user_dn.c_str(), link.mods(), 0) != 0) {
        zt::dprintf("add_logical_token_to_user(): Could not modify user\n");
        return -1;
    }
    return 0;
}

// Creates a bare raw token and a logical token listing it; 0 or -1.
int add_simple_logical_token(AdminConfig *conn, const char *rt_id, const char *lt_id) {
    if (conn == nullptr || rt_id == nullptr || lt_id == nullptr) return -1;
    RawToken rt{};
    rt.id = const_cast<char *>(rt_id);
    if (add_raw_token(conn, &rt) != 0) return -1;
    char *raw_ids[] = {const_cast<char *>(rt_id), nullptr};
    LogicalToken lt{};
    lt.id = const_cast<char *>(lt_id);
    lt.raw_token_ids = raw_ids;
    return add_logical_token(conn, &lt) != 0 ? -1 : 0;
}

// Replaces the session settings; 0 or -1.
int modify_logical_token(AdminConfig *conn, const LogicalToken *lt) {
    if (conn == nullptr || lt == nullptr || lt->id == nullptr) return -1;
    zt::ModList changes = zt::logical_token_changes(*lt);
    return zt_modifyDsEntry(conn, logical_token_dn(conn, lt->id).c_str(), changes.mods(), 0) != 0 ? -1 : 0;
}

namespace {

// Removes the token's ID from the user that lists it, if any; false after a
// failed write (reported).
bool unlink_from_user(AdminConfig *conn, const char *lt_id) {
    zt::CString user_id(logical_token_id_to_user_id(conn, lt_id));
    if (!user_id) return true;
    zt::ModList unlink = zt::value_deleted("ztLogicalTokenIDs", lt_id);
    zt::Dn user_dn = zt::entry_dn(user_id.get(), zt::kUsersContainer, conn->subtree);
    if (zt_modifyDsEntry(conn, user_dn.c_str(), unlink.mods(), DS_KEEP_PRIMARY) != 0) {
        zt::dprintf("delete_logical_token(): Could not remove logical token id (%s) from user (%s)\n", lt_id,
                    user_id.get());
        return false;
    }
    return true;
}

}  // namespace

// Unlinks the token from its user, deletes its raw tokens (unchecked), then
// the entry; 0 or -1.
int delete_logical_token(AdminConfig *conn, const char *lt_id) {
    if (conn == nullptr || lt_id == nullptr) return -1;
    if (!unlink_from_user(conn, lt_id)) return -1;
    std::unique_ptr<LogicalToken, decltype(&free_logical_token)> lt(get_logical_token(conn, lt_id),
                                                                     free_logical_token);
    if (!lt) return -1;
    for (char **rt_id = lt->raw_token_ids; rt_id != nullptr && *rt_id != nullptr; ++rt_id) {
        if (raw_token_exists(conn, *rt_id) == 1) delete_raw_token(conn, *rt_id);
    }
    return zt_deleteDsEntry(conn, logical_token_dn(conn, lt_id).c_str(), 0) != 0 ? -1 : 0;
}

// The logical token with that ID, or null (none, several, failed search).
LogicalToken *get_logical_token(AdminConfig *conn, const char *lt_id) {
    if (conn == nullptr || lt_id == nullptr) return nullptr;
    std::string filter = "ztID=" + zt::filter_escape(lt_id);
    zt::LdapMsgPtr result(
        search_for_entries(conn->session, filter.c_str(), logical_token_base(conn).c_str(), nullptr, 0, SEARCH_SINGLE));
    if (!result) return nullptr;
    LDAPMessage *entry = ldap_first_entry(conn->session, result.get());
    return entry != nullptr ? fill_logical_token_struct(conn, entry) : nullptr;
}

// 1 if it exists; 0 if not or if the question failed.
int logical_token_exists(AdminConfig *conn, const char *lt_id) {
    return _zt_logicalTokenExists(conn, lt_id, nullptr, 0) == ADMIN_SUCCESS ? 1 : 0;
}

namespace zt {

// The existence filter for a logical token by ID, by listed raw token, or
// both; ADMIN_ERR_NO_BUFFER (reported) when a part would not fit its buffer.
// Limits are checked on the text as written, before escaping.
AdminStatus logical_token_filter(const char *lt_id, const char *rt_id, std::string &filter) {
    std::string id_part, raw_part, id_escaped, raw_escaped;
    if (lt_id != nullptr) {
        id_part = "(ztID=" + std::string(lt_id) + ")";
        if (!fits(id_part, kFilterBufferSize)) {
            dprintf("_zt_logicalTokenExists(): logical token name too long");
            return ADMIN_ERR_NO_BUFFER;
        }
        id_escaped = "(ztID=" + filter_escape(lt_id) + ")";
    }
    if (rt_id != nullptr) {
        raw_part = "(ztrawtokenids=" + std::string(rt_id) + ")";
        if (!fits(raw_part, kFilterBufferSize)) {
            dprintf("_zt_logicalTokenExists(): raw token name too long");
            return ADMIN_ERR_NO_BUFFER;
        }
        raw_escaped = "(ztrawtokenids=" + filter_escape(rt_id) + ")";
    }
    if (!fits("(&(objectclass=ztLogicalToken)" + raw_part + id_part + ")", kFilterBufferSize)) {
        dprintf("_zt_logicalTokenExists(): database search filter too long");
        return ADMIN_ERR_NO_BUFFER;
    }
    filter = "(&(objectclass=ztLogicalToken)" + raw_escaped + id_escaped + ")";
    return ADMIN_SUCCESS;
}

}  // namespace zt

// 0 if a logical token with that ID and/or listing that raw token exists,
// ADMIN_ERR_NOT_FOUND if not, or the status of the failed question; asks the
// primary server when `on_primary` is 1.
AdminStatus _zt_logicalTokenExists(AdminConfig *conn, const char *lt_id, const char *rt_id, int on_primary) {
    if (lt_id == nullptr && rt_id == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string filter;
    if (AdminStatus status = zt::logical_token_filter(lt_id, rt_id, filter); status != ADMIN_SUCCESS) return status;
    if (conn == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string base = logical_token_base(conn);
    if (!zt::fits(base, zt::kDnBufferSize)) {
        zt::dprintf("_zt_logicalTokenExists(): database subtree name too long");
        return ADMIN_ERR_NO_BUFFER;
    }
    return _zt_dsEntryExists(conn, filter.c_str(), base.c_str(), on_primary);
}

// 1 when the raw token exists and some logical token lists it, else 0.
int zt_raw_and_logical_tokens_exist(AdminConfig *conn, const char *rt_id) {
    if (raw_token_exists(conn, rt_id) != 1) return 0;
    zt::CString lt_id(raw_token_id_to_logical_token_id(conn, rt_id));
    return lt_id ? 1 : 0;
}
