// SPDX-License-Identifier: GPL-3.0-or-later
// listings.cc - the user listings by token and by name, in short, long and
// comma-delimited form.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "listings.h"
#include "owned.h"
#include "records_common.h"
#include "ztuser.h"

using cli::CString;
using cli::LogicalTokenPtr;
using cli::RawTokenPtr;
using cli::UserPtr;

namespace {

// The search filters must fit a buffer with room for 228 characters.
constexpr size_t kMaxFilterLength = 228;

struct IteratorDeleter {
    AdminConfig *connection;
    void operator()(AdminIterator *it) const { finish_iterator(connection, it); }
};
using Iterator = std::unique_ptr<AdminIterator, IteratorDeleter>;

// The filter for a substring search on `attribute`, written with the
// substring as typed to check its length, and built with the substring
// escaped so that its '*', '(' and ')' are matched literally.
struct SubstringFilter {
    std::string as_typed;
    std::string escaped;
};

SubstringFilter substring_filter(const char *prefix, const char *substring, const char *suffix) {
    SubstringFilter f;
    f.as_typed = std::string(prefix) + substring + suffix;
    f.escaped = std::string(prefix) + zt::filter_escape(substring) + suffix;
    return f;
}

std::string csv_field(const char *text) {
    if (text == nullptr) return "";
    CString escaped(escape(shown(text).c_str(), ','));
    return p(escaped.get());
}

// Walks the raw tokens of a started iterator, looking up each one's logical
// token and user; false after an unknown format.
bool print_rows_by_token(AdminConfig *connection, AdminIterator *it, listing::TokenRows &rows) {
    for (RawTokenPtr rt(get_next_raw_token(connection, it)); rt; rt.reset(get_next_raw_token(connection, it))) {
        LogicalTokenPtr lt(raw_token_id_to_logical_token(connection, rt->id));
        if (!lt) continue;
        UserPtr user(logical_token_id_to_user(connection, lt->id));
        if (!user) continue;
        if (!rows.print({rt->id, lt->server_name, lt->server_port, user->name, user->other_info})) return false;
    }
    return true;
}

void print_rows_of_user(AdminConfig *connection, const User *user, int format, listing::NameCounts &counts) {
    for (char **lt_id = user->logical_token_ids; lt_id != nullptr && *lt_id != nullptr; ++lt_id) {
        LogicalTokenPtr lt(get_logical_token(connection, *lt_id));
        if (!lt) {
            listing::report_unreadable_logical_token(*lt_id);
            continue;
        }
        for (char **rt_id = lt->raw_token_ids; rt_id != nullptr && *rt_id != nullptr; ++rt_id) {
            listing::print_name_row({*rt_id, lt->server_name, lt->server_port, user->name, user->other_info}, format,
                                    counts);
        }
    }
}

// The filter of the listing by token, or nothing after its error message.
std::optional<std::string> token_filter(const char *substring) {
    SubstringFilter filter{"(zttokentype=user)", "(zttokentype=user)"};
    if (substring != nullptr) filter = substring_filter("(zttokentype=user)(ztid=*", substring, "*)");
    if (filter.as_typed.size() > kMaxFilterLength) {
        std::fputs("Internal Error: Problem constructing search filter for ztuser -li operation. "
                   "Filter string too long\n",
                   stderr);
        zt::dprintf("Internal Error: Problem constructing search filter for ztuser -li operation");
        return std::nullopt;
    }
    return filter.escaped;
}

// What a listing says when the search of its iterator failed: the
// search's own error (as start_iterator prints it, from the session's last
// error), then `message` and `log_line`.
void report_failed_search(AdminConfig *connection, bool search_reported, const char *message, const char *log_line) {
    if (!search_reported) ldap_perror(connection->session, "ldap_search_s() failed");
    std::fputs(message, stderr);
    zt::dprintf("%s", log_line);
}

void report_no_token_list(AdminConfig *connection, bool search_reported) {
    report_failed_search(connection, search_reported,
                         "Internal error: could not get user list from administration server.\n",
                         "Internal Error: could not start iterator\n");
}

void report_no_name_list(AdminConfig *connection, bool search_reported) {
    report_failed_search(connection, search_reported, "Internal Error: Could not get list from administration server\n",
                         "Internal Error: Could not start iterator\n");
}

// The rows of the listing by token through the iterator; false after a
// failure (reported).
bool per_token_rows(AdminConfig *connection, const std::string &filter, listing::TokenRows &rows) {
    Iterator it(start_iterator(connection, ITERATOR_RAW_TOKENS, filter.c_str(), "ztid"), IteratorDeleter{connection});
    if (!it) {
        report_no_token_list(connection, true);
        return false;
    }
    return print_rows_by_token(connection, it.get(), rows);
}

int list_by_token(AdminConfig *connection, const char *substring, int format, bool fast) {
    std::optional<std::string> filter = token_filter(substring);
    if (!filter) return -1;
    listing::TokenRows rows(format);
    listing::Fast done = fast ? listing::fast_rows_by_token(connection, filter->c_str(), rows)
                              : listing::Fast::kUnavailable;
    if (done == listing::Fast::kBadFormat) return -1;
    if (done == listing::Fast::kFailed) {
        report_no_token_list(connection, false);
        return -1;
    }
    if (done == listing::Fast::kUnavailable && !per_token_rows(connection, *filter, rows)) return -1;
    if (format == FORMAT_CSV) return 0;
    std::printf("\n");
    std::printf("%d token%s total.\n", rows.count(), plural(rows.count()));
    return 0;
}

// The filter of the listing by name (empty for none), or nothing after
// its error message.
std::optional<std::string> name_filter(const char *substring) {
    if (substring == nullptr) return std::string();
    SubstringFilter filter = substring_filter("ztName=*", substring, "*");
    if (filter.as_typed.size() > kMaxFilterLength) {
        std::fputs("Internal Error: Search Buffer Overflow\n", stderr);
        zt::dprintf("Internal Error: Search Buffer Overflow\n");
        return std::nullopt;
    }
    return filter.escaped;
}

// The rows of the listing by name through the iterator; false after a
// failure (reported).
bool per_user_rows(AdminConfig *connection, const char *filter, int format, listing::NameCounts &counts) {
    Iterator it(start_iterator(connection, ITERATOR_USERS, filter, "ztname"), IteratorDeleter{connection});
    if (!it) {
        report_no_name_list(connection, true);
        return false;
    }
    for (UserPtr user(get_next_user(connection, it.get())); user; user.reset(get_next_user(connection, it.get()))) {
        ++counts.users;
        print_rows_of_user(connection, user.get(), format, counts);
    }
    return true;
}

int list_by_name(AdminConfig *connection, const char *substring, int format, bool fast) {
    std::optional<std::string> filter = name_filter(substring);
    if (!filter) return -1;
    const char *f = substring != nullptr ? filter->c_str() : nullptr;
    listing::NameCounts counts;
    listing::Fast done = fast ? listing::fast_rows_by_name(connection, f, format, counts)
                              : listing::Fast::kUnavailable;
    if (done == listing::Fast::kFailed) {
        report_no_name_list(connection, false);
        return -1;
    }
    if (done == listing::Fast::kUnavailable && !per_user_rows(connection, f, format, counts)) return -1;
    std::printf("\n");
    std::printf("%d token%s, %d user%s total.\n", counts.tokens, plural(counts.tokens), counts.users,
                plural(counts.users));
    return 0;
}

}  // namespace

