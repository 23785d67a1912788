// SPDX-License-Identifier: GPL-3.0-or-later
// admin_rtoken.cc - raw-token entries: the record, creation alone or under a
// logical token, changes, deletion with unlinking, reads and existence tests.
#include <cstdio>
#include <cstdlib>

#include "admin.h"
#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"

// ------------------------------------------------------------------ record

RawToken *allocate_raw_token(void) { return static_cast<RawToken *>(safe_malloc(sizeof(RawToken))); }

void free_raw_token(RawToken *rt) {
    if (rt == nullptr) return;
    for (char *field : {rt->id, rt->secret, rt->token_type, rt->token_state, rt->enabled, rt->misc1, rt->misc2})
        std::free(field);
    std::free(rt);
}

RawToken *fill_raw_token_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *ld = conn->session;
    RawToken *rt = allocate_raw_token();
    rt->id = zt::first_value_dup(ld, entry, "ztID");
    rt->secret = zt::first_value_dup(ld, entry, "ztSecret");
    rt->token_type = zt::first_value_dup(ld, entry, "ztTokenType");
    rt->token_state = zt::first_value_dup(ld, entry, "ztTokenState");
    rt->enabled = zt::first_value_dup(ld, entry, "ztEnabled");
    rt->misc1 = zt::first_value_dup(ld, entry, "ztMisc1");
    rt->misc2 = zt::first_value_dup(ld, entry, "ztMisc2");
    return rt;
}

// Debugging dump on standard error; the stream argument is not used.
void print_raw_token(FILE *, const RawToken *rt, int) {
    if (rt == nullptr) return;
    using zt::or_nil;
    std::fprintf(stderr,
                 "raw token:\n  id                 = %s\n  secret             = %s\n"
                 "  token_type         = %s\n  token_state        = %s\n  enabled            = %s\n"
                 "  misc1              = %s\n  misc2              = %s\n",
                 or_nil(rt->id), or_nil(rt->secret), or_nil(rt->token_type), or_nil(rt->token_state),
                 or_nil(rt->enabled), or_nil(rt->misc1), or_nil(rt->misc2));
}

// ------------------------------------------------------- attribute lists

namespace zt {

ModList raw_token_entry(const RawToken &rt) {
    ModList list;
    list.add("objectClass", "ztRawToken");
    list.add("ztID", rt.id);
    list.add("ztSecret", rt.secret);
    list.add("ztTokenType", rt.token_type);
    list.add("ztTokenState", rt.token_state);
    list.add("ztEnabled", rt.enabled);
    list.add("ztMisc1", rt.misc1);
    list.add("ztMisc2", rt.misc2);
    return list;
}

ModList raw_token_changes(const RawToken &rt) {
    ModList list;
    list.replace("ztSecret", rt.secret);
    list.replace("ztTokenType", rt.token_type);
    list.replace("ztTokenState", rt.token_state);
    list.replace("ztEnabled", rt.enabled);
    list.replace("ztMisc1", rt.misc1);
    list.replace("ztMisc2", rt.misc2);
    return list;
}

ModList value_added(const char *attr, const char *value) {
    ModList list;
    list.add_value(attr, value);
    return list;
}

ModList value_deleted(const char *attr, const char *value) {
    ModList list;
    list.delete_value(attr, value);
    return list;
}

}  // namespace zt

// ------------------------------------------------------------ operations

namespace {

const char *const kUserLog = "user";

zt::Dn raw_token_dn(AdminConfig *conn, const char *id) {
    return zt::entry_dn(id, zt::kRawTokensContainer, conn->subtree);
}

std::string raw_token_base(AdminConfig *conn) { return zt::search_base(zt::kRawTokensContainer, conn->subtree); }

std::string id_filter(const char *id) { return "ztID=" + zt::filter_escape(id); }

}  // namespace

