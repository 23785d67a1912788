// listings.cc - the user listings by token and by name, in short, long and
// comma-delimited form.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

const char *plural(int count) { return count == 1 ? "" : "s"; }

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
    CString escaped(escape(text, ','));
    return p(escaped.get());
}

// Prints one row of the listing by token; false for an unknown format.
bool print_token_row(const RawToken *rt, const LogicalToken *lt, const User *user, int format) {
    switch (format) {
        case FORMAT_SHORT:
            std::printf("%-30s %-30s %-15s\n", rt->id, p(user->name), p(user->other_info));
            return true;
        case FORMAT_LONG:
            std::printf("%-30s %-15s %5d %-30s %s\n", rt->id, p(lt->server_name), lt->server_port, p(user->name),
                        p(user->other_info));
            return true;
        case FORMAT_CSV:
            std::printf("%s,%s,%d,%s,%s\n", rt->id, p(lt->server_name), lt->server_port,
                        csv_field(user->name).c_str(), csv_field(user->other_info).c_str());
            return true;
        default:
            return false;
    }
}

// Walks the raw tokens of a started iterator; returns the number of rows
// printed, or -1 for an unknown format.
int print_rows_by_token(AdminConfig *connection, AdminIterator *it, int format) {
    int count = 0;
    for (RawTokenPtr rt(get_next_raw_token(connection, it)); rt; rt.reset(get_next_raw_token(connection, it))) {
        LogicalTokenPtr lt(raw_token_id_to_logical_token(connection, rt->id));
        if (!lt) continue;
        UserPtr user(logical_token_id_to_user(connection, lt->id));
        if (!user) continue;
        if (count++ == 0) print_headers(HEADER_BY_ID, format);
        if (!print_token_row(rt.get(), lt.get(), user.get(), format)) {
            std::fputs("Internal Error: Invalid list format specified for user search\n", stderr);
            zt::dprintf("Internal Error: Invalid list format specified for user search\n");
            return -1;
        }
    }
    return count;
}

struct NameCounts {
    int tokens = 0;
    int users = 0;
};

void print_rows_of_user(AdminConfig *connection, const User *user, int format, NameCounts &counts) {
    for (char **lt_id = user->logical_token_ids; lt_id != nullptr && *lt_id != nullptr; ++lt_id) {
        LogicalTokenPtr lt(get_logical_token(connection, *lt_id));
        if (!lt) {
            zt::dprintf("Internal Error: could not get logical token '%s'\n", *lt_id);
            continue;
        }
        for (char **rt_id = lt->raw_token_ids; rt_id != nullptr && *rt_id != nullptr; ++rt_id) {
            if (counts.tokens++ == 0) print_headers(HEADER_BY_NAME, format);
            if (format == FORMAT_LONG) {
                std::printf("%-30s %-15s %-5d %-30s %s\n", *rt_id, p(lt->server_name), lt->server_port,
                            p(user->name), p(user->other_info));
            } else {
                std::printf("%-30s %-30s %-15s\n", *rt_id, p(user->name), p(user->other_info));
            }
        }
    }
}

}  // namespace

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

int list_users_by_id(AdminConfig *connection, const char *substring, int format) {
    SubstringFilter filter{"(zttokentype=user)", "(zttokentype=user)"};
    if (substring != nullptr) filter = substring_filter("(zttokentype=user)(ztid=*", substring, "*)");
    if (filter.as_typed.size() > kMaxFilterLength) {
        std::fputs("Internal Error: Problem constructing search filter for ztuser -li operation. "
                   "Filter string too long\n",
                   stderr);
        zt::dprintf("Internal Error: Problem constructing search filter for ztuser -li operation");
        return -1;
    }
    Iterator it(start_iterator(connection, ITERATOR_RAW_TOKENS, filter.escaped.c_str(), "ztid"),
                IteratorDeleter{connection});
    if (!it) {
        std::fputs("Internal error: could not get user list from administration server.\n", stderr);
        zt::dprintf("Internal Error: could not start iterator\n");
        return -1;
    }
    int count = print_rows_by_token(connection, it.get(), format);
    if (count < 0) return -1;
    it.reset();
    if (format == FORMAT_CSV) return 0;
    std::printf("\n");
    std::printf("%d token%s total.\n", count, plural(count));
    return 0;
}

int list_users_by_name(AdminConfig *connection, const char *substring, int format) {
    SubstringFilter filter;
    if (substring != nullptr) {
        filter = substring_filter("ztName=*", substring, "*");
        if (filter.as_typed.size() > kMaxFilterLength) {
            std::fputs("Internal Error: Search Buffer Overflow\n", stderr);
            zt::dprintf("Internal Error: Search Buffer Overflow\n");
            return -1;
        }
    }
    Iterator it(start_iterator(connection, ITERATOR_USERS, substring ? filter.escaped.c_str() : nullptr, "ztname"),
                IteratorDeleter{connection});
    if (!it) {
        std::fputs("Internal Error: Could not get list from administration server\n", stderr);
        zt::dprintf("Internal Error: Could not start iterator\n");
        return -1;
    }
    NameCounts counts;
    for (UserPtr user(get_next_user(connection, it.get())); user; user.reset(get_next_user(connection, it.get()))) {
        ++counts.users;
        print_rows_of_user(connection, user.get(), format, counts);
    }
    it.reset();
    std::printf("\n");
    std::printf("%d token%s, %d user%s total.\n", counts.tokens, plural(counts.tokens), counts.users,
                plural(counts.users));
    return 0;
}
