// Fuzzes the token-ID syntax and its classifications: no input may crash
// them, and the answers must agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string id(reinterpret_cast<const char *>(data), size);
    const char *reason = nullptr;
    int legal = zt_isLegalToken(id.c_str(), &reason);
    if (legal != (reason == nullptr)) std::abort();
    size_t length = std::strlen(id.c_str());
    if (legal && (length < 1 || length > 64 || std::strchr(id.c_str(), '.') == nullptr)) std::abort();
    if (legal_raw_token_id(id.c_str()) && !legal) std::abort();
    if (zt_isDtuBoundToken(id.c_str()) && !legal) std::abort();
    if (zt_isDsLogicalToken(id.c_str()) && !legal) std::abort();
    prefixMatch(id.c_str(), zt_dtu_bound_prefixes);
    return 0;
}
