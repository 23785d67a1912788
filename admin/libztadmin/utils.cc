// SPDX-License-Identifier: GPL-3.0-or-later
// utils.cc - allocation that never fails, string helpers, time texts,
// environment access and the debug switch shared by the command and the
// library.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"
#include "utils.h"

namespace {

// Copy of the debug options ("admin.debug"); absent until set_gdebug().
char *gdebug_string = nullptr;

bool is_trim_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool is_ascii_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }

// A new copy of `s` without the leading and trailing characters for which
// `strip` holds; absent when nothing is left.
template <typename Pred>
char *strip_both_ends(const char *s, Pred strip) {
    if (s == nullptr) return nullptr;
    std::string_view text(s);
    size_t begin = 0;
    while (begin < text.size() && strip(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && strip(text[end - 1])) --end;
    if (begin == end) return nullptr;
    return zt::dup_c(text.substr(begin, end - begin));
}

// Local time of `t` formatted by strftime into a buffer of `size` bytes;
// an empty text when the time cannot be converted or does not fit.
char *format_local_time(time_t t, const char *pattern, size_t size) {
    std::string buffer(size, '\0');
    struct tm parts {};
    size_t length = 0;
    if (localtime_r(&t, &parts) != nullptr) length = std::strftime(buffer.data(), size, pattern, &parts);
    return zt::dup_c(std::string_view(buffer.data(), length));
}

std::string lowered(const char *s) {
    std::string copy(s);
    for (char &c : copy) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return copy;
}

}  // namespace

int suppress_output = 0;

extern "C" {

void *safe_malloc(int size) {
    void *mem = size >= 0 ? std::calloc(1, size > 0 ? static_cast<size_t>(size) : 1) : nullptr;
    if (mem == nullptr) {
        std::fprintf(stderr, "Could not malloc %d bytes\n", size);
        std::exit(1);
    }
    return mem;
}

void *safe_calloc(int count, int size) {
    void *mem = nullptr;
    if (count >= 0 && size >= 0) {
        mem = std::calloc(count > 0 ? static_cast<size_t>(count) : 1, size > 0 ? static_cast<size_t>(size) : 1);
    }
    if (mem == nullptr) {
        std::fprintf(stderr, "Could not calloc %d elements of %d bytes\n", count, size);
        std::exit(1);
    }
    return mem;
}

char *safe_strdup(const char *s) { return s == nullptr ? nullptr : zt::dup_c(s); }

// Both absent: equal; an absent string sorts after every present one.
int safe_strcmp(const char *a, const char *b) {
    if (a == nullptr) return b == nullptr ? 0 : 1;
    if (b == nullptr) return -1;
    return std::strcmp(a, b);
}

const char *p(const char *s) { return s != nullptr ? s : ""; }

const char *p2(const char *s) { return s != nullptr ? s : "&nbsp;"; }

char *itos(int n) { return zt::dup_c(std::to_string(n)); }

// Trims space, tab and line feed only: a carriage return stays.
char *strip_leading_and_trailing_whitespace(const char *s) { return strip_both_ends(s, is_trim_space); }

char *strip_leading_and_trailing_quotes(const char *s) {
    return strip_both_ends(s, [](char c) { return c == '"'; });
}

// The empty string counts as numeric; an absent one does not.
int is_numeric(const char *s) {
    if (s == nullptr) return 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') return 0;
    }
    return 1;
}

char *escape(const char *s, char c) {
    if (s == nullptr) return nullptr;
    std::string out;
    out.reserve(2 * std::strlen(s));
    for (; *s != '\0'; ++s) {
        if (*s == c) out += '\\';
        out += *s;
    }
    return zt::dup_c(out);
}

// ROT13 on ASCII letters; applying it twice gives the input back.
char *scramble_text(const char *s) {
    if (s == nullptr) return nullptr;
    std::string out(s);
    for (char &c : out) {
        if (!is_ascii_lower(c) && !is_ascii_upper(c)) continue;
        char lower = is_ascii_upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
        c = static_cast<char>(lower < 'n' ? c + 13 : c - 13);
    }
    return zt::dup_c(out);
}

// Two spaces per level below the first, at most 511, in a static buffer
// that the next call overwrites.
char *indent_spaces(int level) {
    static char buffer[512];
    long long count = level > 1 ? 2LL * (level - 1) : 0;
    if (count > 511) count = 511;
    std::memset(buffer, ' ', static_cast<size_t>(count));
    buffer[count] = '\0';
    return buffer;
}

char *time_field_to_time_string(time_t t) { return format_local_time(t, "%m/%d/%Y %H:%M:%S", 25); }

char *time_field_to_time_string_i18n(time_t t) { return format_local_time(t, "%c", 200); }

// Case-insensitive search of `part` in `text`; 0 when either is absent.
int is_substring(const char *text, const char *part) {
    if (text == nullptr || part == nullptr) return 0;
    return lowered(text).find(lowered(part)) != std::string::npos ? 1 : 0;
}

// Reads `stream` to its end into a buffer that starts at 128 bytes and
// doubles whenever a read fills it.  Absent (nothing left allocated) when
// memory runs out or the stream is absent.
char *zt_filetobuf(FILE *stream) {
    if (stream == nullptr) return nullptr;
    size_t size = 128;
    size_t used = 0;
    auto *buffer = static_cast<char *>(std::malloc(size));
    while (buffer != nullptr) {
        size_t wanted = size - 1 - used;
        size_t got = std::fread(buffer + used, 1, wanted, stream);
        used += got;
        if (got < wanted) break;
        char *grown = static_cast<char *>(std::realloc(buffer, size * 2));
        if (grown == nullptr) std::free(buffer);
        buffer = grown;
        size *= 2;
    }
    if (buffer != nullptr) buffer[used] = '\0';
    return buffer;
}

// The "NAME=VALUE" text handed to putenv stays allocated for the life of
// the process, as putenv requires.  Each one is also kept in a list that is
// never destroyed, so a text that a later call replaced in the environment
// is still referenced (and not reported as a leak).
void set_env_var(const char *name, const char *value) {
    if (name == nullptr) return;
    static auto *handed_out = new std::vector<char *>;
    char *entry = zt::dup_c(std::string(name) + "=" + p(value));
    handed_out->push_back(entry);
    putenv(entry);
}

// The environment's own text (not a copy), or absent.
char *get_env_var(const char *name) { return name != nullptr ? std::getenv(name) : nullptr; }

void set_suppress_output(int flag) { suppress_output = flag; }

// Replaces the debug options; absent options switch every category off.
void set_gdebug(const char *options) {
    char *copy = safe_strdup(options);
    std::free(gdebug_string);
    gdebug_string = copy;
    if (gdebug_string == nullptr) return;
    zt::dprintf(" \n");
    zt::dprintf("running with debug options |%s|\n", gdebug_string);
}

int gdebug(const char *category) {
    if (gdebug_string == nullptr) return 0;
    if (std::strcmp(gdebug_string, "*") == 0) return 1;
    if (category == nullptr) return 0;
    if (std::strcmp(category, " ") == 0) return 1;
    if (*category == '\0') return 0;
    return std::strpbrk(category, gdebug_string) != nullptr ? 1 : 0;
}

}  // extern "C"
