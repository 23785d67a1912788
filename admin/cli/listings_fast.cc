// listings_fast.cc - the listings by token and by name from one paged read
// of each container, joined in memory.
//
// The per-token walk asks the directory two questions per row; here the
// same questions are answered from the containers read once, with the
// server's own equality rule for IDs and the same single-match rule (an ID
// listed by no entry or by several has no answer), so that the output is
// the walk's to the byte.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "admin_iterator.h"
#include "admin_paged.h"
#include "listings.h"
#include "records_common.h"

namespace listing {
namespace {

// The form in which the directory compares IDs (case-ignoring IA5
// equality): ASCII letters in lower case, leading and trailing blanks
// dropped, each inner run of blanks kept as its first blank.
std::string id_key(std::string_view value) {
    std::string key;
    key.reserve(value.size());
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
    return key;
}

// Which entries list an ID: the first and the last of them and how many
// there are.
struct Claim {
    uint32_t first;
    uint32_t last;
    uint32_t count;
};

class ClaimIndex {
public:
    // Records that entry `index` lists `id`; an entry listing an ID twice
    // is one match, as for the server.
    void add(const std::string &id, uint32_t index) {
        auto [it, inserted] = claims_.try_emplace(id_key(id), Claim{index, index, 1});
        if (!inserted && it->second.last != index) {
            it->second.last = index;
            ++it->second.count;
        }
    }
    // The single entry listing `id`; -1 when none does, -2 when several do.
    int64_t single(const std::string &id) const {
        auto it = claims_.find(id_key(id));
        if (it == claims_.end()) return -1;
        return it->second.count == 1 ? static_cast<int64_t>(it->second.first) : -2;
    }

private:
    std::unordered_map<std::string, Claim> claims_;
};

// What the rows need of a logical token; its raw-token IDs only where the
// rows are found through it (the listing by name).
struct LogicalEntry {
    std::optional<std::string> id;
    std::optional<std::string> server_name;
    int server_port = 0;
    std::vector<std::string> raw_ids;
};

// What the rows need of a user; its logical-token IDs only where the rows
// are found through it (the listing by name).
struct UserEntry {
    std::vector<std::string> names;  // every ztName value: the first is shown, all sort
    std::optional<std::string> other_info;
    std::vector<std::string> logical_ids;

