// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_parse_key_and_value.cc - splits arbitrary lines at "=" and checks
// the shape of what comes back.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "utils.h"

namespace {

using zt::fuzz::check;

// Takes ownership of an optional result and checks its shape.
void check_part(char *part, const char *what) {
    if (part == nullptr) return;
    std::string text(part);
    std::free(part);
    check(zt::fuzz::is_trimmed(text), what);
    check(text.size() <= 511, "part fits the work buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line = zt::fuzz::as_text(data, size);
    char *key = nullptr;
    char *value = nullptr;
    int found = parse_key_and_value(line.c_str(), &key, &value);
    size_t equals = line.find('=');
    bool pair = line.size() >= 2 && line[0] != '#' && equals != std::string::npos;
    check(found == (pair ? 1 : 0), "result matches the line's shape");
    if (!found) check(key == nullptr && value == nullptr, "no outputs without a pair");
    if (key != nullptr) check(std::string(key).find('=') == std::string::npos, "key ends before the first =");
    check_part(key, "key trimmed and not empty");
    check_part(value, "value trimmed and not empty");
    return 0;
}
