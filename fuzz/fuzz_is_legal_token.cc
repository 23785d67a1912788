// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the token-ID syntax and its classifications: no input may crash
// them, and the answers must agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin.h"
#include "fuzz_support.h"

using zt::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string id(reinterpret_cast<const char *>(data), size);
    const char *reason = nullptr;
    int legal = zt_isLegalToken(id.c_str(), &reason);
    check(legal == (reason == nullptr), "a reason exactly for an illegal ID");
    size_t length = std::strlen(id.c_str());
    check(!legal || (length >= 1 && length <= 64 && std::strchr(id.c_str(), '.') != nullptr),
          "a legal ID has 1 to 64 characters and a period");
    check(!legal_raw_token_id(id.c_str()) || legal, "a raw-token ID is legal");
    check(!zt_isDtuBoundToken(id.c_str()) || legal, "a terminal-bound ID is legal");
    check(!zt_isDsLogicalToken(id.c_str()) || legal, "a logical-token ID is legal");
    prefixMatch(id.c_str(), zt_dtu_bound_prefixes);
    return 0;
}
