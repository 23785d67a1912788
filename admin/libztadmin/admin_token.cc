// SPDX-License-Identifier: GPL-3.0-or-later
// admin_token.cc - the syntax of token IDs and their classification by
// prefix.
#include <strings.h>

#include <cstring>

#include "admin_private.h"

extern "C" {

// IDs that stand for a terminal rather than a person.
const TokenPrefix zt_dtu_bound_prefixes[] = {
    {"pseudo.", 7},
    {"escape.", 7},
    {"TerminalId.", 11},
    {nullptr, 0},
};

// IDs of logical tokens created by the administration tools.
const TokenPrefix zt_ds_logical_prefixes[] = {
    {"user.", 5},
    {nullptr, 0},
};

}  // extern "C"

namespace {

constexpr int kMaxTokenLength = 64;

// Classification in the C locale, whatever locale the process runs in.
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_letter_or_digit(char c) { return is_letter(c) || (c >= '0' && c <= '9'); }

// The reason `id` is not a legal token ID, or null when it is legal.  The
// first failing rule in scan order decides.
const char *illegal_token_reason(const char *id) {
    if (id == nullptr) return "Token pointer is NULL";
    char previous = '\0';
    int periods = 0;
    int position = 0;
    for (const char *c = id; *c != '\0'; ++c) {
        ++position;
        if (position == 1 && !is_letter(*c)) return "Letter required but not found";
        if (previous == '.' && !is_letter_or_digit(*c)) return "Letter or digit required but not found";
        if (!is_letter_or_digit(*c) && *c != '-' && *c != '_') {
            if (*c != '.') return "Illegal character";
            if (!is_letter_or_digit(previous)) return "Letter or digit required before period";
            ++periods;
        }
        if (position > kMaxTokenLength) return "Too long";
        previous = *c;
    }
    if (position == 0) return "Letter required but not found";
    if (!is_letter_or_digit(previous)) return "Final character must be letter or digit";
    if (periods == 0) return "At least one period is required";
    return nullptr;
}

int count_periods(const char *id) {
    int periods = 0;
    for (const char *c = id; *c != '\0'; ++c) periods += *c == '.';
    return periods;
}

}  // namespace

extern "C" {

int zt_isLegalToken(const char *id, const char **reason) {
    const char *why = illegal_token_reason(id);
    if (why == nullptr) return 1;
    if (reason != nullptr) *reason = why;
    return 0;
}

int prefixMatch(const char *id, const TokenPrefix *table) {
    if (id == nullptr || table == nullptr) return 0;
    for (const TokenPrefix *entry = table; entry->prefix != nullptr; ++entry) {
        if (strncasecmp(id, entry->prefix, static_cast<size_t>(entry->length)) == 0) return 1;
    }
    return 0;
}

int zt_isDtuBoundToken(const char *id) {
    return zt_isLegalToken(id, nullptr) && prefixMatch(id, zt_dtu_bound_prefixes) ? 1 : 0;
}

int zt_isDsLogicalToken(const char *id) {
    return zt_isLegalToken(id, nullptr) && prefixMatch(id, zt_ds_logical_prefixes) ? 1 : 0;
}

int legal_raw_token_id(const char *id) {
    return zt_isLegalToken(id, nullptr) && count_periods(id) == 1 ? 1 : 0;
}

}  // extern "C"