std::string shown(const char *value) { return value != nullptr ? zt::terminal_text(value) : ""; }

void print_headers(int kind, int format) {
    const std::string d30(30, '-'), d15(15, '-'), d5(5, '-'), d20(20, '-');
    if (kind == HEADER_BY_NAME || kind == HEADER_BY_ID) {
        if (format == FORMAT_SHORT) {
            std::printf("\n%-30s %-30s %-15s\n%-30s %-30s %-15s\n", "Token ID", "User Name", "Other Info",
                        d30.c_str(), d30.c_str(), d15.c_str());
        } else if (format == FORMAT_LONG) {
            std::printf("\n%-30s %-15s %-5s %-30s %s\n%-30s %-15s %-5s %-30s %s\n", "Token ID", "Server", "Port",
                        "User Name", "Other Info", d30.c_str(), d15.c_str(), d5.c_str(), d30.c_str(), d15.c_str());
        }
    } else if (kind == LIST_CURRENT) {
        if (format == FORMAT_SHORT) {
            std::printf("\n%-30s %-30s %-15s\n%-30s %-30s %-15s\n", "Token ID", "User Name", "Desktop ID",
                        d30.c_str(), d30.c_str(), d15.c_str());
        } else if (format == FORMAT_LONG) {
            std::printf("\n%-30s %-30s %-15s %s\n%-30s %-30s %-15s %s\n", "Token ID", "User Name", "Desktop ID",
                        "Desktop Location", d30.c_str(), d30.c_str(), d15.c_str(), d20.c_str());
        } else if (format == LIST_GLOBAL) {
            std::printf("\n%-30s %-30s %-30s\n%-30s %-30s %-30s\n", "Token ID", "Server Name", "User Name",
                        d30.c_str(), d30.c_str(), d30.c_str());
        }
    }
}

