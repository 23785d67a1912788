// SPDX-License-Identifier: GPL-3.0-or-later
// admin_trans.cc - upward translations: from a raw token to the logical
// tokens that list it, from a logical token to its user.  The directory
// keeps the links only downward, so each step is an equality search on a
// multi-valued ID attribute.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"

namespace zt {
namespace {

constexpr const char *kLogicalIdsAttr = "ztLogicalTokenIDs";
constexpr const char *kRawIdsAttr = "ztRawTokenIDs";

// One translation question: which entries of `container` list `id` in
// `attr`.  The filter and base are checked against their buffers as they
// read before escaping; `function` prefixes the debug lines.
struct Lookup {
    const char *attr;
    const char *container;
    const char *function;
};

struct Query {
    std::string filter;
    std::string base;
};

enum class QueryFault { kNone, kFilterTooLong, kBaseTooLong };

QueryFault build_query(AdminConfig *conn, const Lookup &lookup, const char *id, Query &query) {
    std::string plain = std::string(lookup.attr) + "=" + id;
    query.base = search_base(lookup.container, conn->subtree);
    if (!fits(plain, kFilterBufferSize)) return QueryFault::kFilterTooLong;
    if (!fits(query.base, kDnBufferSize)) return QueryFault::kBaseTooLong;
    query.filter = std::string(lookup.attr) + "=" + filter_escape(id);
    return QueryFault::kNone;
}

bool usable(AdminConfig *conn, const char *id) {
    return conn != nullptr && conn->session != nullptr && conn->subtree != nullptr && id != nullptr;
}

// The single entry that lists `id`, with `attrs` (null: all); null when
// there is none, several, or the question cannot be asked.
LdapMsgPtr single_search(AdminConfig *conn, const Lookup &lookup, const char *id, char **attrs) {
    Query query;
    if (!usable(conn, id)) return nullptr;
    if (build_query(conn, lookup, id, query) != QueryFault::kNone) {
        dprintf("%s(): search filter or subtree name too long", lookup.function);
        return nullptr;
    }
    return LdapMsgPtr(
        search_for_entries(conn->session, query.filter.c_str(), query.base.c_str(), attrs, 0, SEARCH_SINGLE));
}

// The first ztID of the single entry that lists `id`, as a new string.
char *single_id(AdminConfig *conn, const Lookup &lookup, const char *id) {
    static const char *const kIdOnly[] = {"ztID", nullptr};
    LdapMsgPtr result = single_search(conn, lookup, id, const_cast<char **>(kIdOnly));
    LDAPMessage *entry = result ? ldap_first_entry(conn->session, result.get()) : nullptr;
    return entry != nullptr ? first_value_dup(conn->session, entry, "ztID") : nullptr;
}

const Lookup kUserOfLogical{kLogicalIdsAttr, kUsersContainer, "logical_token_id_to_user_id"};
const Lookup kLogicalOfRaw{kRawIdsAttr, kLogicalTokensContainer, "raw_token_id_to_logical_token_id"};

// Frees the first `count` strings of `array` and the array.
void free_partial(char **array, size_t count) {
    for (size_t i = 0; i < count; ++i) std::free(array[i]);
    std::free(array);
}

// Copies the first ztID of every entry of `result` into `*out`, a new array
// of count + 1 slots; entries without an ID are skipped.
AdminStatus collect_ids(LDAP *session, LDAPMessage *result, int count, char ***out) {
    auto **ids = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    if (ids == nullptr) {
        dprintf("_zt_getLidByRid(): failed to malloc result array");
        return ADMIN_ERR_NO_MEMORY;
    }
    size_t filled = 0;
    for (LDAPMessage *e = ldap_first_entry(session, result); e != nullptr; e = ldap_next_entry(session, e)) {
        std::optional<std::string> id = first_value(session, e, "ztID");
        if (!id) continue;
        if (filled == static_cast<size_t>(count)) {
            dprintf("_zt_getLidByRid(): got more than %d expected entries", count);
            free_partial(ids, filled);
            return ADMIN_ERR_INTERNAL;
        }
        ids[filled] = strdup(id->c_str());
        if (ids[filled] == nullptr) {
            dprintf("_zt_getLidByRid(): failed to duplicate the logial token");
            free_partial(ids, filled);
            return ADMIN_ERR_NO_MEMORY;
        }
        ++filled;
    }
    *out = ids;
    return ADMIN_SUCCESS;
}

}  // namespace
}  // namespace zt

using namespace zt;

