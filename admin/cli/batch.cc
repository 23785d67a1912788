// SPDX-License-Identifier: GPL-3.0-or-later
// batch.cc - add, edit and delete users from comma-delimited files, one
// user per line; a bad line is reported, skipped and counted.
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "owned.h"
#include "ztuser.h"

using cli::Args;
using cli::CString;
using cli::RawTokenList;

namespace {

// Line buffers of the three operations: a line must end (line feed
// included) before its buffer is full.
constexpr size_t kAddLineBuffer = 1024;
constexpr size_t kEditLineBuffer = 128;
constexpr size_t kDeleteLineBuffer = 1024;

enum class LineRead { kLine, kEnd, kTooLong };

// Reads one line without its line feed.  A line that fills `buffer_size`-1
// bytes without reaching its line feed is too long.
LineRead read_line(FILE *file, size_t buffer_size, std::string &line) {
    line.clear();
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\n') return LineRead::kLine;
        line.push_back(static_cast<char>(c));
        if (line.size() >= buffer_size - 1) return LineRead::kTooLong;
    }
    return line.empty() ? LineRead::kEnd : LineRead::kLine;
}

// A carriage return right before the line feed (or at the end of a last
// line without one) is the line end of a file saved on Windows, not data.
void drop_carriage_return(std::string &line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

// Walks the lines of a batch file, calling handle(line_text, number) for
// each.  handle returns false to stop early.  Returns -1 when the file
// cannot be opened or a line is too long.
template <typename Handler>
int for_each_line(const char *file_name, size_t buffer_size, Handler handle) {
    zt::FilePtr file(std::fopen(file_name, "r"));
    if (!file) {
        std::fprintf(stderr, "Error: could not open file '%s' for reading.\n", file_name);
        return -1;
    }
    std::string line;
    for (int number = 1;; ++number) {
        LineRead state = read_line(file.get(), buffer_size, line);
        if (state == LineRead::kEnd) break;
        if (state == LineRead::kTooLong) {
            std::fprintf(stderr, "Error: Line '%d' in file '%s' too long\n", number, file_name);
            return -1;
        }
        drop_carriage_return(line);
        if (!handle(line, number)) break;
    }
    return 0;
}

// Reads an operator's answer: one line, its first 4 characters.  The end
// of input counts as "no", so that a closed input never retries forever.
bool answer_is_no() {
    std::string answer;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (answer.size() < 4) answer.push_back(static_cast<char>(c));
    }
    if (c == EOF && answer.empty()) return true;
    return answer == "no" || answer == "n";
}

// Typed-ahead input on a terminal is not an answer to a prompt not yet
// shown: what the terminal still holds, and the rest of a line the reader
// prompt has already buffered (it takes only the first character), are
// dropped.  Piped or redirected input is a script of answers and is kept.
void discard_waiting_terminal_input() {
    if (!isatty(STDIN_FILENO)) return;
    __fpurge(stdin);
    tcflush(STDIN_FILENO, TCIFLUSH);
}

// A user description split into its parts (fields borrowed from `args`).
struct Description {
    RawTokenList tokens;
    const char *server = nullptr;
    int port = 0;
    const char *name = nullptr;
    const char *other_info = nullptr;
};

// Number of leading token IDs: the port is field n-3 (with other
// information) or n-2 (without); -1 when neither is a positive number.
int leading_token_count(char **fields, int n) {
    if (validate_port(std::atoi(fields[n - 3]), nullptr) == 0) return n - 4;
    if (validate_port(std::atoi(fields[n - 2]), nullptr) == 0) return n - 3;
    return -1;
}

Description describe(char **fields, int token_count) {
    Description d;
    RawTokenIdNode *list = nullptr;
    for (int i = 0; i < token_count; ++i) add_to_raw_token_id_list(&list, fields[i]);
    d.tokens.reset(list);
    d.server = fields[token_count];
    d.port = std::atoi(fields[token_count + 1]);
    d.name = fields[token_count + 2];
    d.other_info = fields[token_count + 3];
    return d;
}

// A line holding a NUL byte is an invalid line: as text it would end at
// the NUL and be carried out without the rest.
bool holds_nul(const std::string &line, int number) {
    if (line.find('\0') == std::string::npos) return false;
    std::fprintf(stderr, "Error: line %d is not complete....skipping\n", number);
    return true;
}

// The outcome of reading the primary token of a batch-add line.
struct PrimaryToken {
    CString id;
    bool stop_batch = false;
};

