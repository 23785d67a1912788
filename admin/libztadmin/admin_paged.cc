// admin_paged.cc - searches read page by page with the paged-results
// control, several at once on one session.
#include "admin_paged.h"

#include <algorithm>

namespace zt {
namespace {

// One search under way: its query, the message of its current page and
// the cookie that asks for the next.
struct Running {
    PagedQuery *query;
    int msgid = -1;
    berval cookie{0, nullptr};
};

// Asks for the page after `r.cookie`; the LDAP result code.
int request_page(LDAP *session, Running &r) {
    LDAPControl *page_control = nullptr;
    int rc = ldap_create_page_control(session, kSearchPageSize, &r.cookie, 0, &page_control);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPControl *controls[] = {page_control, nullptr};
    const PagedQuery &q = *r.query;
    rc = ldap_search_ext(session, q.base.c_str(), q.scope, q.filter.c_str(), const_cast<char **>(q.attrs), 0,
                         controls, nullptr, nullptr, LDAP_NO_LIMIT, &r.msgid);
    ldap_control_free(page_control);
    return rc;
}

// The result code of a page and, in `cookie`, what asks for the next one
// (empty on the last page or from a server without the control).
int parse_page(LDAP *session, LDAPMessage *page, berval &cookie) {
    ber_memfree(cookie.bv_val);
    cookie = {0, nullptr};
    int code = LDAP_SUCCESS;
    LDAPControl **controls = nullptr;
    int rc = ldap_parse_result(session, page, &code, nullptr, nullptr, nullptr, &controls, 0);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPControl *response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
    ber_int_t estimate = 0;
    if (code == LDAP_SUCCESS && response != nullptr) {
        ldap_parse_pageresponse_control(session, response, &estimate, &cookie);
    }
    ldap_controls_free(controls);
    return code;
}

// Ends every search still under way and frees its cookie.
void abandon(LDAP *session, std::vector<Running> &running) {
    for (Running &r : running) {
        if (r.msgid >= 0) ldap_abandon_ext(session, r.msgid, nullptr, nullptr);
        ber_memfree(r.cookie.bv_val);
    }
    running.clear();
}

// Ends the searches after a failure and returns `code`, left as the
// session's error as a synchronous search leaves it (abandoning clears it).
int fail(LDAP *session, std::vector<Running> &running, int code) {
    abandon(session, running);
    ldap_set_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// The error the session recorded last.
int session_error(LDAP *session) {
    int code = LDAP_OTHER;
    ldap_get_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

}  // namespace

int paged_search(LDAP *session, std::vector<PagedQuery> &queries) {
    std::vector<Running> running;
    for (PagedQuery &q : queries) {
        Running &r = running.emplace_back(Running{&q});
        if (int rc = request_page(session, r); rc != LDAP_SUCCESS) return fail(session, running, rc);
    }
    while (!running.empty()) {
        LDAPMessage *raw = nullptr;
        if (ldap_result(session, LDAP_RES_ANY, LDAP_MSG_ALL, nullptr, &raw) <= 0) {
            return fail(session, running, session_error(session));
        }
        LdapMsgPtr page(raw);
        auto r = std::find_if(running.begin(), running.end(), [&](const Running &x) { return x.msgid == ldap_msgid(raw); });
        if (r == running.end()) continue;
        int rc = parse_page(session, raw, r->cookie);
        if (rc == LDAP_SUCCESS && r->cookie.bv_len > 0) {
            rc = request_page(session, *r);
        } else if (rc == LDAP_SUCCESS) {
            r->msgid = -1;
        }
        if (rc != LDAP_SUCCESS) return fail(session, running, rc);
        PagedQuery *query = r->query;
        if (r->msgid < 0) running.erase(r);
        query->on_page(std::move(page));
    }
    return LDAP_SUCCESS;
}

}  // namespace zt
