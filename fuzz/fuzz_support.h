/* SPDX-License-Identifier: GPL-3.0-or-later */
// fuzz_support.h - small helpers shared by the fuzz harnesses.
#ifndef ZT_FUZZ_SUPPORT_H
#define ZT_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zt::fuzz {

// The input as a C string: everything before the first zero byte.
inline std::string as_text(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    return text.substr(0, text.find('\0'));
}

// A broken property is a finding: report it and abort so libFuzzer keeps the input.
inline void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

// Space, tab and line feed: what the trimming functions remove.
inline bool is_trim_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

inline bool is_trimmed(const std::string &s) {
    return !s.empty() && !is_trim_space(s.front()) && !is_trim_space(s.back());
}

}  // namespace zt::fuzz

#endif  // ZT_FUZZ_SUPPORT_H