extern "C" {

char *logical_token_id_to_user_id(AdminConfig *conn, const char *lt_id) {
    return single_id(conn, kUserOfLogical, lt_id);
}

char *raw_token_id_to_logical_token_id(AdminConfig *conn, const char *rt_id) {
    return single_id(conn, kLogicalOfRaw, rt_id);
}

char *raw_token_id_to_user_id(AdminConfig *conn, const char *rt_id) {
    CString lt_id(raw_token_id_to_logical_token_id(conn, rt_id));
    return lt_id ? logical_token_id_to_user_id(conn, lt_id.get()) : nullptr;
}

User *logical_token_id_to_user(AdminConfig *conn, const char *lt_id) {
    static const Lookup kLookup{kLogicalIdsAttr, kUsersContainer, "logical_token_id_to_user"};
    LdapMsgPtr result = single_search(conn, kLookup, lt_id, nullptr);
    LDAPMessage *entry = result ? ldap_first_entry(conn->session, result.get()) : nullptr;
    return zt::user_with_status(conn, entry);
}

User *raw_token_id_to_user(AdminConfig *conn, const char *rt_id) {
    CString lt_id(raw_token_id_to_logical_token_id(conn, rt_id));
    return lt_id ? logical_token_id_to_user(conn, lt_id.get()) : nullptr;
}

LogicalToken *raw_token_id_to_logical_token(AdminConfig *conn, const char *rt_id) {
    static const Lookup kLookup{kRawIdsAttr, kLogicalTokensContainer, "raw_token_id_to_logical_token"};
    LdapMsgPtr result = single_search(conn, kLookup, rt_id, nullptr);
    LDAPMessage *entry = result ? ldap_first_entry(conn->session, result.get()) : nullptr;
    return entry != nullptr ? fill_logical_token_struct(conn, entry) : nullptr;
}

int count_user_raw_tokens(AdminConfig *conn, const char *user_id) {
    std::unique_ptr<User, decltype(&free_user)> user(get_user(conn, user_id), free_user);
    if (!user) return -1;
    int count = 0;
    for (char **id = user->logical_token_ids; id != nullptr && *id != nullptr; ++id) {
        std::unique_ptr<LogicalToken, decltype(&free_logical_token)> lt(get_logical_token(conn, *id),
                                                                        free_logical_token);
        if (!lt) return -1;
        count += num_strings(lt->raw_token_ids);
    }
    return count;
}

AdminStatus _zt_getLidByRid(AdminConfig *conn, const char *rt_id, char ***out) {
    if (out == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *out = nullptr;
    if (!usable(conn, rt_id) || *rt_id == '\0') return ADMIN_ERR_INVALID_ARGS;
    static const Lookup kLookup{kRawIdsAttr, kLogicalTokensContainer, "_zt_getLidByRid"};
    Query query;
    switch (build_query(conn, kLookup, rt_id, query)) {
        case QueryFault::kFilterTooLong:
            dprintf("_zt_getLidByRid(): search filter too long");
            return ADMIN_ERR_NO_BUFFER;
        case QueryFault::kBaseTooLong:
            dprintf("_zt_getLidByRid(): subtree name too long");
            return ADMIN_ERR_NO_BUFFER;
        case QueryFault::kNone:
            break;
    }
    static const char *const kIdOnly[] = {"ztID", nullptr};
    LdapMsgPtr result(search_for_entries(conn->session, query.filter.c_str(), query.base.c_str(),
                                         const_cast<char **>(kIdOnly), 0, SEARCH_ALL));
    int count = result ? ldap_count_entries(conn->session, result.get()) : -1;
    if (count <= 0) return ADMIN_ERR_NOT_FOUND;
    return collect_ids(conn->session, result.get(), count, out);
}

AdminStatus _zt_getUidByRid(AdminConfig *conn, const char *rt_id, char ***out) {
    if (out == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *out = nullptr;
    if (conn == nullptr || rt_id == nullptr || *rt_id == '\0') return ADMIN_ERR_INVALID_ARGS;
    char **raw_lt_ids = nullptr;
    AdminStatus status = _zt_getLidByRid(conn, rt_id, &raw_lt_ids);
    if (status != ADMIN_SUCCESS) return status;
    std::unique_ptr<char *, decltype(&free_string_list)> lt_ids(raw_lt_ids, free_string_list);
    size_t slots = static_cast<size_t>(num_strings(lt_ids.get())) + 1;
    auto **user_ids = static_cast<char **>(std::calloc(slots, sizeof(char *)));
    if (user_ids == nullptr) {
        dprintf("_zt_getUidByRid(): failed to malloc user_id array");
        return ADMIN_ERR_NO_MEMORY;
    }
    size_t found = 0;
    for (char **lt_id = lt_ids.get(); *lt_id != nullptr; ++lt_id) {
        if (char *user_id = logical_token_id_to_user_id(conn, *lt_id)) user_ids[found++] = user_id;
    }
    if (found == 0) {
        std::free(user_ids);
        return ADMIN_ERR_NOT_FOUND;
    }
    *out = user_ids;
    return ADMIN_SUCCESS;
}

}  // extern "C"
