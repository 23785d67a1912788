// SPDX-License-Identifier: GPL-3.0-or-later
// logins_bulk.cc - the user names and desktop locations of the logged-in
// listings from a few bulk reads instead of three searches per login.
//
// Each per-row lookup is an equality search in single mode: the logical
// token listing the raw token, the user listing that logical token, the
// desktop with the terminal's ID.  Here the same questions are answered
// from entries read in bulk and indexed with the server's equality rule,
// so that every answer, and every log line a lookup writes, is the
// lookup's own.  A container is read whole when it is small beside the
// IDs asked (the read gives up once it holds more than a few entries per
// ID); otherwise only the entries listing the IDs are read, with OR
// filters of about a hundred IDs, several such searches in flight at once.
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "admin_paged.h"
#include "listings.h"
#include "records_common.h"

namespace listing {
namespace {

// The desktop lookup's filter buffer.
constexpr size_t kDesktopFilterBufferSize = 500;

std::string_view view_of(const berval &value) { return {value.bv_val, value.bv_len}; }

// The entries of one container that list IDs in `claim_attr`, each with
// the first value of `value_attr` (null when it has none), indexed by the
// IDs they list.
class Claimed {
public:
    Claimed(TextArena &arena, const char *claim_attr, const char *value_attr)
        : attrs_{claim_attr, value_attr, nullptr}, arena_(&arena), index_(arena) {}

    const char *claim_attr() const { return attrs_[0]; }
    const char *const *attrs() const { return attrs_; }

    // Takes one entry; an entry met before (found by two OR filters) is
    // taken once, as the search of a single ID finds it once.
    void take(LDAP *ld, LDAPMessage *entry, bool may_repeat) {
        auto n = static_cast<uint32_t>(values_.size());
        std::vector<std::string_view> ids;
        const char *value = nullptr;
        std::string_view dn = walk_attributes(ld, entry, [&](std::string_view attr, berval *values) {
            if (values == nullptr || values[0].bv_val == nullptr) return;
            int slot = attribute_slot(attr, attrs_);
            if (slot == 0)
                for (berval *v = values; v->bv_val != nullptr; ++v) index_.add(view_of(*v), n);
            if (slot == 1) value = arena_->keep(view_of(values[0]));
        });
        if (may_repeat && !seen_.insert(std::string(dn)).second) {
            index_.drop(n);
            return;
        }
        values_.push_back(value);
    }
    // Forgets every entry taken (a whole read given up).
    void clear() {
        values_.clear();
        index_.clear();
    }
    void finish() { index_.finish(); }

    // The entry listing `id` as a single-mode search finds it (several
    // logged); -1 for none.
    int64_t single(std::string_view id) const { return single_logged(index_, id); }
    // The same without the log line.
    int64_t single_quiet(std::string_view id) const { return index_.single(id); }
    const char *value(int64_t entry) const { return values_[static_cast<size_t>(entry)]; }

private:
    const char *attrs_[3];
    TextArena *arena_;
    ClaimIndex index_;
    std::vector<const char *> values_;
    std::unordered_set<std::string> seen_;
};

// Whether the per-row lookup would search for `id` at all: its filter must
// fit the buffer it is built in.
bool token_filter_fits(const char *attr, const char *id) {
    return zt::fits(std::string(attr) + "=" + id, zt::kFilterBufferSize);
}
bool desktop_filter_fits(const char *id) {
    return id != nullptr && *id != '\0' && zt::fits(std::string("ztID=") + id, kDesktopFilterBufferSize);
}

// The search of every entry of `container` (of the connection's subtree)
// into `table`, given up past `budget` entries.
zt::PagedQuery whole_read(AdminConfig *conn, const char *container, Claimed &table, size_t budget) {
    LDAP *ld = conn->session;
    zt::PagedQuery q{zt::search_base(container, conn->subtree), LDAP_SCOPE_SUBTREE, "(objectClass=*)", table.attrs(),
                     [ld, &table](zt::LdapMsgPtr page) {
                         for (LDAPMessage *e = ldap_first_entry(ld, page.get()); e; e = ldap_next_entry(ld, e))
                             table.take(ld, e, false);
                     }};
    q.budget = budget;
    return q;
}

// The searches of the entries of `container` listing any of `ids`, a
// hundred IDs to a filter.
std::vector<zt::PagedQuery> id_searches(AdminConfig *conn, const char *container, Claimed &table,
                                        const std::vector<const char *> &ids, size_t per_filter) {
    LDAP *ld = conn->session;
    std::vector<zt::PagedQuery> searches;
    for (size_t at = 0; at < ids.size(); at += per_filter) {
        std::string filter = "(|";
        for (size_t i = at; i < ids.size() && i < at + per_filter; ++i)
            filter += std::string("(") + table.claim_attr() + "=" + zt::filter_escape(ids[i]) + ")";
        filter += ")";
        searches.push_back({zt::search_base(container, conn->subtree), LDAP_SCOPE_SUBTREE, std::move(filter),
                            table.attrs(), [ld, &table](zt::LdapMsgPtr chain) {
                                for (LDAPMessage *e = ldap_first_entry(ld, chain.get()); e; e = ldap_next_entry(ld, e))
                                    table.take(ld, e, true);
                            }});
    }
    return searches;
}

// The distinct texts of `ids` that `usable` accepts, in first-seen order.
template <typename Usable>
std::vector<const char *> distinct(const std::vector<const char *> &ids, Usable usable) {
    std::unordered_set<std::string_view> seen;
    std::vector<const char *> out;
    for (const char *id : ids) {
        if (id != nullptr && usable(id) && seen.insert(id).second) out.push_back(id);
    }
    return out;
}

class BulkLookups : public LoginLookups {
public:
    explicit BulkLookups(const BulkTuning &tuning) : tuning_(tuning) {}

