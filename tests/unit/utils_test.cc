// SPDX-License-Identifier: GPL-3.0-or-later
// utils_test.cc - argument splitting, line splitting, text helpers and identifier syntax.
#include <climits>

#include "admin_private.h"
#include "test_support.h"

namespace {

using namespace zt::test;

Strings take_args(char **args) {
    Strings fields(args, args + count_args(args));
    free_args(args);
    return fields;
}

// "abc...zabc..." of the given length, so that a cut shows where it fell.
std::string alphabet_run(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

TEST(ParseArgs, SplitsTrimsResolvesEscapesAndCollectsIds) {
    // In \\,x the first backslash is dropped, the second escapes; a carriage return is not trimmed.
    for (auto [text, fields] : {std::pair<const char *, Strings>{"", {""}}, {nullptr, {""}}, {"a,,b", {"a", "", "b"}},
                                {"a, b, c", {"a", "b", "c"}}, {",a,", {"", "a", ""}}, {"x\\,y, z", {"x,y", "z"}},
                                {"a\\b", {"ab"}}, {"ab\\", {"ab"}}, {"\\\\,x", {",x"}}, {"a\r, b", {"a\r", "b"}}})
        EXPECT_EQ(take_args(parse_args(text, ',')), fields) << text;
    EXPECT_EQ(take_args(parse_args("a:b\\:c, d", ':')), (Strings{"a", "b:c, d"}));

    RawTokenIdNode *list = nullptr;  // the token IDs of one request, collected in order as copies
    std::string id;
    for (const char *next : {"pseudo.1", "card.2"}) add_to_raw_token_id_list(&list, (id = next).c_str());
    id = "changed";
    EXPECT_EQ(list->id + std::string(" ") + list->next->id, "pseudo.1 card.2");
    free_raw_token_list(&list);
}

TEST(ParseArgsDeathTest, FieldLimitIs511Characters) {
    std::string field = alphabet_run(511);
    EXPECT_EQ(take_args(parse_args((field + "," + field).c_str(), ',')), (Strings{field, field}));
    // An escaped separator counts as one character of the field.
    EXPECT_EQ(take_args(parse_args((alphabet_run(509) + "\\,x").c_str(), ',')).at(0).size(), 511u);

    std::string expected = "^Error - Argument string too long:\n '" + alphabet_run(511) + "\\.\\.\\.'\n$";
    EXPECT_EXIT(parse_args(("ok," + alphabet_run(600) + ", more").c_str(), ','), testing::ExitedWithCode(1), expected);
    EXPECT_EXIT(parse_args((" " + field).c_str(), ','), testing::ExitedWithCode(1), "too long");  // blanks count
}

TEST(Strings, CompareTrimClassifyEscapeScrambleIndentTimeAndStreams) {
    EXPECT_EQ(safe_strcmp(nullptr, nullptr), 0);
    EXPECT_GT(safe_strcmp(nullptr, ""), 0);  // an absent string sorts last
    EXPECT_LT(safe_strcmp("zzz", nullptr), 0);
    for (auto [in, whitespace, quotes] : {std::tuple<const char *, Opt, Opt>{"", {}, {}}, {" \t\n", {}, " \t\n"},
             {"\"\"\"", "\"\"\"", {}}, {"a\r\n", "a\r", "a\r\n"}, {"\"\" x \"", "\"\" x \"", " x "}}) {
        EXPECT_EQ(take(strip_leading_and_trailing_whitespace(in)), whitespace) << in;
        EXPECT_EQ(take(strip_leading_and_trailing_quotes(in)), quotes) << in;
    }
    EXPECT_EQ(is_substring("Jane Doe", "DOE"), 1);
    for (auto [in, numeric] : {std::pair{"", 1}, {"0123456789", 1}, {"12a", 0}, {"-1", 0}})
        EXPECT_EQ(is_numeric(in), numeric) << in;

    EXPECT_EQ(take(escape("a,b,,c", ',')), "a\\,b\\,\\,c");
    std::string all = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0189 @[`{\xe9";
    char *once = scramble_text(all.c_str());
    EXPECT_STREQ(once, "NOPQRSTUVWXYZABCDEFGHIJKLMnopqrstuvwxyzabcdefghijklm0189 @[`{\xe9");
    EXPECT_EQ(take(scramble_text(once)), all);
    std::free(once);
    for (auto [level, spaces] : {std::pair{INT_MIN, 0}, {1, 0}, {5, 8}, {256, 510}, {257, 511}, {INT_MAX, 511}})
        EXPECT_EQ(std::string(indent_spaces(level)), std::string(spaces, ' ')) << level;
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(take(time_field_to_time_string(1078668309)), "03/07/2004 14:05:09");
    // A ten-digit year does not fit the buffer: an empty text, not an overrun.
    EXPECT_EQ(take(time_field_to_time_string(static_cast<time_t>(50000000000000000))), "");
    for (size_t size : {0, 127, 128, 255, 5000}) {  // around the doublings of zt_filetobuf
        std::string content = alphabet_run(size);
        FILE *stream = fmemopen(content.data(), content.size(), "r");
        EXPECT_EQ(take(zt_filetobuf(stream)), content) << size;
        std::fclose(stream);
    }
}

// What may reach a terminal: control characters (C0, DEL, C1 in UTF-8 or as a byte) and bytes outside well-formed
// UTF-8 show as "?", all else unchanged; has_control_character finds the control characters, also in text that is not
// UTF-8, and nothing else.
TEST(TerminalText, ControlCharactersAndMalformedBytesShowAsQuestionMarks) {
    const std::string utf8 = "J\xc3\xb6rg \xe6\x97\xa5 \xf0\x9f\x98\x80 nbsp\xc2\xa0";
    struct Case { std::string in, shown; bool control; } cases[] = {
        {"Jane Doe, Room 5 ~", "Jane Doe, Room 5 ~", false},
        {utf8, utf8, false},
        {"\x1b[2Jgone", "?[2Jgone", true},
        {"\x1b]52;c;eA==\x07", "?]52;c;eA==?", true},
        {"over\rwrite\b\t\n", "over?write???", true},
        {std::string("nul\0x", 5), "nul?x", true},
        {"del\x7f", "del?", true},
        {"csi\xc2\x9b" "1m", "csi?1m", true},   // U+009B in UTF-8
        {"csi\x9b" "1m", "csi?1m", true},        // the 8-bit CSI
        {"latin \xfc\xe9", "latin ??", false},  // not UTF-8, yet no control
        {"overlong \xc0\xaf, cut \xe2", "overlong ??, cut ?", false},
        {"surrogate \xed\xa0\x80", "surrogate ???", true},  // its last byte alone is a C1 byte
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zt::terminal_text(c.in), c.shown) << c.in;
        EXPECT_EQ(zt::has_control_character(c.in), c.control) << c.in;
    }
    EXPECT_FALSE(zt::has_control_character(static_cast<const char *>(nullptr)));
}

TEST(KeyAndValue, SplitsAtFirstEquals) {
    using Row = std::tuple<const char *, int, Opt, Opt>;  // line, result, key, value
    for (auto [line, result, key, value] : {Row{"#a=b", 0, {}, {}}, {"=", 0, {}, {}}, {"ab", 0, {}, {}},
             {"\t=v", 1, {}, "v"}, {"name = value\n", 1, "name", "value"}, {"k=", 1, "k", {}}, {"a=b=c", 1, "a", "b=c"},
             {" #k=v", 1, "#k", "v"}, {"k=v\r\n", 1, "k", "v\r"}}) {
        char stale[] = "stale";
        char *k = stale, *v = stale;  // both are reset first
        EXPECT_EQ(parse_key_and_value(line, &k, &v), result) << line;
        ASSERT_TRUE(k != stale && v != stale) << line;
        EXPECT_EQ(std::make_pair(take(k), take(v)), std::make_pair(key, value)) << line;
    }
    // Each side is cut to 511 characters before it is trimmed.
    std::string key = alphabet_run(600), value = "  " + alphabet_run(700), line = key + "=" + value;
    char *k = nullptr, *v = nullptr;
    ASSERT_EQ(parse_key_and_value(line.c_str(), &k, &v), 1);
    EXPECT_EQ(take(k), key.substr(0, 511));
    EXPECT_EQ(take(v), value.substr(2, 509));
}

TEST(Identifiers, FieldsCidsAndGroupNames) {
    std::string line = " a\tb \v c\r\n d";
    char *fields[4];
    ASSERT_EQ(make_fields(line.data(), fields), 3);  // up to the line feed
    EXPECT_EQ((Strings{fields[0], fields[1], fields[2]}), (Strings{"a", "b", "c"}));
    EXPECT_EQ(line, std::string(" a\0b\0\0\0c\0\0 d", 12));  // whitespace after a field and the line feed zeroed

    const char *cid_error = "Incorrect CID format\n        Format is a 12-digit hexadecimal MAC address,\n"
                            "        optionally prefixed by 'IEEE802.'";
    const char *normal = "IEEE802.020000a1b2c3";
    char out[21];
    const char *error = nullptr;
    // A hexadecimal first letter means there is no prefix: "a." is refused.
    for (auto [cid, ok] : {std::pair{"020000A1B2C3", true}, {"ieee802.020000A1B2C3", true}, {"020000A1B2C", false},
                           {"020000A1B2C3D", false}, {"020000A1B2CG", false}, {"IEEE803.020000a1b2c3", false},
                           {"a.020000a1b2c3", false}, {"", false}}) {
        error = "unset";
        EXPECT_EQ(zt_normalize_CID(cid, out, sizeof out, &error), ok ? out : nullptr) << cid;
        EXPECT_STREQ(error, ok ? nullptr : cid_error) << cid;
        if (ok) { EXPECT_STREQ(out, normal); }
    }
    EXPECT_EQ(zt_normalize_CID("020000a1b2c3", out, 20, &error), nullptr);
    EXPECT_STREQ(error, "Internal error: input buffer too small");

    const char *group_error = "Incorrect group name format\n        Group name format is ASCII letter\n"
                              "        followed by ASCII alphanumeric or '-'";
    for (auto [name, valid] : {std::pair<std::string, int>{"Group-1", 1}, {"a" + std::string(255, 'b'), 1},
                               {"a" + std::string(256, 'b'), 0}, {"1group", 0}, {"group-", 0}, {"gr_p", 0}}) {
        EXPECT_EQ(zt_validate_multihead_group_name(name.c_str(), &error), valid) << name;
        EXPECT_STREQ(error, valid ? nullptr : group_error) << name;
    }
}

TEST(Debug, CategoriesMatchAnyLetter) {
    set_suppress_output(1);  // keep set_gdebug's notes out of the log
    set_gdebug("ab");
    for (auto [category, on] : {std::pair{"b", 1}, {"xb", 1}, {" ", 1}, {"c", 0}, {"", 0}})
        EXPECT_EQ(gdebug(category), on) << category;
    set_gdebug("*");
    EXPECT_EQ(gdebug("z") + gdebug(""), 2);
    set_gdebug(nullptr);  // switches every category off
    EXPECT_EQ(gdebug(" "), 0);
    set_suppress_output(0);
}

}  // namespace
