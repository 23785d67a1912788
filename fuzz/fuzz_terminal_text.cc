// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the text that reaches the terminal: whatever bytes a manager, a
// reader or the directory sends, terminal_text must give well-formed UTF-8
// without a control character, leave clean text alone, and agree with
// has_control_character.  Well-formedness is judged by a decoder of the
// harness's own, not the library's.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "admin_private.h"
#include "fuzz_support.h"

using zt::fuzz::check;

namespace {

// The code point of the well-formed UTF-8 sequence at the start of `s` and
// its length; length 0 when the bytes are not one (RFC 3629).
struct Decoded {
    uint32_t code_point;
    size_t length;
};

Decoded decode(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    size_t length = b(0) < 0x80 ? 1 : (b(0) & 0xe0) == 0xc0 ? 2 : (b(0) & 0xf0) == 0xe0 ? 3 : 0;
    if ((b(0) & 0xf8) == 0xf0) length = 4;
    if (length == 0 || s.size() < length) return {0, 0};
    uint32_t cp = length == 1 ? b(0) : b(0) & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((b(i) & 0xc0) != 0x80) return {0, 0};
        cp = (cp << 6) | (b(i) & 0x3f);
    }
    static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
    return {cp, length};
}

bool is_control(uint32_t cp) { return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f); }

// True when `s` is well-formed UTF-8; `controls` tells whether it holds one.
bool well_formed(std::string_view s, bool &controls) {
    controls = false;
    while (!s.empty()) {
        Decoded d = decode(s);
        if (d.length == 0) return false;
        controls = controls || is_control(d.code_point);
        s.remove_prefix(d.length);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::string shown = zt::terminal_text(input);
    bool shown_controls = false;
    check(well_formed(shown, shown_controls), "the shown text is well-formed UTF-8");
    check(!shown_controls, "the shown text holds no control character");
    check(shown.size() <= size, "each character shows as itself or one '?'");
    bool input_controls = false;
    bool clean = well_formed(input, input_controls) && !input_controls;
    check(!clean || shown == input, "clean UTF-8 text shows unchanged");
    check(!input_controls || zt::has_control_character(input), "a UTF-8 control character is found");
    check(!zt::has_control_character(input) || shown != input, "text with a control character changes");
    return 0;
}
