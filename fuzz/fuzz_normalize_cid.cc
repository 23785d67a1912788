// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_normalize_cid.cc - normalises arbitrary CIDs into buffers of
// arbitrary size and checks the result's form and that it is stable.
//
// Input: the first byte (modulo 32) is the output size, the rest the CID.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "utils.h"

namespace {

using zt::fuzz::check;

bool is_normal_cid(const char *cid) {
    if (std::strlen(cid) != 20 || std::strncmp(cid, "IEEE802.", 8) != 0) return false;
    for (const char *c = cid + 8; *c != '\0'; ++c) {
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    int out_size = data[0] % 32;
    std::string cid = zt::fuzz::as_text(data + 1, size - 1);
    // Exactly out_size bytes on the heap: a write past them is a finding.
    auto out = std::make_unique<char[]>(static_cast<size_t>(out_size) + (out_size == 0));
    const char *error = nullptr;
    char *result = zt_normalize_CID(cid.c_str(), out.get(), out_size, &error);
    check((result == nullptr) == (error != nullptr), "an error text exactly on failure");
    if (result == nullptr) return 0;
    check(result == out.get() && out_size >= 21, "result in the caller's buffer");
    check(is_normal_cid(result), "normal form");
    char again[21];
    check(zt_normalize_CID(result, again, sizeof again, &error) == again && std::strcmp(again, result) == 0,
          "normal form is stable");
    return 0;
}
