// admin_iterator.cc - one directory search over one kind of entry, handed
// out record by record, with the local login status merged in.
#include "admin_iterator.h"

#include <strings.h>

#include <cstdlib>
#include <string>

#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"

namespace zt {
namespace {

constexpr int kLoggedIn = 1;

struct KindInfo {
    const char *container;
    const char *object_class;  // null: the kind selects by login status
};

// Indexed by iterator kind.
constexpr KindInfo kKinds[] = {
    {nullptr, nullptr},
    {kDesktopsContainer, "ztDesktop"},
    {kUsersContainer, "ztUser"},
    {kLogicalTokensContainer, "ztLogicalToken"},
    {kRawTokensContainer, "ztRawToken"},
    {kUsersContainer, nullptr},
    {kLogicalTokensContainer, "ztXconfig"},
    {kRawTokensContainer, "ztXconfig"},
};

std::string compose_filter(const KindInfo &info, const char *caller_filter) {
    if (info.object_class == nullptr) return "ztStatus=" + std::to_string(kLoggedIn);
    if (caller_filter == nullptr) return std::string("objectclass=") + info.object_class;
    return std::string("(&(objectclass=") + info.object_class + ")(" + strip_outer_parentheses(caller_filter) + "))";
}

// The next entry of the walk, or null when it is exhausted (the position
// then stays on the last entry, so the walk never starts over).
LDAPMessage *advance(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *next = it->current == nullptr ? ldap_first_entry(conn->session, it->result)
                                               : ldap_next_entry(conn->session, it->current);
    if (next != nullptr) it->current = next;
    return next;
}

// The next entry for a get-next function accepting `kinds`; null at the end,
// on a failed or absent iterator, and (with the debug line) on a wrong kind.
LDAPMessage *next_entry(AdminConfig *conn, AdminIterator *it, std::initializer_list<int> kinds,
                        const char *function) {
    if (conn == nullptr || it == nullptr || it->status != 0 || it->result == nullptr) return nullptr;
    bool accepted = false;
    for (int kind : kinds) accepted = accepted || it->kind == kind;
    if (!accepted) {
        dprintf("%s(): wrong iterator type\n", function);
        return nullptr;
    }
    return advance(conn, it);
}

void free_iterator(AdminIterator *it) {
    if (it->result != nullptr) ldap_msgfree(it->result);
    std::free(it);
}

}  // namespace

std::string strip_outer_parentheses(std::string_view filter) {
    if (!filter.empty() && filter.front() == '(') filter.remove_prefix(1);
    if (!filter.empty() && filter.back() == ')') filter.remove_suffix(1);
    return std::string(filter);
}

std::optional<IteratorSearch> iterator_search(int kind, const char *filter, std::string_view root) {
    if (kind < ITERATOR_DESKTOPS || kind > ITERATOR_XCONFIG_RTOKENS) return std::nullopt;
    if (filter != nullptr && std::string_view(filter).size() > kIteratorCallerFilterMax) {
        dprintf("start_iterator(): search filter too long");
        return std::nullopt;
    }
    const KindInfo &info = kKinds[kind];
    IteratorSearch search{search_base(info.container, root), compose_filter(info, filter)};
    if (search.filter.size() > kIteratorFilterMax) {
        dprintf("start_iterator(): search filter too long");
        return std::nullopt;
    }
    if (search.base.size() > kIteratorBaseMax) {
        dprintf("start_iterator(): subtree name too long");
        return std::nullopt;
    }
    return search;
}

}  // namespace zt

using namespace zt;

extern "C" {

AdminIterator *start_iterator(AdminConfig *conn, int kind, const char *filter, const char *sort_attribute) {
    if (conn == nullptr || conn->session == nullptr || conn->subtree == nullptr) return nullptr;
    auto *it = static_cast<AdminIterator *>(safe_malloc(sizeof(AdminIterator)));
    it->kind = kind;
    std::optional<IteratorSearch> search = iterator_search(kind, filter, conn->subtree);
    if (!search) {
        free_iterator(it);
        return nullptr;
    }
    it->status = ldap_search_s(conn->session, search->base.c_str(), LDAP_SCOPE_SUBTREE, search->filter.c_str(),
                               nullptr, 0, &it->result);
    if (it->status != LDAP_SUCCESS) {
        ldap_perror(conn->session, "ldap_search_s() failed");
        free_iterator(it);
        return nullptr;
    }
    it->count = ldap_count_entries(conn->session, it->result);
    if (sort_attribute != nullptr &&
        ldap_sort_entries(conn->session, &it->result, const_cast<char *>(sort_attribute), strcasecmp) != 0) {
        ldap_perror(conn->session, "ldap_sort_entries() failed");
        free_iterator(it);
        return nullptr;
    }
    return it;
}

int num_iterator_entries(const AdminIterator *it) { return it != nullptr ? it->count : -1; }

Desktop *get_next_desktop(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_DESKTOPS}, "get_next_desktop");
    Desktop *desktop = entry != nullptr ? fill_desktop_struct(conn, entry) : nullptr;
    if (desktop != nullptr && conn->dstatus_db != nullptr && desktop->id != nullptr &&
        dbm_desktop_exists(conn->dstatus_db, desktop->id) == 1) {
        fill_desktop_status(conn, &desktop);
    }
    return desktop;
}

User *get_next_user(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_USERS, ITERATOR_LOGGED_IN_USERS}, "get_next_user");
    return zt::user_with_status(conn, entry);
}

LogicalToken *get_next_logical_token(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_LOGICAL_TOKENS}, "get_next_logical_token");
    return entry != nullptr ? fill_logical_token_struct(conn, entry) : nullptr;
}

RawToken *get_next_raw_token(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_RAW_TOKENS}, "get_next_raw_token");
    return entry != nullptr ? fill_raw_token_struct(conn, entry) : nullptr;
}

Xconfig *get_next_xconfig_ltokens(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_XCONFIG_LTOKENS}, "get_next_xconfig_ltokens");
    return entry != nullptr ? fill_Xconfig_struct(conn, entry) : nullptr;
}

Xconfig *get_next_xconfig_rtokens(AdminConfig *conn, AdminIterator *it) {
    LDAPMessage *entry = next_entry(conn, it, {ITERATOR_XCONFIG_RTOKENS}, "get_next_xconfig_rtokens");
    return entry != nullptr ? fill_Xconfig_struct(conn, entry) : nullptr;
}

void finish_iterator(AdminConfig *conn, AdminIterator *it) {
    if (it != nullptr) free_iterator(it);
}

}  // extern "C"
