// listings.h - what the listings by token and by name share between the
// per-token walk (the reference: one iterator plus lookups per row) and the
// fast path that reads each container once and joins in memory.
#ifndef ZTUSER_LISTINGS_H
#define ZTUSER_LISTINGS_H

#include <string>

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
// printing (as the reference does), or could not read a container (it then
// printed nothing and the per-token walk must run instead).
enum class Fast { kDone, kBadFormat, kUnavailable };

// The rows of the listing by token for raw tokens matching `filter` (as
// passed to the iterator), each container read once.
Fast fast_rows_by_token(AdminConfig *connection, const char *filter, TokenRows &rows);
// The rows of the listing by name for users matching `filter` (null: all).
Fast fast_rows_by_name(AdminConfig *connection, const char *filter, int format, NameCounts &counts);

// The listings as the per-token walk makes them; list_users_by_id and
// list_users_by_name print exactly the same, only faster.
int list_users_by_id_reference(AdminConfig *connection, const char *substring, int format);
int list_users_by_name_reference(AdminConfig *connection, const char *substring, int format);

}  // namespace listing

#endif  // ZTUSER_LISTINGS_H
