// admin_paged.cc - searches read page by page with the paged-results
// control.
#include "admin_paged.h"


namespace zt {
namespace {

// One search under way: its query, the message of its current page and
// the cookie that asks for the next.
struct Running {
    PagedQuery *query;
    int page_size;
    int msgid = -1;
    berval cookie{0, nullptr};
};

// Asks for the page after `r.cookie`; the LDAP result code.
int request_page(LDAP *session, Running &r) {
    LDAPControl *page_control = nullptr;
    int rc = ldap_create_page_control(session, r.page_size, &r.cookie, 0, &page_control);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPControl *controls[] = {page_control, nullptr};
    const PagedQuery &q = *r.query;
    rc = ldap_search_ext(session, q.base.c_str(), q.scope, q.filter.c_str(), const_cast<char **>(q.attrs), 0,
                         controls, nullptr, nullptr, LDAP_NO_LIMIT, &r.msgid);
    ldap_control_free(page_control);
    if (rc != LDAP_SUCCESS) r.msgid = -1;
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

// Ends the search after a failure and returns `code`, left as the
// session's error as a synchronous search leaves it (abandoning clears it).
int fail(LDAP *session, Running &r, int code) {
    if (r.msgid >= 0) ldap_abandon_ext(session, r.msgid, nullptr, nullptr);
    ber_memfree(r.cookie.bv_val);
    ldap_set_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// The error the session recorded last.
int session_error(LDAP *session) {
    int code = LDAP_OTHER;
    ldap_get_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// Lets the session read the socket in large blocks instead of one call
// per header and per message, which for pages of small entries would be
// most of the reader's time.  The layer sits right above the socket and
// stays for the life of the session; nothing changes when the session has
// no socket yet or already reads ahead.
void read_ahead(LDAP *session) {
    Sockbuf *sb = nullptr;
    if (ldap_get_option(session, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr) return;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_HAS_IO, &ber_sockbuf_io_readahead) != 0) return;
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
}

// Reads one query to its end in pages of `page_size`.
int run_query(LDAP *session, PagedQuery &query, int page_size) {
    Running r{&query, page_size};
    if (int rc = request_page(session, r); rc != LDAP_SUCCESS) return fail(session, r, rc);
    for (bool first = true; r.msgid >= 0; first = false) {
        LDAPMessage *raw = nullptr;
        if (ldap_result(session, r.msgid, LDAP_MSG_ALL, nullptr, &raw) <= 0) {
            return fail(session, r, session_error(session));
        }
        LdapMsgPtr page(raw);
        int rc = parse_page(session, raw, r.cookie);
        r.msgid = -1;
        if (rc == LDAP_SUCCESS && r.cookie.bv_len > 0) rc = request_page(session, r);
        if (rc == LDAP_ADMINLIMIT_EXCEEDED && first && page_size > kSmallestSearchPageSize) {
            fail(session, r, rc);
            return run_query(session, query, page_size / 10);
        }
        if (rc != LDAP_SUCCESS) return fail(session, r, rc);
        query.on_page(std::move(page));
    }
    ber_memfree(r.cookie.bv_val);  // the last page's cookie is empty, not absent
    return LDAP_SUCCESS;
}

}  // namespace

int paged_search(LDAP *session, std::vector<PagedQuery> &queries) {
    read_ahead(session);
    for (PagedQuery &q : queries) {
        if (int rc = run_query(session, q, kSearchPageSize); rc != LDAP_SUCCESS) return rc;
    }
    return LDAP_SUCCESS;
}

}  // namespace zt