// A token from the reader, unless it is in use; `invalid` when the syntax
// rule of a typed token ID refuses it (the reader's ID comes from the
// network), which skips the line.
CString read_unused_token(AdminConfig *connection, const char *reader_id, const char *name, int number,
                          bool &invalid) {
    CString token(get_token_id(connection, reader_id, name));
    if (token && !legal_raw_token_id(token.get())) {
        std::fprintf(stderr, "Error: line %d has invalid  token ID specification....skipping\n", number);
        invalid = true;
        token.reset();
    } else if (token && zt_raw_and_logical_tokens_exist(connection, token.get()) == 1) {
        std::fprintf(stderr, "Error: Token '%s' is already in the administration database.\n", token.get());
        token.reset();
    }
    return token;
}

PrimaryToken read_primary_from_reader(AdminConfig *connection, const char *reader_id, const char *name,
                                      int number) {
    PrimaryToken primary;
    if (reader_id == nullptr) {
        std::fprintf(stderr, "Error: line %d: No token reader specified....skipping\n", number);
        return primary;
    }
    for (bool invalid = false;;) {
        primary.id = read_unused_token(connection, reader_id, name, number, invalid);
        if (primary.id || invalid) return primary;
        std::fputs("Try again? (yes/no) ", stderr);
        discard_waiting_terminal_input();
        if (answer_is_no()) break;
    }
    std::fprintf(stderr, "Skipping line %d...\n", number);
    std::fputs("Continue with batch add? (yes/no) ", stderr);
    primary.stop_batch = answer_is_no();
    return primary;
}

struct AddCounts {
    int added = 0;
    int skipped = 0;
};

// Handles one batch-add line; returns false when the run must stop.
bool add_line(AdminConfig *connection, const std::string &line, int number, const char *reader_id,
              AddCounts &counts) {
    if (holds_nul(line, number)) {
        ++counts.skipped;
        return true;
    }
    Args fields(parse_args(line.c_str(), ','));
    int n = count_args(fields.get());
    if (n < 4) {
        std::fprintf(stderr, "Error: line %d is not complete....skipping\n", number);
        ++counts.skipped;
        return true;
    }
    int token_count = leading_token_count(fields.get(), n);
    if (token_count < 0) {
        std::printf("Invalid data line %d\n", number);
        std::printf("Skipping......\n");
        ++counts.skipped;
        return true;
    }
    if (token_count == 0) {
        std::fprintf(stderr, "Error: line %d: missing either token ID or server name....skipping\n", number);
        ++counts.skipped;
        return true;
    }
    Description d = describe(fields.get(), token_count);
    if (validate_user_data(connection, d.server, d.port, d.name, number) != 0) {
        ++counts.skipped;
        return true;
    }
    const char *first = d.tokens->id;
    if (zt_raw_and_logical_tokens_exist(connection, first) == 1) {
        std::fprintf(stderr, "Error: line %d: Token '%s' is already in the adminstration database....skipping\n",
                     number, first);
        ++counts.skipped;
        return true;
    }
    CString primary;
    if (std::strcmp(first, "x") == 0) {
        PrimaryToken read = read_primary_from_reader(connection, reader_id, d.name, number);
        if (!read.id) {
            ++counts.skipped;
            return !read.stop_batch;
        }
        primary = std::move(read.id);
    } else if (!legal_raw_token_id(first)) {
        std::fprintf(stderr, "Error: line %d has invalid  token ID specification....skipping\n", number);
        ++counts.skipped;
        return true;
    } else {
        primary.reset(safe_strdup(first));
    }
    CString user_id(add_simple_user2(connection, primary.get(), d.server, d.port, d.name, d.other_info));
    if (!user_id) {
        std::fprintf(stderr, "Internal Error: line %d: could not add user\n", number);
        ++counts.skipped;
        return true;
    }
    for (RawTokenIdNode *node = d.tokens->next; node != nullptr; node = node->next) {
        add_id_to_user(connection, primary.get(), node->id, reader_id, 1);
    }
    ++counts.added;
    std::fprintf(stderr, "Added %s\n", d.name);
    return true;
}

struct EditCounts {
    int modified = 0;
    int unchanged = 0;
    int skipped = 0;
};