// Creates the entry unless a raw token with its ID exists (or the test
// fails); 0 or -1.
int add_raw_token(AdminConfig *conn, const RawToken *rt) {
    return zt::add_raw_token_checked_on(conn, conn != nullptr ? conn->session : nullptr, rt);
}

int zt::add_raw_token_checked_on(AdminConfig *conn, LDAP *session, const RawToken *rt) {
    if (conn == nullptr || rt == nullptr || rt->id == nullptr) return -1;
    if (entry_exists(session, id_filter(rt->id).c_str(), raw_token_base(conn).c_str()) != 0) {
        zt::dprintf("add_raw_token(): raw token (%s) already exists\n", rt->id);
        return -1;
    }
    zt::ModList entry = zt::raw_token_entry(*rt);
    if (zt_addDsEntry(conn, raw_token_dn(conn, rt->id).c_str(), entry.mods(), 0) != 0) {
        zt::dprintf("add_raw_token(): Could not add raw token\n");
        return -1;
    }
    return 0;
}

namespace {

// The checks before a raw token is hung under a logical token; true when
// both hold (the failure has been reported).
bool may_link_raw_token(AdminConfig *conn, const char *lt_id, const RawToken *rt) {
    if (logical_token_exists(conn, lt_id) != 1) {
        zt::dprintf("add_raw_token_to_logical_token(): logical token id (%s) doesn't exist\n", lt_id);
        zt::log_admin(kUserLog, "Error adding user token id (%s).", rt->id);
        zt::log_admin(kUserLog, "Logical token id (%s) does not exist.", lt_id);
        return false;
    }
    if (raw_token_exists(conn, rt->id) != 0) {
        zt::dprintf("add_raw_token_to_logical_token(): raw token (%s) already exists\n", rt->id);
        zt::log_admin(kUserLog, "Error adding user token id (%s).", rt->id);
        zt::log_admin(kUserLog, "Token already exists.");
        return false;
    }
    return true;
}

}  // namespace

// Creates the entry and adds its ID to the logical token; 0 or -1.  A failed
// link leaves the new entry in place.
int add_raw_token_to_logical_token(AdminConfig *conn, const char *lt_id, const RawToken *rt) {
    if (conn == nullptr || lt_id == nullptr || rt == nullptr || rt->id == nullptr) return -1;
    if (!may_link_raw_token(conn, lt_id, rt)) return -1;
    zt::ModList entry = zt::raw_token_entry(*rt);
    if (zt_addDsEntry(conn, raw_token_dn(conn, rt->id).c_str(), entry.mods(), DS_KEEP_PRIMARY) != 0) {
        zt::dprintf("add_raw_token_to_logical_token(): Could not add raw token\n");
        zt::log_admin(kUserLog, "Error adding user token (%s).", rt->id);
        zt::log_admin(kUserLog, "Could not add raw token.");
        return -1;
    }
    zt::ModList link = zt::value_added("ztRawTokenIDs", rt->id);
    zt::Dn lt_dn = zt::entry_dn(lt_id, zt::kLogicalTokensContainer, conn->subtree);
    if (zt_modifyDsEntry(conn, lt_dn.c_str(), link.mods(), DS_KEEP_PRIMARY) != 0) {
        zt::dprintf("add_raw_token_to_logical_token(): Could not modify user\n");
        zt::log_admin(kUserLog, "Error adding user token (%s).", rt->id);
        zt::log_admin(kUserLog, "Could not modify user in ldap.");
        return -1;
    }
    zt::log_admin(kUserLog, "User token (%s) successfully added.", rt->id);
    return 0;
}

// Replaces the token's attributes with the record's; 0 or -1.
int modify_raw_token(AdminConfig *conn, const RawToken *rt) {
    if (conn == nullptr || rt == nullptr || rt->id == nullptr) return -1;
    zt::ModList changes = zt::raw_token_changes(*rt);
    if (zt_modifyDsEntry(conn, raw_token_dn(conn, rt->id).c_str(), changes.mods(), 0) != 0) {
        zt::log_admin(kUserLog, "Error modifying user entry.");
        return -1;
    }
    zt::log_admin(kUserLog, "Successfully modified user entry.");
    return 0;
}

