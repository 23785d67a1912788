// SPDX-License-Identifier: GPL-3.0-or-later
// admin_paged.cc - searches read page by page with the paged-results
// control, one after the other on one session or side by side on several.
#include "admin_paged.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <deque>

namespace zt {
namespace {

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

// The error the session recorded last.
int session_error(LDAP *session) {
    int code = LDAP_OTHER;
    ldap_get_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// One query read page by page on one session: asks for a page, takes the
// page that comes, asks for the next before handing it on.
class Reader {
public:
    Reader(LDAP *session, PagedQuery &query)
        : session_(session),
          query_(query),
          page_size_(query.budget > 0 && query.budget < static_cast<size_t>(kSearchPageSize)
                         ? static_cast<int>(query.budget) + 1
                         : kSearchPageSize) {}
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader() {
        if (msgid_ >= 0) ldap_abandon_ext(session_, msgid_, nullptr, nullptr);
        ber_memfree(cookie_.bv_val);
    }

    LDAP *session() const { return session_; }
    bool running() const { return msgid_ >= 0; }
    int msgid() const { return msgid_; }
    // What a wait for this search's page is for, as a timed-out one logs it.
    Awaited awaited() const { return {"paged search", query_.base.c_str(), false}; }
    // True once the page asked for is overdue by the session's bound.
    bool overdue() const {
        int seconds = answer_bound(session_);
        return seconds > 0 && std::chrono::steady_clock::now() - asked_ > std::chrono::seconds(seconds);
    }
    // Gives up the page asked for (the search is over).
    void give_up() {
        give_up_waiting(session_, msgid_, awaited());
        msgid_ = -1;
    }
    // The page asked for was given up by await_result.
    void forget() { msgid_ = -1; }

    // Asks for the first page; the LDAP result code.
    int start() { return request(); }

    // Takes the result of the page asked for; the LDAP result code.  A
    // server refusing the page size on the first page is asked again with
    // a tenth of it.
    int take(LdapMsgPtr page) {
        msgid_ = -1;
        int rc = parse(page.get());
        if (rc == LDAP_ADMINLIMIT_EXCEEDED && first_ && page_size_ > kSmallestSearchPageSize) {
            page_size_ /= 10;
            return request();
        }
        first_ = false;
        entries_ += static_cast<size_t>(std::max(ldap_count_entries(session_, page.get()), 0));
        if (rc == LDAP_SUCCESS && cookie_.bv_len > 0 && query_.budget > 0 && entries_ > query_.budget) {
            query_.over_budget = true;
            return rc;
        }
        if (rc == LDAP_SUCCESS && cookie_.bv_len > 0) rc = request();
        if (rc == LDAP_SUCCESS) query_.on_page(std::move(page));
        return rc;
    }

private:
    int request() {
        LDAPControl *page_control = nullptr;
        int rc = ldap_create_page_control(session_, page_size_, &cookie_, 0, &page_control);
        if (rc != LDAP_SUCCESS) return rc;
        LDAPControl *controls[] = {page_control, nullptr};
        rc = ldap_search_ext(session_, query_.base.c_str(), query_.scope, query_.filter.c_str(),
                             const_cast<char **>(query_.attrs), 0, controls, nullptr, nullptr, LDAP_NO_LIMIT, &msgid_);
        ldap_control_free(page_control);
        if (rc != LDAP_SUCCESS) msgid_ = -1;
        asked_ = std::chrono::steady_clock::now();
        return rc;
    }

    // The page's result code; the cookie for the next page (empty on the
    // last page, or from a server without the control).
    int parse(LDAPMessage *page) {
        ber_memfree(cookie_.bv_val);
        cookie_ = {0, nullptr};
        int code = LDAP_SUCCESS;
        LDAPControl **controls = nullptr;
        int rc = ldap_parse_result(session_, page, &code, nullptr, nullptr, nullptr, &controls, 0);
        if (rc != LDAP_SUCCESS) return rc;
        LDAPControl *response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
        ber_int_t estimate = 0;
        if (code == LDAP_SUCCESS && response != nullptr) {
            ldap_parse_pageresponse_control(session_, response, &estimate, &cookie_);
        }
        ldap_controls_free(controls);
        return code;
    }

    LDAP *session_;
    PagedQuery &query_;
    int page_size_;
    size_t entries_ = 0;
    bool first_ = true;
    int msgid_ = -1;
    std::chrono::steady_clock::time_point asked_;
    berval cookie_{0, nullptr};
};

// Leaves `code` as the session's error, as a synchronous search leaves it
// (abandoning a search clears it), and returns it.
int failed(LDAP *session, int code) {
    ldap_set_option(session, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// Waits until one of the sessions has something to read, at most a short
// while: a page may already sit in a session's buffer.
void wait_for_any(const std::vector<std::unique_ptr<Reader>> &readers) {
    std::vector<pollfd> fds;
    for (const auto &r : readers) {
        int fd = -1;
        if (r->running() && ldap_get_option(r->session(), LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
        }
    }
    poll(fds.data(), fds.size(), 50);
}

}  // namespace

int paged_search(LDAP *session, std::vector<PagedQuery> &queries) {
    read_ahead(session);
    for (PagedQuery &q : queries) {
        int rc = LDAP_SUCCESS;
        {
            Reader reader(session, q);
            rc = reader.start();
            while (rc == LDAP_SUCCESS && reader.running()) {
                LDAPMessage *raw = nullptr;
                int got = await_result(session, reader.msgid(), LDAP_MSG_ALL, &raw, reader.awaited());
                if (got <= 0) {
                    if (got == 0) reader.forget();
                    rc = session_error(session);
                    break;
                }
                rc = reader.take(LdapMsgPtr(raw));
            }
        }
        if (rc != LDAP_SUCCESS) return failed(session, rc);
    }
    return LDAP_SUCCESS;
}

int paged_search_apart(AdminConfig *conn, std::vector<PagedQuery> &queries) {
    std::vector<LdapPtr> own;
    std::vector<LDAP *> sessions{conn->session};
    while (sessions.size() < queries.size()) {
        AdminStatus status = ADMIN_SUCCESS;
        auto asked = std::chrono::steady_clock::now();
        own.emplace_back(open_session(conn, conn->server_name, &status));
        if (!own.back()) {
            // A server that let the bind wait out the bound would let the reads wait just as long.
            int bound = answer_bound(conn->session);
            if (bound > 0 && std::chrono::steady_clock::now() - asked >= std::chrono::seconds(bound))
                return failed(conn->session, LDAP_TIMEOUT);
            return paged_search(conn->session, queries);
        }
        sessions.push_back(own.back().get());
    }
    std::vector<std::unique_ptr<Reader>> readers;
    int rc = LDAP_SUCCESS;
    for (size_t i = 0; i < queries.size() && rc == LDAP_SUCCESS; ++i) {
        read_ahead(sessions[i]);
        rc = readers.emplace_back(std::make_unique<Reader>(sessions[i], queries[i]))->start();
    }
    for (bool busy = true; rc == LDAP_SUCCESS && busy;) {
        busy = false;
        bool took = false;
        for (auto &r : readers) {
            if (!r->running() || rc != LDAP_SUCCESS) continue;
            busy = true;
            timeval now{0, 0};
            LDAPMessage *raw = nullptr;
            int got = ldap_result(r->session(), r->msgid(), LDAP_MSG_ALL, &now, &raw);
            if (got == 0 && r->overdue()) {
                r->give_up();
                rc = LDAP_TIMEOUT;
            }
            if (got < 0) rc = session_error(r->session());
            if (got > 0) rc = r->take(LdapMsgPtr(raw));
            took = took || got != 0;
        }
        if (busy && !took && rc == LDAP_SUCCESS) wait_for_any(readers);
    }
    readers.clear();
    return rc == LDAP_SUCCESS ? rc : failed(conn->session, rc);
}

namespace {

// Whether a plain search refused for this code may still succeed paged:
// the server's size limit may spare paged searches.
bool limit_refusal(int code) { return code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_ADMINLIMIT_EXCEEDED; }

// Sends `query` as a plain search; the message ID, or -1 with the code in `rc`.
int send_plain(LDAP *session, const PagedQuery &query, int &rc) {
    int msgid = -1;
    rc = ldap_search_ext(session, query.base.c_str(), query.scope, query.filter.c_str(),
                         const_cast<char **>(query.attrs), 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &msgid);
    return rc == LDAP_SUCCESS ? msgid : -1;
}

// Awaits the whole result chain of search `msgid`; its result code, the
// chain in `chain`.
int await_chain(LDAP *session, int msgid, const PagedQuery &query, LdapMsgPtr &chain) {
    LDAPMessage *raw = nullptr;
    int got = await_result(session, msgid, LDAP_MSG_ALL, &raw, {"search", query.base.c_str(), false});
    chain.reset(raw);
    if (got <= 0) return session_error(session);
    int code = LDAP_OTHER;
    int rc = ldap_parse_result(session, chain.get(), &code, nullptr, nullptr, nullptr,
                               nullptr, 0);
    return rc != LDAP_SUCCESS ? rc : code;
}

}  // namespace

int pipelined_search(LDAP *session, std::vector<PagedQuery> &queries, size_t window) {
    read_ahead(session);
    std::deque<std::pair<size_t, int>> outstanding;  // query index, message ID
    std::vector<PagedQuery> refused;
    size_t next = 0;
    int rc = LDAP_SUCCESS;
    while (rc == LDAP_SUCCESS && (next < queries.size() || !outstanding.empty())) {
        while (rc == LDAP_SUCCESS && next < queries.size() && outstanding.size() < std::max<size_t>(window, 1)) {
            int msgid = send_plain(session, queries[next], rc);
            if (msgid >= 0) outstanding.emplace_back(next++, msgid);
        }
        if (rc != LDAP_SUCCESS) break;
        auto [index, msgid] = outstanding.front();
        outstanding.pop_front();
        LdapMsgPtr chain;
        int code = await_chain(session, msgid, queries[index], chain);
        if (code == LDAP_SUCCESS) {
            queries[index].on_page(std::move(chain));
        } else if (limit_refusal(code)) {
            refused.push_back(queries[index]);
        } else {
            rc = code;
        }
    }
    for (const auto &[index, msgid] : outstanding) ldap_abandon_ext(session, msgid, nullptr, nullptr);
    if (rc == LDAP_SUCCESS && !refused.empty()) rc = paged_search(session, refused);
    return rc == LDAP_SUCCESS ? rc : failed(session, rc);
}

}  // namespace zt
