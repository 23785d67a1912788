// SPDX-License-Identifier: GPL-3.0-or-later
// utils_text.cc - argument strings, the raw-token-ID list, key=value and
// whitespace splitting of lines, the syntax of terminal identifiers and
// multihead group names, and control characters in text.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"
#include "utils.h"

namespace {

// Work-buffer size of one argument field and of each side of a key=value
// line: the text may hold one character less.
constexpr size_t kFieldBuffer = 512;

constexpr std::string_view kCidPrefix = "IEEE802.";
constexpr size_t kCidDigits = 12;
constexpr size_t kMaxGroupName = 256;

const char kCidFormatError[] =
    "Incorrect CID format\n        Format is a 12-digit hexadecimal MAC address,\n"
    "        optionally prefixed by 'IEEE802.'";
const char kGroupNameError[] =
    "Incorrect group name format\n        Group name format is ASCII letter\n"
    "        followed by ASCII alphanumeric or '-'";

// Character classes of the "C" locale, independent of the process locale.
bool c_isalpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool c_isdigit(char c) { return c >= '0' && c <= '9'; }
bool c_isxdigit(char c) { return c_isdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool c_isspace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
char c_tolower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A field that reached the size of its work buffer ends the process.
[[noreturn]] void argument_too_long(const std::string &field) {
    std::fputs("Error - Argument string too long:\n", stderr);
    std::fflush(stderr);
    std::fprintf(stderr, " '%s...'\n", field.substr(0, kFieldBuffer - 1).c_str());
    std::exit(1);
}

// The stored form of a collected field: trimmed, "" when nothing is left.
char *finish_field(const std::string &field) {
    char *trimmed = strip_leading_and_trailing_whitespace(field.c_str());
    return trimmed != nullptr ? trimmed : safe_strdup("");
}

// Trimmed copy of `part` as it fits the work buffer; absent when empty.
char *trimmed_part(std::string_view part) {
    std::string fitted(part.substr(0, kFieldBuffer - 1));
    return strip_leading_and_trailing_whitespace(fitted.c_str());
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (c_tolower(text[i]) != c_tolower(prefix[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" {

// Splits at unescaped separators; "\<sep>" is a literal separator, any
// other backslash is dropped.  Each field is trimmed.  Absent text is read
// as the empty string.
char **parse_args(const char *text, char separator) {
    std::vector<char *> fields;
    std::string field;
    for (const char *s = text != nullptr ? text : ""; *s != '\0'; ++s) {
        if (*s == '\\') {
            if (s[1] == separator && separator != '\0') field += *++s;
        } else if (*s == separator) {
            fields.push_back(finish_field(field));
            field.clear();
        } else {
            field += *s;
        }
        if (field.size() >= kFieldBuffer) argument_too_long(field);
    }
    fields.push_back(finish_field(field));
    auto **args = static_cast<char **>(safe_calloc(static_cast<int>(fields.size()) + 1, sizeof(char *)));
    std::copy(fields.begin(), fields.end(), args);
    return args;
}

int count_args(char **args) { return num_strings(args); }

void free_args(char **args) { zt_free_array(args); }

// `n` zero-filled strings of `length` + 1 bytes and the ending absent
// entry; absent, with nothing left allocated, when any allocation fails.
char **zt_alloc_args_storage(int n, int length) {
    if (n < 0 || length < 0) return nullptr;
    auto **args = static_cast<char **>(std::calloc(static_cast<size_t>(n) + 1, sizeof(char *)));
    if (args == nullptr) return nullptr;
    for (int i = 0; i < n; ++i) {
        args[i] = static_cast<char *>(std::calloc(static_cast<size_t>(length) + 1, 1));
        if (args[i] == nullptr) {
            free_args(args);
            return nullptr;
        }
    }
    return args;
}

// Appends a copy of `id`; an absent id adds nothing.
void add_to_raw_token_id_list(RawTokenIdNode **list, const char *id) {
    if (list == nullptr || id == nullptr) return;
    while (*list != nullptr) list = &(*list)->next;
    auto *node = static_cast<RawTokenIdNode *>(safe_calloc(1, sizeof(RawTokenIdNode)));
    node->id = safe_strdup(id);
    *list = node;
}

// Frees every node and leaves the head absent.
void free_raw_token_list(RawTokenIdNode **list) {
    if (list == nullptr) return;
    while (*list != nullptr) {
        RawTokenIdNode *next = (*list)->next;
        std::free((*list)->id);
        std::free(*list);
        *list = next;
    }
}

// 1 with the trimmed key and value (either absent when empty) of a
// "key=value" line; 0 for a comment, a line under 2 characters or one
// without "=".  Each side is cut to 511 characters before trimming.
int parse_key_and_value(const char *line, char **key, char **value) {
    if (key != nullptr) *key = nullptr;
    if (value != nullptr) *value = nullptr;
    if (line == nullptr || key == nullptr || value == nullptr) return 0;
    std::string_view text(line);
    size_t equals = text.find('=');
    if (text.size() < 2 || text[0] == '#' || equals == std::string_view::npos) return 0;
    *key = trimmed_part(text.substr(0, equals));
    *value = trimmed_part(text.substr(equals + 1));
    return 1;
}

// Splits `line` in place at whitespace up to the first line feed; returns
// the number of fields whose starts were stored in `fields`.
int make_fields(char *line, char **fields) {
    if (line == nullptr || fields == nullptr) return 0;
    int count = 0;
    char *s = line;
    while (c_isspace(*s) && *s != '\n') ++s;
    while (*s != '\0' && *s != '\n') {
        fields[count++] = s;
        while (*s != '\0' && !c_isspace(*s)) ++s;
        while (c_isspace(*s) && *s != '\n') *s++ = '\0';
    }
    if (*s == '\n') *s = '\0';
    return count;
}

// Writes "IEEE802." and the 12 lower-case digits of `cid` into `out`.
char *zt_normalize_CID(const char *cid, char *out, int out_size, const char **error_text) {
    if (error_text == nullptr) return nullptr;
    if (out == nullptr || out_size < static_cast<int>(kCidPrefix.size() + kCidDigits + 1)) {
        *error_text = "Internal error: input buffer too small";
        return nullptr;
    }
    *error_text = kCidFormatError;
    if (cid == nullptr) return nullptr;
    std::string_view digits(cid);
    if (!c_isxdigit(digits.empty() ? '\0' : digits[0])) {
        if (!starts_with_nocase(digits, kCidPrefix)) return nullptr;
        digits.remove_prefix(kCidPrefix.size());
    }
    if (digits.size() != kCidDigits) return nullptr;
    std::string normal(kCidPrefix);
    for (char c : digits) {
        if (!c_isxdigit(c)) return nullptr;
        normal += c_tolower(c);
    }
    std::memcpy(out, normal.c_str(), normal.size() + 1);
    *error_text = nullptr;
    return out;
}

// 1 for an ASCII letter followed by ASCII letters, digits or "-", at most
// 256 characters and not ending with "-"; otherwise 0 with an error text.
int zt_validate_multihead_group_name(const char *name, const char **error_text) {
    if (error_text == nullptr) return 0;
    *error_text = kGroupNameError;
    if (name == nullptr) return 0;
    std::string_view text(name);
    if (text.empty() || text.size() > kMaxGroupName || !c_isalpha(text[0]) || text.back() == '-') return 0;
    for (char c : text) {
        if (!c_isalpha(c) && !c_isdigit(c) && c != '-') return 0;
    }
    *error_text = nullptr;
    return 1;
}

}  // extern "C"

// ------------------------------------------------------ control characters

namespace zt {

size_t utf8_sequence_length(std::string_view text) {
    if (text.empty()) return 0;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                    : lead >= 0xe0 && lead <= 0xef ? 3
                    : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                   : 0;
    if (length == 0 || text.size() < length) return 0;
    // The second byte's range narrows for the lead bytes that could start
    // an overlong form, a surrogate or a code point past U+10FFFF.
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
    }
    return length;
}

namespace {

// What the character at the start of `text` is to a terminal, and how
// many bytes it takes.
enum class Glyph { kText, kControl, kMalformed };
struct Scanned {
    Glyph glyph;
    size_t length;
};

Scanned scan(std::string_view text) {
    auto lead = static_cast<unsigned char>(text[0]);
    size_t length = utf8_sequence_length(text);
    if (length == 0) return {lead >= 0x80 && lead <= 0x9f ? Glyph::kControl : Glyph::kMalformed, 1};
    if (length == 1) return {lead < 0x20 || lead == 0x7f ? Glyph::kControl : Glyph::kText, 1};
    // U+0080 to U+009F are 0xc2 0x80 to 0xc2 0x9f.
    bool c1 = lead == 0xc2 && static_cast<unsigned char>(text[1]) <= 0x9f;
    return {c1 ? Glyph::kControl : Glyph::kText, length};
}

}  // namespace

bool has_control_character(std::string_view text) {
    while (!text.empty()) {
        Scanned s = scan(text);
        if (s.glyph == Glyph::kControl) return true;
        text.remove_prefix(s.length);
    }
    return false;
}

std::string terminal_text(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        Scanned s = scan(text);
        if (s.glyph == Glyph::kText)
            shown.append(text.substr(0, s.length));
        else
            shown += '?';
        text.remove_prefix(s.length);
    }
    return shown;
}

}  // namespace zt