// Removes the ID from the logical token that lists it, then deletes the
// entry; 0 or the status of the step that failed.
AdminStatus delete_raw_token(AdminConfig *conn, const char *rt_id) {
    if (conn == nullptr || rt_id == nullptr) return ADMIN_ERR_INVALID_ARGS;
    zt::CString lt_id(raw_token_id_to_logical_token_id(conn, rt_id));
    if (lt_id) {
        zt::ModList unlink = zt::value_deleted("ztRawTokenIDs", rt_id);
        zt::Dn lt_dn = zt::entry_dn(lt_id.get(), zt::kLogicalTokensContainer, conn->subtree);
        AdminStatus status = zt_modifyDsEntry(conn, lt_dn.c_str(), unlink.mods(), DS_KEEP_PRIMARY);
        if (status != ADMIN_SUCCESS) {
            zt::dprintf("delete_raw_token(): Could not remove raw token id (%s) from logical token id (%s)\n",
                        rt_id, lt_id.get());
            zt::log_admin(kUserLog, "Error deleting raw token (%s) from logical token id (%s).", rt_id,
                          lt_id.get());
            return status;
        }
    }
    AdminStatus status = zt_deleteDsEntry(conn, raw_token_dn(conn, rt_id).c_str(), 0);
    if (status != ADMIN_SUCCESS)
        zt::log_admin(kUserLog, "Error deleting token (%s).", rt_id);
    else
        zt::log_admin(kUserLog, "Successfully deleted token id (%s).", rt_id);
    return status;
}

// The raw token with that ID, or null (none, several, or a failed search).
RawToken *get_raw_token(AdminConfig *conn, const char *rt_id) {
    if (conn == nullptr || rt_id == nullptr) return nullptr;
    zt::LdapMsgPtr result(search_for_entries(conn->session, id_filter(rt_id).c_str(), raw_token_base(conn).c_str(),
                                             nullptr, 0, SEARCH_SINGLE));
    if (!result) return nullptr;
    LDAPMessage *entry = ldap_first_entry(conn->session, result.get());
    return entry != nullptr ? fill_raw_token_struct(conn, entry) : nullptr;
}

// 1 exists, 0 does not, -1 the search failed.
int raw_token_exists(AdminConfig *conn, const char *rt_id) {
    if (conn == nullptr || rt_id == nullptr) return -1;
    return entry_exists(conn->session, id_filter(rt_id).c_str(), raw_token_base(conn).c_str());
}

// 0 exists, ADMIN_ERR_NOT_FOUND not, or the status of the failed question;
// asks the primary server when `on_primary` is 1.
AdminStatus _zt_rawTokenExists(AdminConfig *conn, const char *rt_id, int on_primary) {
    if (rt_id == nullptr) return ADMIN_ERR_INVALID_ARGS;
    // The limit applies to the filter as written, before escaping.
    if (!zt::fits("(&(objectclass=ztRawToken)(ztID=" + std::string(rt_id) + "))", zt::kFilterBufferSize)) {
        zt::dprintf("_zt_rawTokenExists(): database search filter too long");
        return ADMIN_ERR_NO_BUFFER;
    }
    if (conn == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string base = raw_token_base(conn);
    if (!zt::fits(base, zt::kDnBufferSize)) {
        zt::dprintf("_zt_rawTokenExists(): database subtree name too long");
        return ADMIN_ERR_NO_BUFFER;
    }
    std::string filter = "(&(objectclass=ztRawToken)(ztID=" + zt::filter_escape(rt_id) + "))";
    return _zt_dsEntryExists(conn, filter.c_str(), base.c_str(), on_primary);
}