void edit_line(AdminConfig *connection, const std::string &line, int number, EditCounts &counts) {
    if (holds_nul(line, number)) {
        ++counts.skipped;
        return;
    }
    Args fields(parse_args(line.c_str(), ','));
    int n = count_args(fields.get());
    if (n != 4 && n != 5) {
        std::fprintf(stderr, "Error: line %d is not complete....skipping\n", number);
        ++counts.skipped;
        return;
    }
    char **f = fields.get();
    const char *token_id = f[0];
    int port = std::atoi(f[2]);
    if (validate_user_data(connection, f[1], port, f[3], number) != 0) {
        ++counts.skipped;
        return;
    }
    if (raw_token_exists(connection, token_id) != 1) {
        std::fprintf(stderr, "Error: line %d: Token ID '%s' not in admin database\n", number, token_id);
        ++counts.skipped;
        return;
    }
    int status = edit_simple_user(connection, token_id, f[1], port, f[3], f[4]);
    if (status == 0) {
        std::fprintf(stderr, "Modified %s\n", f[3]);
        ++counts.modified;
    } else if (status == ADMIN_ERR_NO_CHANGE) {
        std::fprintf(stderr, "No modifications necessary for %s.\n", f[3]);
        ++counts.unchanged;
    } else if (status == -1) {
        std::fprintf(stderr, "Internal Error: line %d: could not modify user\n", number);
        ++counts.skipped;
    } else {
        zt::dprintf("Internal Error: Edit user line %d failed with unknown error\n", number);
        std::fprintf(stderr, "Internal Error: Edit user line %d failed with unknown error\n", number);
        ++counts.skipped;
    }
}

struct DeleteCounts {
    int deleted = 0;
    int skipped = 0;
};

void delete_line(AdminConfig *connection, const std::string &line, int number, DeleteCounts &counts) {
    if (holds_nul(line, number)) {
        ++counts.skipped;
        return;
    }
    Args fields(parse_args(line.c_str(), ','));
    const char *token_id = fields.get()[0];
    const char *problem = nullptr;
    if (*token_id == '\0') {
        problem = "Error: line %d: No token ID specified....skipping\n";
    } else if (std::strchr(token_id, '*') != nullptr) {
        problem = "Error: line %d: Wildcard is not supported....skipping\n";
    } else {
        int status = delete_simple_user(connection, token_id);
        if (status == 0) {
            std::fprintf(stderr, "Deleted %s\n", token_id);
            ++counts.deleted;
            return;
        }
        problem = status == ADMIN_ERR_NOT_FOUND ? "Error: line %d: User not found.\n"
                                                : "Internal Error: line %d: could not modify user\n";
    }
    std::fprintf(stderr, problem, number);
    ++counts.skipped;
}

}  // namespace

int add_user_batch(AdminConfig *connection, const char *file_name, const char *reader_id) {
    AddCounts counts;
    int status = for_each_line(file_name, kAddLineBuffer, [&](const std::string &line, int number) {
        return add_line(connection, line, number, reader_id, counts);
    });
    if (status != 0) return status;
    std::fprintf(stderr, "\n%d user%s added, %d line%s skipped due to errors.\n", counts.added,
                 plural(counts.added), counts.skipped, plural(counts.skipped));
    return 0;
}

int edit_user_batch(AdminConfig *connection, const char *file_name) {
    EditCounts counts;
    int status = for_each_line(file_name, kEditLineBuffer, [&](const std::string &line, int number) {
        edit_line(connection, line, number, counts);
        return true;
    });
    if (status != 0) return status;
    std::fputs("\n", stderr);
    std::fprintf(stderr, "%d user%s modified\n", counts.modified, plural(counts.modified));
    if (counts.unchanged > 0) {
        std::fprintf(stderr, "%d user%s did not require changes\n", counts.unchanged, plural(counts.unchanged));
    }
    if (counts.skipped > 0) {
        std::fprintf(stderr, "%d user%s skipped due to errors\n", counts.skipped, plural(counts.skipped));
    }
    return 0;
}

int delete_user_batch(AdminConfig *connection, const char *file_name) {
    DeleteCounts counts;
    int status = for_each_line(file_name, kDeleteLineBuffer, [&](const std::string &line, int number) {
        delete_line(connection, line, number, counts);
        return true;
    });
    if (status != 0) return status;
    std::fputs("\n", stderr);
    std::fprintf(stderr, "%d user%s deleted\n", counts.deleted, plural(counts.deleted));
    if (counts.skipped > 0) {
        std::fprintf(stderr, "%d user%s skipped due to errors\n", counts.skipped, plural(counts.skipped));
    }
    return 0;
}
