// listings.h - what the listings by token and by name share between the
// per-token walk (the reference: one iterator plus lookups per row) and the
// fast path that reads each container once and joins in memory.
#ifndef ZTUSER_LISTINGS_H
#define ZTUSER_LISTINGS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"
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
    std::vector<Claim> claims_;
    mutable std::string scratch_;
};

// Calls take(attribute, values) for each attribute of `entry` in one walk
// over it; the values (a null-terminated array, not NUL-terminated texts)
// are borrowed from the entry for the call.
void walk_attributes(LDAP *ld, LDAPMessage *entry, const std::function<void(std::string_view, berval *)> &take);

// The single entry of `index` listing `id`, as a lookup in single mode
// finds it: several matches are logged as that search logs them.
int64_t single_logged(const ClaimIndex &index, std::string_view id);

// True when the per-row lookups of the logical tokens and users could be
// asked at all: their search bases fit the buffers they are built in.
bool lookups_fit(const AdminConfig *conn);

}  // namespace listing

#endif  // ZTUSER_LISTINGS_H