    const char *name() const { return names.empty() ? nullptr : names.front().c_str(); }
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
zt::PagedQuery logical_tokens_query(AdminConfig *conn, bool by_raw, std::vector<LogicalEntry> &out,
                                    ClaimIndex &index) {
    static const char *const kAttrs[] = {"ztID", "ztServerName", "ztServerPort", "ztRawTokenIDs", nullptr};
    return container_query(conn, zt::kLogicalTokensContainer, kEveryEntry, kAttrs,
                           [&out, &index, by_raw](LDAP *ld, LDAPMessage *e) {
                               auto n = static_cast<uint32_t>(out.size());
                               LogicalEntry &lt = out.emplace_back();
                               lt.id = zt::first_value(ld, e, "ztID");
                               lt.server_name = zt::first_value(ld, e, "ztServerName");
                               lt.server_port = zt::first_value_int(ld, e, "ztServerPort");
                               if (by_raw) {
                                   for (const auto &id : zt::all_values(ld, e, "ztRawTokenIDs")) index.add(id, n);
                               } else {
                                   lt.raw_ids = zt::all_values(ld, e, "ztRawTokenIDs");
                                   for (const auto &id : zt::all_values(ld, e, "ztID")) index.add(id, n);
                               }
                           });
}

// The users matching `filter`, indexed by the logical-token IDs they list
// (which then need not be kept); with a null `index` the IDs are kept.
zt::PagedQuery users_query(AdminConfig *conn, std::string filter, std::vector<UserEntry> &out, ClaimIndex *index) {
    static const char *const kAttrs[] = {"ztName", "ztOtherInfo", "ztLogicalTokenIDs", nullptr};
    return container_query(conn, zt::kUsersContainer, std::move(filter), kAttrs,
                           [&out, index](LDAP *ld, LDAPMessage *e) {
                               auto n = static_cast<uint32_t>(out.size());
                               UserEntry &user = out.emplace_back();
                               user.names = zt::all_values(ld, e, "ztName");
                               user.other_info = zt::first_value(ld, e, "ztOtherInfo");
                               user.logical_ids = zt::all_values(ld, e, "ztLogicalTokenIDs");
                               if (index != nullptr) {
                                   for (const auto &id : user.logical_ids) index->add(id, n);
                                   user.logical_ids = {};
                               }
                           });
}

// The raw tokens of the listing by token, each as its ztID values.
zt::PagedQuery raw_tokens_query(AdminConfig *conn, std::string filter, std::vector<std::vector<std::string>> &out) {
    static const char *const kAttrs[] = {"ztID", nullptr};
    return container_query(conn, zt::kRawTokensContainer, std::move(filter), kAttrs,
                           [&out](LDAP *ld, LDAPMessage *e) { out.push_back(zt::all_values(ld, e, "ztID")); });
}

const char *c_str(const std::optional<std::string> &s) { return s ? s->c_str() : nullptr; }

// The single entry of `index` listing `id`, with the log line of the
// search that would find several.
int64_t single_logged(const ClaimIndex &index, const std::string &id) {
    int64_t found = index.single(id);
    if (found == -2) zt::dprintf("search_for_entries(): Found multiple matching entries, was expecting a single match");
    return found;
}

// The single entry of `index` listing `id`, as the per-token lookups find
// it: an ID whose filter would not fit its buffer is refused, several
// matches are logged like the search that finds them.
int64_t single_match(const ClaimIndex &index, const char *attr, const char *function, const std::string &id) {
    if (!zt::fits(std::string(attr) + "=" + id, zt::kFilterBufferSize)) {
        zt::dprintf("%s(): search filter or subtree name too long", function);
        return -1;
    }
    return single_logged(index, id);
}

// True when the per-token lookups could be asked at all: their search
// bases fit the buffers they are built in.
bool lookups_fit(const AdminConfig *conn) {
    return conn != nullptr && conn->session != nullptr && conn->subtree != nullptr &&
           zt::fits(zt::search_base(zt::kLogicalTokensContainer, conn->subtree), zt::kDnBufferSize) &&
           zt::fits(zt::search_base(zt::kUsersContainer, conn->subtree), zt::kDnBufferSize);
}

}  // namespace

Fast fast_rows_by_token(AdminConfig *conn, const char *filter, TokenRows &rows) {
    if (!lookups_fit(conn)) return Fast::kUnavailable;
    std::optional<zt::IteratorSearch> search = zt::iterator_search(ITERATOR_RAW_TOKENS, filter, conn->subtree);
    if (!search) return Fast::kUnavailable;
    std::vector<std::vector<std::string>> raws;
    std::vector<LogicalEntry> lts;
    std::vector<UserEntry> users;
    ClaimIndex lt_by_raw, user_by_lt;
    std::vector<zt::PagedQuery> reads;
    reads.push_back(raw_tokens_query(conn, search->filter, raws));
    reads.push_back(logical_tokens_query(conn, true, lts, lt_by_raw));
    reads.push_back(users_query(conn, kEveryEntry, users, &user_by_lt));
    if (zt::paged_search_apart(conn, reads) != LDAP_SUCCESS) return Fast::kUnavailable;
    std::stable_sort(raws.begin(), raws.end(), [](const auto &a, const auto &b) { return zt::compare_sort_values(a, b) < 0; });
    for (const auto &ids : raws) {
        if (ids.empty()) continue;
        int64_t l = single_match(lt_by_raw, "ztRawTokenIDs", "raw_token_id_to_logical_token", ids.front());
        if (l < 0 || !lts[l].id) continue;
        const LogicalEntry &lt = lts[l];
        int64_t u = single_match(user_by_lt, "ztLogicalTokenIDs", "logical_token_id_to_user", *lt.id);
        if (u < 0) continue;
        const UserEntry &user = users[u];
        TokenRow row{ids.front().c_str(), c_str(lt.server_name), lt.server_port, user.name(),
                     c_str(user.other_info)};
        if (!rows.print(row)) return Fast::kBadFormat;
    }
    return Fast::kDone;
}

Fast fast_rows_by_name(AdminConfig *conn, const char *filter, int format, NameCounts &counts) {
    if (!lookups_fit(conn)) return Fast::kUnavailable;
    std::optional<zt::IteratorSearch> search = zt::iterator_search(ITERATOR_USERS, filter, conn->subtree);
    if (!search) return Fast::kUnavailable;
    std::vector<UserEntry> users;
    std::vector<LogicalEntry> lts;
    ClaimIndex lt_by_id;
    std::vector<zt::PagedQuery> reads;
    reads.push_back(users_query(conn, search->filter, users, nullptr));
    reads.push_back(logical_tokens_query(conn, false, lts, lt_by_id));
    if (zt::paged_search_apart(conn, reads) != LDAP_SUCCESS) return Fast::kUnavailable;
    std::stable_sort(users.begin(), users.end(),
                     [](const auto &a, const auto &b) { return zt::compare_sort_values(a.names, b.names) < 0; });
    for (const UserEntry &user : users) {
        ++counts.users;
        for (const std::string &lt_id : user.logical_ids) {
            int64_t found = single_logged(lt_by_id, lt_id);
            if (found < 0) {
                report_unreadable_logical_token(lt_id.c_str());
                continue;
            }
            const LogicalEntry &lt = lts[found];
            for (const std::string &raw_id : lt.raw_ids) {
                print_name_row({raw_id.c_str(), c_str(lt.server_name), lt.server_port, user.name(),
                                c_str(user.other_info)},
                               format, counts);
            }
        }
    }
    return Fast::kDone;
}

}  // namespace listing
