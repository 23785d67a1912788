// admin_paged.h - searches read page by page (internal).
#ifndef ZT_ADMIN_PAGED_H
#define ZT_ADMIN_PAGED_H

#include <functional>
#include <string>
#include <vector>

#include "admin_private.h"

namespace zt {

// Entries asked for in one page.  slapd's default size limit is 500, so a
// page never trips a server that keeps that default.
inline constexpr int kSearchPageSize = 500;

// One search to be read page by page; `on_page` takes over each page's
// result chain (entries and the final result) as it arrives.
struct PagedQuery {
    std::string base;
    int scope;
    std::string filter;
    const char *const *attrs;  // null: all attributes
    std::function<void(LdapMsgPtr)> on_page;
};

// Runs `queries` at once on one session with the paged-results control
// (RFC 2696, sent as non-critical: a server without it answers in one
// piece).  The next page of a search is asked for before the page that
// came is handed on, so the server works while the caller reads.  Returns
// LDAP_SUCCESS once every search has ended, or the first failure's result
// code (the session's error then tells it; the other searches are
// abandoned).
int paged_search(LDAP *session, std::vector<PagedQuery> &queries);

}  // namespace zt

#endif  // ZT_ADMIN_PAGED_H
