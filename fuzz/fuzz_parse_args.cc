// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_parse_args.cc - splits arbitrary text at an arbitrary separator and
// checks that escaping the fields and joining them again gives them back.
//
// Input: the first byte is the separator, the rest the text.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "utils.h"

namespace {

using zt::fuzz::check;

// parse_args ends the process on a field of 512 characters or more (after
// escapes are resolved, before trimming); such inputs are not fuzzed.
bool has_overlong_field(const std::string &text, char separator) {
    size_t length = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (i + 1 < text.size() && text[i + 1] == separator) ++length, ++i;
        } else if (text[i] == separator) {
            length = 0;
        } else {
            ++length;
        }
        if (length >= 512) return true;
    }
    return false;
}

std::vector<std::string> split(const std::string &text, char separator) {
    char **args = parse_args(text.c_str(), separator);
    std::vector<std::string> fields;
    for (char **arg = args; *arg != nullptr; ++arg) fields.emplace_back(*arg);
    free_args(args);
    return fields;
}

std::string join_escaped(const std::vector<std::string> &fields, char separator) {
    std::string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) text += separator;
        char *escaped = escape(fields[i].c_str(), separator);
        text += escaped;
        std::free(escaped);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    char separator = static_cast<char>(data[0]);
    std::string text = zt::fuzz::as_text(data + 1, size - 1);
    if (has_overlong_field(text, separator)) return 0;

    std::vector<std::string> fields = split(text, separator);
    check(!fields.empty(), "at least one field");
    size_t separators = 0;
    for (char c : text) separators += c == separator;
    check(fields.size() <= separators + 1, "no more fields than separators + 1");
    for (const auto &field : fields) {
        check(field.size() <= 511, "field fits its buffer");
        check(field.empty() || zt::fuzz::is_trimmed(field), "field trimmed");
    }
    // Backslashes never survive unless they are the separator, so the
    // escaped fields read back as the same fields.
    if (separator != '\\' && separator != '\0') {
        check(split(join_escaped(fields, separator), separator) == fields, "escape round trip");
    }
    return 0;
}
