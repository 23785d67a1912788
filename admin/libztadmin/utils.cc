// utils.cc - allocation that never fails, string helpers and the debug
// switch shared by the command and the library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "admin_private.h"
#include "utils.h"

namespace {

// Copy of the debug options ("admin.debug"); absent until set_gdebug().
char *gdebug_string = nullptr;

bool is_trim_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

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

char *strip_leading_and_trailing_whitespace(const char *s) {
    if (s == nullptr) return nullptr;
    std::string_view text(s);
    size_t begin = 0;
    while (begin < text.size() && is_trim_space(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && is_trim_space(text[end - 1])) --end;
    if (begin == end) return nullptr;
    return zt::dup_c(text.substr(begin, end - begin));
}

void set_suppress_output(int flag) { suppress_output = flag; }

void set_gdebug(const char *options) {
    if (options == nullptr) return;
    char *copy = safe_strdup(options);
    std::free(gdebug_string);
    gdebug_string = copy;
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