namespace listing {

bool TokenRows::print(const TokenRow &row) {
    if (count_++ == 0) print_headers(HEADER_BY_ID, format_);
    std::string id = shown(row.raw_id), server = shown(row.server_name);
    switch (format_) {
        case FORMAT_SHORT:
            std::printf("%-30s %-30s %-15s\n", id.c_str(), shown(row.name).c_str(), shown(row.other_info).c_str());
            return true;
        case FORMAT_LONG:
            std::printf("%-30s %-15s %5d %-30s %s\n", id.c_str(), server.c_str(), row.server_port,
                        shown(row.name).c_str(), shown(row.other_info).c_str());
            return true;
        case FORMAT_CSV:
            std::printf("%s,%s,%d,%s,%s\n", id.c_str(), server.c_str(), row.server_port, csv_field(row.name).c_str(),
                        csv_field(row.other_info).c_str());
            return true;
        default:
            std::fputs("Internal Error: Invalid list format specified for user search\n", stderr);
            zt::dprintf("Internal Error: Invalid list format specified for user search\n");
            return false;
    }
}

void print_name_row(const TokenRow &row, int format, NameCounts &counts) {
    if (counts.tokens++ == 0) print_headers(HEADER_BY_NAME, format);
    std::string id = shown(row.raw_id), name = shown(row.name), other_info = shown(row.other_info);
    if (format == FORMAT_LONG) {
        std::printf("%-30s %-15s %-5d %-30s %s\n", id.c_str(), shown(row.server_name).c_str(), row.server_port,
                    name.c_str(), other_info.c_str());
    } else {
        std::printf("%-30s %-30s %-15s\n", id.c_str(), name.c_str(), other_info.c_str());
    }
}

void report_unreadable_logical_token(const char *lt_id) {
    zt::dprintf("Internal Error: could not get logical token '%s'\n", lt_id);
}

int list_users_by_id_reference(AdminConfig *connection, const char *substring, int format) {
    return list_by_token(connection, substring, format, false);
}

int list_users_by_name_reference(AdminConfig *connection, const char *substring, int format) {
    return list_by_name(connection, substring, format, false);
}

}  // namespace listing

int list_users_by_id(AdminConfig *connection, const char *substring, int format) {
    return list_by_token(connection, substring, format, true);
}

int list_users_by_name(AdminConfig *connection, const char *substring, int format) {
    return list_by_name(connection, substring, format, true);
}
