// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_make_fields.cc - splits arbitrary lines in place and compares the
// fields with a plain whitespace tokenizer.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "utils.h"

namespace {

using zt::fuzz::check;

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The words of `line` up to its first line feed.
std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> result;
    std::string current;
    for (char c : line.substr(0, line.find('\n'))) {
        if (!is_c_space(c)) {
            current += c;
        } else if (!current.empty()) {
            result.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) result.push_back(current);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line = zt::fuzz::as_text(data, size);
    // Exactly as many slots as a line can have fields, on the heap so that
    // the address sanitizer sees one written too many.
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    std::vector<char *> fields((line.size() + 1) / 2);
    int count = make_fields(buffer.data(), fields.data());

    std::vector<std::string> expected = words(line);
    check(count == static_cast<int>(expected.size()), "field count");
    const char *previous = buffer.data() - 1;
    for (int i = 0; i < count; ++i) {
        check(fields[i] > previous && fields[i] < buffer.data() + buffer.size(), "fields in order inside the line");
        check(expected[i] == fields[i], "field text");
        previous = fields[i];
    }
    return 0;
}
