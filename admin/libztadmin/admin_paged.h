/* SPDX-License-Identifier: GPL-3.0-or-later */
// admin_paged.h - searches read page by page (internal).
#ifndef ZT_ADMIN_PAGED_H
#define ZT_ADMIN_PAGED_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin_private.h"

namespace zt {

// Entries asked for in one page: large pages keep the server's work per
// page small beside the entries it sends.  A server that refuses a page
// this large (slapd's size.pr) is asked again with a tenth of it, down to
// the smallest size.
inline constexpr int kSearchPageSize = 5000;
inline constexpr int kSmallestSearchPageSize = 50;

// One search to be read page by page; `on_page` takes over each page's
// result chain (entries and the final result) as it arrives.
struct PagedQuery {
    std::string base;
    int scope;
    std::string filter;
    const char *const *attrs;  // null: all attributes
    std::function<void(LdapMsgPtr)> on_page;
    // The most entries the caller wants (0: all).  Pages then hold at most
    // one entry more; a search found to go past it is given up after that
    // page, which is not handed on, and `over_budget` is set (the pages
    // handed on before it are the caller's to drop).
    size_t budget = 0;
    bool over_budget = false;
};

// Runs `queries` one after the other on one session with the paged-results
// control (RFC 2696, sent as non-critical: a server without it answers in
// one piece).  One at a time, since a server keeps the paging state of one
// search per connection; the next page of a search is asked for before the
// page that came is handed on, so the server works while the caller reads.
// Returns LDAP_SUCCESS once every search has ended, or the first failure's
// result code (also left as the session's error; the rest are not run).
int paged_search(LDAP *session, std::vector<PagedQuery> &queries);

// Runs `queries` side by side, the first on the connection's session and
// each other on a session of its own opened like it (same server, identity
// and mechanism) and closed at the end, so that the server works on all of
// them at once while the caller reads whichever page comes first; still one
// thread.  When a further session cannot be opened, the queries run one
// after the other on the connection's session.  The result as for
// paged_search.
int paged_search_apart(AdminConfig *conn, std::vector<PagedQuery> &queries);

// Runs `queries` as plain searches (no paged-results control) on one
// session, up to `window` of them outstanding at once so that the server
// works on several while the caller reads, and hands each one's whole
// result chain to its on_page in query order.  A search refused for a size
// or administrative limit is run again on its own with paging.  Returns
// LDAP_SUCCESS, or the first failure's result code (left as the session's
// error; the rest are abandoned).
int pipelined_search(LDAP *session, std::vector<PagedQuery> &queries, size_t window);

}  // namespace zt

#endif  // ZT_ADMIN_PAGED_H
