// SPDX-License-Identifier: GPL-3.0-or-later
// admin_iterator.cc - one directory search over one kind of entry, read
// page by page and handed out record by record, with the local login
// status merged in.
#include "admin_iterator.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "admin_paged.h"
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

// What callers hold is the AdminIterator part; the rest keeps the pages the
// search arrived in and the entries in the order of the walk.
struct PagedIterator : AdminIterator {
    PagedIterator() : AdminIterator{} {}
    std::vector<LdapMsgPtr> pages;
    std::vector<LDAPMessage *> order;
    size_t next = 0;
};

PagedIterator *paged(AdminIterator *it) { return static_cast<PagedIterator *>(it); }

// The next entry of the walk, or null when it is exhausted (the position
// then stays on the last entry, so the walk never starts over).
LDAPMessage *advance(AdminIterator *it) {
    PagedIterator *p = paged(it);
    if (p->next >= p->order.size()) return nullptr;
    it->current = p->order[p->next++];
    return it->current;
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
    return advance(it);
}

void free_iterator(AdminIterator *it) { delete paged(it); }

// Puts the walk in the order of `sort_attribute`; a stable sort, so that
// entries that compare equal keep the order the server sent them in.
void sort_walk(LDAP *session, PagedIterator *p, const char *sort_attribute) {
    std::vector<std::pair<std::vector<std::string>, LDAPMessage *>> keyed;
    keyed.reserve(p->order.size());
    for (LDAPMessage *e : p->order) keyed.emplace_back(all_values(session, e, sort_attribute), e);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &a, const auto &b) { return compare_sort_values(a.first, b.first) < 0; });
    for (size_t i = 0; i < keyed.size(); ++i) p->order[i] = keyed[i].second;
}

}  // namespace

int compare_sort_values(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (int c = strcasecmp(a[i].c_str(), b[i].c_str()); c != 0) return c;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

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

// The search runs with paged results, so that a server keeping a size
// limit below the number of entries still hands out all of them.
AdminIterator *start_iterator(AdminConfig *conn, int kind, const char *filter, const char *sort_attribute) {
    if (conn == nullptr || conn->session == nullptr || conn->subtree == nullptr) return nullptr;
    std::optional<IteratorSearch> search = iterator_search(kind, filter, conn->subtree);
    if (!search) return nullptr;
    auto *p = new PagedIterator;
    p->kind = kind;
    LDAP *ld = conn->session;
    std::vector<PagedQuery> query{{search->base, LDAP_SCOPE_SUBTREE, search->filter, nullptr, [&](LdapMsgPtr page) {
        for (LDAPMessage *e = ldap_first_entry(ld, page.get()); e != nullptr; e = ldap_next_entry(ld, e)) {
            p->order.push_back(e);
        }
        p->pages.push_back(std::move(page));
    }}};
    p->status = paged_search(ld, query);
    if (p->status != LDAP_SUCCESS) {
        ldap_perror(ld, "ldap_search_s() failed");
        delete p;
        return nullptr;
    }
    p->result = p->pages.empty() ? nullptr : p->pages.front().get();
    p->count = static_cast<int>(p->order.size());
    if (sort_attribute != nullptr) sort_walk(ld, p, sort_attribute);
    return p;
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
