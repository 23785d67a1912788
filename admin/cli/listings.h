/* SPDX-License-Identifier: GPL-3.0-or-later */
// listings.h - what the listings share between their per-row references
// (the listings by token and by name: one iterator plus lookups per row; the
// logged-in listings: lookups per login) and the fast paths that read each
// container once, or search for many IDs at a time, and join in memory.
#ifndef ZTUSER_LISTINGS_H
#define ZTUSER_LISTINGS_H

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"
#include "auth_mgr.h"
#include "ztuser.h"

namespace listing {

// One row of the listing by token.
struct TokenRow {
    const char *raw_id;
    const char *server_name;
    int server_port;
    const char *name;
    const char *other_info;
};

// Prints the rows of the listing by token, the header before the first.
class TokenRows {
public:
    explicit TokenRows(int format) : format_(format) {}
    // False, after the error message and log line, for an unknown format.
    bool print(const TokenRow &row);
    int count() const { return count_; }

private:
    int format_;
    int count_ = 0;
};

// Tokens and users counted by the listing by name.
struct NameCounts {
    int tokens = 0;
    int users = 0;
};

// Prints one row of the listing by name, the header before the first row.
void print_name_row(const TokenRow &row, int format, NameCounts &counts);

// The log line for a logical token of a user that cannot be read.
void report_unreadable_logical_token(const char *lt_id);

// What a fast listing did: printed every row, met an unknown format after
// printing (as the reference does), could not read a container in a way
// the per-token walk could get past (it then printed nothing and the walk
// must run instead), or could not read one because the server stopped
// answering or went away, which would stop the walk just the same (it then
// printed nothing and the listing fails as the walk's search would).
enum class Fast { kDone, kBadFormat, kUnavailable, kFailed };

// The rows of the listing by token for raw tokens matching `filter` (as
// passed to the iterator), each container read once.
Fast fast_rows_by_token(AdminConfig *connection, const char *filter, TokenRows &rows);
// The rows of the listing by name for users matching `filter` (null: all).
Fast fast_rows_by_name(AdminConfig *connection, const char *filter, int format, NameCounts &counts);

// The listings as the per-token walk makes them; list_users_by_id and
// list_users_by_name print exactly the same, only faster.
int list_users_by_id_reference(AdminConfig *connection, const char *substring, int format);
int list_users_by_name_reference(AdminConfig *connection, const char *substring, int format);
// The listing of logins with one directory lookup per row for its user and
// its desktop; list_current_users prints exactly the same.
int list_current_users_reference(AdminConfig *connection, int format);

// ------------------------------------------ answering lookups in memory

// Texts read from the directory, each copied once and kept for the life of
// a listing: blocks of 1 MiB (a longer text gets one of its own), so that
// nothing is moved once kept.
class TextArena {
public:
    // A NUL-terminated copy of `text`.
    const char *keep(std::string_view text);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char *next_ = nullptr;
    size_t left_ = 0;
};

// Which entries list an ID, for IDs compared as the directory compares
// them (case-ignoring IA5 equality: ASCII case ignored, leading and
// trailing blanks dropped, an inner run of blanks as one blank), answered
// as an equality search in single mode answers: one entry, or none when no
// entry or several list the ID.
class ClaimIndex {
public:
    explicit ClaimIndex(TextArena &arena) : arena_(&arena) {}
    // Records that entry `entry` lists `id`.
    void add(std::string_view id, uint32_t entry);
    // Takes back the claims of `entry`, the last one added.
    void drop(uint32_t entry) {
        while (!claims_.empty() && claims_.back().entry == entry) claims_.pop_back();
    }
    void clear() { claims_.clear(); }
    // Orders the claims for lookups (an entry listing an ID twice is one
    // match, as for the server); called once after the last add().
    void finish();
    // The single entry listing `id`; -1 when none does, -2 when several do.
    int64_t single(std::string_view id) const;
    size_t size() const { return claims_.size(); }

private:
    struct Claim {
        const char *key;
        uint32_t hash;
        uint32_t entry;
    };
    TextArena *arena_;
    std::deque<Claim> claims_;  // grows without a copy
    mutable std::string scratch_;
};

// Calls take(attribute, values) for each attribute of `entry` in one walk
// over it; the values (a null-terminated array, not NUL-terminated texts)
// are borrowed from the entry for the call.  Returns the entry's DN as
// the entry holds it (empty when the entry cannot be read).
std::string_view walk_attributes(LDAP *ld, LDAPMessage *entry,
                                 const std::function<void(std::string_view, berval *)> &take);

// Which of the null-terminated attribute names `asked` the attribute
// `attr` of an entry is (ASCII case ignored); -1 for none.
int attribute_slot(std::string_view attr, const char *const *asked);

// The single entry of `index` listing `id`, as a lookup in single mode
// finds it: several matches are logged as that search logs them.
int64_t single_logged(const ClaimIndex &index, std::string_view id);

// True when the per-row lookups of the logical tokens and users could be
// asked at all: their search bases fit the buffers they are built in.
bool lookups_fit(const AdminConfig *conn);

// ------------------------------------------------------------- logins

// How the listing of logins finds the user name and the desktop location
// of a login, each as shown ("???" when there is none).  Each lookup writes
// the log lines its directory search would write.
class LoginLookups {
public:
    virtual ~LoginLookups() = default;
    virtual std::string user_name(const char *token_id) = 0;
    virtual std::string location(const char *terminal_id) = 0;
};

// When the bulk reads take a container whole, and how they search for IDs.
struct BulkTuning {
    // A container is read whole while it holds at most this many entries
    // per ID asked; past that, searching for the IDs costs the server less.
    size_t entries_per_id = 4;
    // IDs per OR filter, and OR searches in flight at once.
    size_t ids_per_filter = 100;
    size_t in_flight = 8;
};

// The lookups of the logins `rows` answered from a few bulk reads (whole
// containers, or the IDs asked with OR filters); `locations` false when
// no desktop is looked up.  Null when the bulk reads cannot be used (a
// read failed): the per-row lookups must run.
std::unique_ptr<LoginLookups> bulk_login_lookups(AdminConfig *connection, const std::vector<const CurrentEntry *> &rows,
                                                 bool locations, const BulkTuning &tuning = {});

// The listing of logins through bulk_login_lookups with `tuning`;
// list_current_users is this with the default tuning.
int list_current_users_bulk(AdminConfig *connection, int format, const BulkTuning &tuning);

}  // namespace listing

#endif  // ZTUSER_LISTINGS_H