    // Reads what the lookups of `rows` need; false when a read failed.
    bool read(AdminConfig *conn, const std::vector<const CurrentEntry *> &rows, bool locations) {
        std::vector<const char *> tokens, terminals;
        for (const CurrentEntry *row : rows) {
            tokens.push_back(row->token_id);
            if (locations) terminals.push_back(row->terminal_id);
        }
        tokens = distinct(tokens, [](const char *id) { return token_filter_fits("ztRawTokenIDs", id); });
        terminals = distinct(terminals, desktop_filter_fits);
        // Whole reads first, side by side; a container found too large for them is searched by ID after.
        std::vector<zt::PagedQuery> whole{whole_read(conn, zt::kLogicalTokensContainer, lts_, budget(tokens)),
                                          whole_read(conn, zt::kUsersContainer, users_, budget(tokens))};
        if (!terminals.empty())
            whole.push_back(whole_read(conn, zt::kDesktopsContainer, desktops_, budget(terminals)));
        if (zt::paged_search_apart(conn, whole) != LDAP_SUCCESS) return false;
        std::vector<zt::PagedQuery> first, then;
        if (gave_up(whole[0], lts_)) add_searches(conn, zt::kLogicalTokensContainer, lts_, tokens, first);
        if (whole.size() > 2 && gave_up(whole[2], desktops_))
            add_searches(conn, zt::kDesktopsContainer, desktops_, terminals, first);
        if (!run(conn, first)) return false;
        lts_.finish();
        desktops_.finish();
        // The users are asked for by the logical tokens found.
        if (gave_up(whole[1], users_)) add_searches(conn, zt::kUsersContainer, users_, logical_ids(tokens), then);
        if (!run(conn, then)) return false;
        users_.finish();
        return true;
    }

    std::string user_name(const char *token_id) override {
        if (token_id == nullptr) return "???";
        const char *lt_id = logical_id(token_id, true);
        if (lt_id == nullptr) return "???";
        if (!token_filter_fits("ztLogicalTokenIDs", lt_id)) {
            zt::dprintf("logical_token_id_to_user(): search filter or subtree name too long");
            return "???";
        }
        int64_t user = users_.single(lt_id);
        return user >= 0 ? shown(users_.value(user)) : "???";
    }

    std::string location(const char *terminal_id) override {
        if (!desktop_filter_fits(terminal_id)) return "???";
        int64_t desktop = desktops_.single(terminal_id);
        return desktop >= 0 ? shown(desktops_.value(desktop)) : "???";
    }

private:
    size_t budget(const std::vector<const char *> &ids) const { return ids.size() * tuning_.entries_per_id + 1; }

    void add_searches(AdminConfig *conn, const char *container, Claimed &table, const std::vector<const char *> &ids,
                      std::vector<zt::PagedQuery> &searches) const {
        for (zt::PagedQuery &q : id_searches(conn, container, table, ids, tuning_.ids_per_filter))
            searches.push_back(std::move(q));
    }
    bool run(AdminConfig *conn, std::vector<zt::PagedQuery> &searches) const {
        return searches.empty() || zt::pipelined_search(conn->session, searches, tuning_.in_flight) == LDAP_SUCCESS;
    }

    // True when the whole read of `table` was given up (and forgets it).
    static bool gave_up(const zt::PagedQuery &q, Claimed &table) {
        if (q.over_budget) table.clear();
        return q.over_budget;
    }

    // The ID of the single logical token listing raw token `token_id` (null
    // for none), logging as the lookup logs when `logged`.
    const char *logical_id(const char *token_id, bool logged) const {
        if (!token_filter_fits("ztRawTokenIDs", token_id)) {
            if (logged) zt::dprintf("raw_token_id_to_logical_token_id(): search filter or subtree name too long");
            return nullptr;
        }
        int64_t lt = logged ? lts_.single(token_id) : lts_.single_quiet(token_id);
        return lt >= 0 ? lts_.value(lt) : nullptr;
    }

    // The logical-token IDs the user lookups of `tokens` will ask for.
    std::vector<const char *> logical_ids(const std::vector<const char *> &tokens) const {
        std::vector<const char *> ids;
        for (const char *token : tokens) ids.push_back(logical_id(token, false));
        return distinct(ids, [](const char *id) { return token_filter_fits("ztLogicalTokenIDs", id); });
    }

    BulkTuning tuning_;
    TextArena arena_;
    Claimed lts_{arena_, "ztRawTokenIDs", "ztID"};
    Claimed users_{arena_, "ztLogicalTokenIDs", "ztName"};
    Claimed desktops_{arena_, "ztID", "ztLocation"};
};

}  // namespace

std::unique_ptr<LoginLookups> bulk_login_lookups(AdminConfig *conn, const std::vector<const CurrentEntry *> &rows,
                                                 bool locations, const BulkTuning &tuning) {
    if (!lookups_fit(conn)) return nullptr;
    auto lookups = std::make_unique<BulkLookups>(tuning);
    if (!lookups->read(conn, rows, locations)) return nullptr;
    return lookups;
}

}  // namespace listing
