// SPDX-License-Identifier: GPL-3.0-or-later
// listings_fast.cc - the listings by token and by name from one paged read
// of each container, joined in memory.
//
// The per-token walk asks the directory two questions per row; here the
// same questions are answered from the containers read once, with the
// server's own equality rule for IDs and the same single-match rule (an ID
// listed by no entry or by several has no answer), so that the output is
// the walk's to the byte.
//
// At 100,000 users the containers hold 300,000 entries: every text is read
// out of its entry once, in one walk over the entry, into an arena, and the
// records and indexes hold pointers into it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

#include "admin_iterator.h"
#include "admin_paged.h"
#include "listings.h"
#include "records_common.h"

namespace listing {

// ------------------------------------------------------------ the arena

namespace {

constexpr size_t kArenaBlock = 1 << 20;

// The form in which the directory compares IDs, written into `key`.
void id_key(std::string_view value, std::string &key) {
    key.clear();
    size_t i = 0;
    while (i < value.size() && value[i] == ' ') ++i;
    while (i < value.size()) {
        char c = value[i++];
        if (c == ' ') {
            key += c;
            while (i < value.size() && value[i] == ' ') ++i;
        } else {
            key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    if (!key.empty() && key.back() == ' ') key.pop_back();
}

uint32_t hash_of(std::string_view key) { return static_cast<uint32_t>(std::hash<std::string_view>{}(key)); }

}  // namespace

const char *TextArena::keep(std::string_view text) {
    size_t need = text.size() + 1;
    if (need > left_) {
        size_t size = std::max(need, kArenaBlock);
        blocks_.push_back(std::make_unique<char[]>(size));
        next_ = blocks_.back().get();
        left_ = size;
    }
    char *copy = next_;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    next_ += need;
    left_ -= need;
    return copy;
}

// ------------------------------------------------------- the claim index

void ClaimIndex::add(std::string_view id, uint32_t entry) {
    id_key(id, scratch_);
    claims_.push_back({arena_->keep(scratch_), hash_of(scratch_), entry});
}

void ClaimIndex::finish() {
    auto order = [](const Claim &a, const Claim &b) {
        if (a.hash != b.hash) return a.hash < b.hash;
        if (int c = std::strcmp(a.key, b.key); c != 0) return c < 0;
        return a.entry < b.entry;
    };
    std::sort(claims_.begin(), claims_.end(), order);
    // An entry listing an ID twice is one match, as for the server.
    auto same = [](const Claim &a, const Claim &b) {
        return a.hash == b.hash && a.entry == b.entry && std::strcmp(a.key, b.key) == 0;
    };
    claims_.erase(std::unique(claims_.begin(), claims_.end(), same), claims_.end());
}

int64_t ClaimIndex::single(std::string_view id) const {
    id_key(id, scratch_);
    uint32_t hash = hash_of(scratch_);
    auto it = std::lower_bound(claims_.begin(), claims_.end(), hash,
                               [](const Claim &c, uint32_t h) { return c.hash < h; });
    int64_t found = -1;
    for (; it != claims_.end() && it->hash == hash; ++it) {
        if (it->key != scratch_) continue;
        if (found >= 0) return -2;
        found = it->entry;
    }
    return found;
}

// ------------------------------------------------------ reading entries

std::string_view walk_attributes(LDAP *ld, LDAPMessage *entry,
                                 const std::function<void(std::string_view, berval *)> &take) {
    BerElement *raw = nullptr;
    berval dn{0, nullptr};
    if (ldap_get_dn_ber(ld, entry, &raw, &dn) != LDAP_SUCCESS) return {};
    zt::BerPtr ber(raw);
    for (;;) {
        berval attr{0, nullptr};
        BerVarray values = nullptr;
        if (ldap_get_attribute_ber(ld, entry, ber.get(), &attr, &values) != LDAP_SUCCESS || attr.bv_val == nullptr) {
            ber_memfree(values);
            return {dn.bv_val, dn.bv_len};
        }
        take(std::string_view(attr.bv_val, attr.bv_len), values);
        ber_memfree(values);
    }
}

int attribute_slot(std::string_view attr, const char *const *asked) {
    for (int i = 0; asked[i] != nullptr; ++i) {
        if (attr.size() == std::strlen(asked[i]) && strncasecmp(attr.data(), asked[i], attr.size()) == 0) return i;
    }
    return -1;
}

int64_t single_logged(const ClaimIndex &index, std::string_view id) {
    int64_t found = index.single(id);
    if (found == -2) zt::dprintf("search_for_entries(): Found multiple matching entries, was expecting a single match");
    return found;
}

bool lookups_fit(const AdminConfig *conn) {
    return conn != nullptr && conn->session != nullptr && conn->subtree != nullptr &&
           zt::fits(zt::search_base(zt::kLogicalTokensContainer, conn->subtree), zt::kDnBufferSize) &&
           zt::fits(zt::search_base(zt::kUsersContainer, conn->subtree), zt::kDnBufferSize);
}

namespace {

std::string_view view_of(const berval &value) { return {value.bv_val, value.bv_len}; }

// Value lists kept side by side: a record holds the place of its values.
struct Span {
    uint32_t begin = 0;
    uint32_t count = 0;
};

class ValueLists {
public:
    // Keeps every value of `values` (as C texts) and returns their place.
    Span keep(const berval *values, TextArena &arena) {
        Span span{static_cast<uint32_t>(texts_.size()), 0};
        for (const berval *v = values; v != nullptr && v->bv_val != nullptr; ++v, ++span.count)
            texts_.push_back(arena.keep(view_of(*v)));
        return span;
    }
    std::span<const char *const> of(Span s) const { return {texts_.data() + s.begin, s.count}; }

private:
    std::vector<const char *> texts_;
};

// The iterators' order of sort values: value by value with strcasecmp, an
// entry without values first, a list that is a prefix of the other first
// (compare_sort_values, over kept texts).
bool sorts_before(std::span<const char *const> a, std::span<const char *const> b) {
    if (a.empty() || b.empty()) return a.empty() && !b.empty();
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (int c = strcasecmp(a[i], b[i]); c != 0) return c < 0;
    }
    return a.size() < b.size();
}

// What the rows need of a logical token; its raw-token IDs only where the
// rows are found through it (the listing by name).
struct LogicalEntry {
    const char *id = nullptr;
    const char *server_name = nullptr;
    int server_port = 0;
    Span raw_ids;
};

// What the rows need of a user; its logical-token IDs only where the rows
// are found through it (the listing by name).
struct UserEntry {
    Span names;  // every ztName value: the first is shown, all sort
    const char *other_info = nullptr;
    Span logical_ids;
};

// Everything one listing keeps of the directory.
struct Tables {
    TextArena arena;
    ValueLists values;
    // Deques: growing one never holds the old and the new copy at once.
    std::deque<Span> raws;  // the raw tokens' ztID values
    std::deque<LogicalEntry> lts;
    std::deque<UserEntry> users;
    ClaimIndex lt_index{arena}, user_index{arena};

    const char *first_name(const UserEntry &u) const { return u.names.count > 0 ? values.of(u.names)[0] : nullptr; }
};

// The filter of the reads that take every entry of a container: an entry
// without the IDs a lookup asks for simply never matches, and the server
// answers this filter without testing each entry.
constexpr const char *kEveryEntry = "(objectClass=*)";

// A paged read of every entry below `container` (of the connection's
// subtree) matching `filter`, asking for `attrs` only; `take` gets each
// entry.
template <typename Take>
zt::PagedQuery container_query(AdminConfig *conn, const char *container, std::string filter,
                               const char *const *attrs, Take take) {
    LDAP *ld = conn->session;
    return {zt::search_base(container, conn->subtree), LDAP_SCOPE_SUBTREE, std::move(filter), attrs,
            [ld, take](zt::LdapMsgPtr page) {
                for (LDAPMessage *e = ldap_first_entry(ld, page.get()); e != nullptr; e = ldap_next_entry(ld, e)) {
                    take(ld, e);
                }
            }};
}

// The logical tokens, indexed by the raw-token IDs they list (`by_raw`,
// which then need not be kept) or by their own IDs.
zt::PagedQuery logical_tokens_query(AdminConfig *conn, bool by_raw, Tables &t) {
    static const char *const kAttrs[] = {"ztID", "ztServerName", "ztServerPort", "ztRawTokenIDs", nullptr};
    return container_query(conn, zt::kLogicalTokensContainer, kEveryEntry, kAttrs,
                           [&t, by_raw](LDAP *ld, LDAPMessage *e) {
        auto n = static_cast<uint32_t>(t.lts.size());
        LogicalEntry &lt = t.lts.emplace_back();
        walk_attributes(ld, e, [&](std::string_view attr, berval *values) {
            if (values == nullptr || values[0].bv_val == nullptr) return;
            switch (attribute_slot(attr, kAttrs)) {
                case 0:
                    lt.id = t.arena.keep(view_of(values[0]));
                    if (!by_raw)
                        for (berval *v = values; v->bv_val != nullptr; ++v) t.lt_index.add(view_of(*v), n);
                    break;
                case 1: lt.server_name = t.arena.keep(view_of(values[0])); break;
                case 2: lt.server_port = std::atoi(std::string(view_of(values[0])).c_str()); break;
                case 3:
                    if (by_raw) {
                        for (berval *v = values; v->bv_val != nullptr; ++v) t.lt_index.add(view_of(*v), n);
                    } else {
                        lt.raw_ids = t.values.keep(values, t.arena);
                    }
                    break;
                default: break;
            }
        });
    });
}

// The users matching `filter`, indexed by the logical-token IDs they list
// (`indexed`, which then need not be kept).
zt::PagedQuery users_query(AdminConfig *conn, std::string filter, bool indexed, Tables &t) {
    static const char *const kAttrs[] = {"ztName", "ztOtherInfo", "ztLogicalTokenIDs", nullptr};
    return container_query(conn, zt::kUsersContainer, std::move(filter), kAttrs,
                           [&t, indexed](LDAP *ld, LDAPMessage *e) {
        auto n = static_cast<uint32_t>(t.users.size());
        UserEntry &user = t.users.emplace_back();
        walk_attributes(ld, e, [&](std::string_view attr, berval *values) {
            if (values == nullptr || values[0].bv_val == nullptr) return;
            switch (attribute_slot(attr, kAttrs)) {
                case 0: user.names = t.values.keep(values, t.arena); break;
                case 1: user.other_info = t.arena.keep(view_of(values[0])); break;
                case 2:
                    if (indexed) {
                        for (berval *v = values; v->bv_val != nullptr; ++v) t.user_index.add(view_of(*v), n);
                    } else {
                        user.logical_ids = t.values.keep(values, t.arena);
                    }
                    break;
                default: break;
            }
        });
    });
}

// The raw tokens of the listing by token, each as its ztID values.
zt::PagedQuery raw_tokens_query(AdminConfig *conn, std::string filter, Tables &t) {
    static const char *const kAttrs[] = {"ztID", nullptr};
    return container_query(conn, zt::kRawTokensContainer, std::move(filter), kAttrs, [&t](LDAP *ld, LDAPMessage *e) {
        Span &ids = t.raws.emplace_back();
        walk_attributes(ld, e, [&](std::string_view attr, berval *values) {
            if (attribute_slot(attr, kAttrs) == 0) ids = t.values.keep(values, t.arena);
        });
    });
}

// The single entry of `index` listing `id`, as the per-token lookups find
// it: an ID whose filter would not fit its buffer is refused, several
// matches are logged like the search that finds them.
int64_t single_match(const ClaimIndex &index, const char *attr, const char *function, const char *id) {
    if (!zt::fits(std::string(attr) + "=" + id, zt::kFilterBufferSize)) {
        zt::dprintf("%s(): search filter or subtree name too long", function);
        return -1;
    }
    return single_logged(index, id);
}

// The outcome of the reads: done, or why they failed.  A time-out, or a
// server that went away, would stop the per-token walk just the same.
Fast read_outcome(int rc) {
    if (rc == LDAP_SUCCESS) return Fast::kDone;
    bool walk_fails_too = rc == LDAP_TIMEOUT || rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR;
    return walk_fails_too ? Fast::kFailed : Fast::kUnavailable;
}

}  // namespace

Fast fast_rows_by_token(AdminConfig *conn, const char *filter, TokenRows &rows) {
    if (!lookups_fit(conn)) return Fast::kUnavailable;
    std::optional<zt::IteratorSearch> search = zt::iterator_search(ITERATOR_RAW_TOKENS, filter, conn->subtree);
    if (!search) return Fast::kUnavailable;
    Tables t;
    std::vector<zt::PagedQuery> reads;
    reads.push_back(raw_tokens_query(conn, search->filter, t));
    reads.push_back(logical_tokens_query(conn, true, t));
    reads.push_back(users_query(conn, kEveryEntry, true, t));
    if (Fast read = read_outcome(zt::paged_search_apart(conn, reads)); read != Fast::kDone) return read;
    t.lt_index.finish();
    t.user_index.finish();
    std::stable_sort(t.raws.begin(), t.raws.end(),
                     [&t](Span a, Span b) { return sorts_before(t.values.of(a), t.values.of(b)); });
    for (Span ids : t.raws) {
        if (ids.count == 0) continue;
        const char *raw_id = t.values.of(ids)[0];
        int64_t l = single_match(t.lt_index, "ztRawTokenIDs", "raw_token_id_to_logical_token", raw_id);
        if (l < 0 || t.lts[l].id == nullptr) continue;
        const LogicalEntry &lt = t.lts[l];
        int64_t u = single_match(t.user_index, "ztLogicalTokenIDs", "logical_token_id_to_user", lt.id);
        if (u < 0) continue;
        const UserEntry &user = t.users[u];
        if (!rows.print({raw_id, lt.server_name, lt.server_port, t.first_name(user), user.other_info}))
            return Fast::kBadFormat;
    }
    return Fast::kDone;
}

Fast fast_rows_by_name(AdminConfig *conn, const char *filter, int format, NameCounts &counts) {
    if (!lookups_fit(conn)) return Fast::kUnavailable;
    std::optional<zt::IteratorSearch> search = zt::iterator_search(ITERATOR_USERS, filter, conn->subtree);
    if (!search) return Fast::kUnavailable;
    Tables t;
    std::vector<zt::PagedQuery> reads;
    reads.push_back(users_query(conn, search->filter, false, t));
    reads.push_back(logical_tokens_query(conn, false, t));
    if (Fast read = read_outcome(zt::paged_search_apart(conn, reads)); read != Fast::kDone) return read;
    t.lt_index.finish();
    std::stable_sort(t.users.begin(), t.users.end(), [&t](const UserEntry &a, const UserEntry &b) {
        return sorts_before(t.values.of(a.names), t.values.of(b.names));
    });
    for (const UserEntry &user : t.users) {
        ++counts.users;
        for (const char *lt_id : t.values.of(user.logical_ids)) {
            int64_t found = single_logged(t.lt_index, lt_id);
            if (found < 0) {
                report_unreadable_logical_token(lt_id);
                continue;
            }
            const LogicalEntry &lt = t.lts[found];
            for (const char *raw_id : t.values.of(lt.raw_ids)) {
                print_name_row({raw_id, lt.server_name, lt.server_port, t.first_name(user), user.other_info}, format,
                               counts);
            }
        }
    }
    return Fast::kDone;
}

}  // namespace listing
