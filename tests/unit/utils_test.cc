// utils_test.cc - argument splitting, line splitting, text helpers and
// identifier syntax.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "utils.h"

namespace {

using Opt = std::optional<std::string>;

// Takes ownership of a malloc'd string and returns it as an optional.
Opt take(char *s) {
    if (s == nullptr) return std::nullopt;
    std::string copy(s);
    std::free(s);
    return copy;
}

std::vector<std::string> take_args(char **args) {
    std::vector<std::string> fields;
    for (int i = 0; i < count_args(args); ++i) fields.emplace_back(args[i]);
    free_args(args);
    return fields;
}

// "abc...zabc..." of the given length, so that a cut shows where it fell.
std::string alphabet_run(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

TEST(ParseArgs, SplitsTrimsAndResolvesEscapes) {
    struct Case {
        const char *text;
        std::vector<std::string> fields;
    } cases[] = {
        {"", {""}},
        {"a, b, c", {"a", "b", "c"}},
        {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {" \t, \n", {"", ""}},
        {"x\\,y, z", {"x,y", "z"}},
        {"a\\b", {"ab"}},
        {"ab\\", {"ab"}},
        {"\\\\,x", {",x"}},                // the first backslash is dropped, the second escapes
        {"\"a,b\"", {"\"a", "b\""}},       // quotes are ordinary characters
        {"a\r, b", {"a\r", "b"}},          // a carriage return is not trimmed
        {" 7007 ", {"7007"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(take_args(parse_args(c.text, ',')), c.fields) << "text: " << c.text;
    }
}

TEST(ParseArgs, OtherSeparatorAndAbsentText) {
    EXPECT_EQ(take_args(parse_args("a:b\\:c, d", ':')), (std::vector<std::string>{"a", "b:c, d"}));
    EXPECT_EQ(take_args(parse_args(nullptr, ',')), std::vector<std::string>{""});
}

TEST(ParseArgs, FieldsOf511CharactersPass) {
    std::string field = alphabet_run(511);
    std::string text = field + "," + field + "," + field;
    EXPECT_EQ(take_args(parse_args(text.c_str(), ',')), (std::vector<std::string>{field, field, field}));
    // An escaped separator counts as one character of the field.
    std::string escaped = alphabet_run(509) + "\\,x";
    EXPECT_EQ(take_args(parse_args(escaped.c_str(), ',')).at(0).size(), 511u);
}

TEST(ParseArgsDeathTest, FieldOf512CharactersEndsTheProcess) {
    std::string field = alphabet_run(600);
    std::string text = "ok," + field + ", more";
    std::string expected = "^Error - Argument string too long:\n '" + alphabet_run(511) + "\\.\\.\\.'\n$";
    EXPECT_EXIT(parse_args(text.c_str(), ','), testing::ExitedWithCode(1), expected);
    // Leading blanks count before trimming: one blank and 511 letters is too long.
    std::string padded = " " + alphabet_run(511);
    EXPECT_EXIT(parse_args(padded.c_str(), ','), testing::ExitedWithCode(1), "too long");
}

TEST(ArgsStorage, AllocatesZeroedStringsAndEnd) {
    char **args = zt_alloc_args_storage(3, 10);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(count_args(args), 3);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 11; ++j) EXPECT_EQ(args[i][j], '\0');
    }
    free_args(args);
    args = zt_alloc_args_storage(0, 5);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(count_args(args), 0);
    free_args(args);
    EXPECT_EQ(zt_alloc_args_storage(-1, 5), nullptr);
    EXPECT_EQ(count_args(nullptr), 0);
    free_args(nullptr);
}

TEST(RawTokenList, KeepsOrderAndOwnsCopies) {
    RawTokenIdNode *list = nullptr;
    std::string id = "pseudo.1";
    for (const char *next : {"pseudo.1", "escape.2", "TerminalId.3"}) {
        id = next;
        add_to_raw_token_id_list(&list, id.c_str());
    }
    id = "changed";
    std::vector<std::string> seen;
    for (RawTokenIdNode *node = list; node != nullptr; node = node->next) seen.emplace_back(node->id);
    EXPECT_EQ(seen, (std::vector<std::string>{"pseudo.1", "escape.2", "TerminalId.3"}));
    free_raw_token_list(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(Strings, SafeStrcmpOrdersAbsentLast) {
    EXPECT_EQ(safe_strcmp(nullptr, nullptr), 0);
    EXPECT_GT(safe_strcmp(nullptr, ""), 0);
    EXPECT_LT(safe_strcmp("zzz", nullptr), 0);
    EXPECT_LT(safe_strcmp("a", "b"), 0);
    EXPECT_GT(safe_strcmp("\xff", "a"), 0);  // bytes compare unsigned
    EXPECT_EQ(safe_strcmp("x", "x"), 0);
}

TEST(Strings, Trimming) {
    struct Case {
        const char *in;
        Opt whitespace;
        Opt quotes;
    } cases[] = {
        {"", std::nullopt, std::nullopt},
        {" \t\n", std::nullopt, " \t\n"},
        {"\"\"\"", "\"\"\"", std::nullopt},
        {"  a b \n", "a b", "  a b \n"},
        {"a\r\n", "a\r", "a\r\n"},
        {"\"\"quoted\"", "\"\"quoted\"", "quoted"},
        {"\" x \"", "\" x \"", " x "},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(take(strip_leading_and_trailing_whitespace(c.in)), c.whitespace) << c.in;
        EXPECT_EQ(take(strip_leading_and_trailing_quotes(c.in)), c.quotes) << c.in;
    }
    EXPECT_EQ(strip_leading_and_trailing_whitespace(nullptr), nullptr);
    EXPECT_EQ(strip_leading_and_trailing_quotes(nullptr), nullptr);
}

TEST(Strings, SmallConversions) {
    EXPECT_STREQ(p(nullptr), "");
    EXPECT_STREQ(p2(nullptr), "&nbsp;");
    EXPECT_EQ(take(itos(INT_MIN)), "-2147483648");
    struct {
        const char *in;
        int numeric;
    } numbers[] = {{"", 1}, {"0123456789", 1}, {"12a", 0}, {"-1", 0}, {" 1", 0}, {"\xd9\xa3", 0}};
    for (const auto &n : numbers) EXPECT_EQ(is_numeric(n.in), n.numeric) << n.in;
    EXPECT_EQ(is_numeric(nullptr), 0);
}

TEST(Strings, EscapeAndScramble) {
    EXPECT_EQ(take(escape("a,b,,c", ',')), "a\\,b\\,\\,c");
    EXPECT_EQ(take(escape(",", ',')), "\\,");
    EXPECT_EQ(take(escape("no commas", ',')), "no commas");
    EXPECT_EQ(escape(nullptr, ','), nullptr);
    EXPECT_EQ(take(scramble_text("Abc-xyz")), "Nop-klm");
    std::string all = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0189 @[`{\xe9";
    EXPECT_EQ(take(scramble_text(all.c_str())),
              "NOPQRSTUVWXYZABCDEFGHIJKLMnopqrstuvwxyzabcdefghijklm0189 @[`{\xe9");
    char *once = scramble_text(all.c_str());
    EXPECT_EQ(take(scramble_text(once)), all);
    std::free(once);
}

TEST(Strings, IndentSpaces) {
    struct {
        int level;
        size_t spaces;
    } cases[] = {{INT_MIN, 0}, {0, 0}, {1, 0}, {2, 2}, {5, 8}, {256, 510}, {257, 511}, {INT_MAX, 511}};
    for (const auto &c : cases) {
        EXPECT_EQ(std::string(indent_spaces(c.level)), std::string(c.spaces, ' ')) << c.level;
    }
}

TEST(Strings, SubstringIgnoresCase) {
    EXPECT_EQ(is_substring("Jane Doe", "DOE"), 1);
    EXPECT_EQ(is_substring("Jane Doe", ""), 1);
    EXPECT_EQ(is_substring("Jane", "Janet"), 0);
    EXPECT_EQ(is_substring(nullptr, "a"), 0);
}

TEST(Time, FormatsLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(take(time_field_to_time_string(1078668309)), "03/07/2004 14:05:09");
    EXPECT_EQ(take(time_field_to_time_string(0)), "01/01/1970 00:00:00");
    // A time localtime cannot convert, or a ten-digit year that does not fit
    // the buffer, gives an empty text.
    EXPECT_EQ(take(time_field_to_time_string(static_cast<time_t>(1) << 60)), "");
    EXPECT_EQ(take(time_field_to_time_string(static_cast<time_t>(50000000000000000))), "");
    EXPECT_EQ(take(time_field_to_time_string_i18n(0)), "Thu Jan  1 00:00:00 1970");
}

TEST(FileToBuf, ReadsAcrossBufferBoundaries) {
    for (size_t size : {0, 1, 126, 127, 128, 255, 256, 5000}) {
        std::string content = alphabet_run(size);
        FILE *stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        std::fwrite(content.data(), 1, content.size(), stream);
        std::rewind(stream);
        EXPECT_EQ(take(zt_filetobuf(stream)), content) << size;
        std::fclose(stream);
    }
    EXPECT_EQ(zt_filetobuf(nullptr), nullptr);
}

TEST(Environment, SetAndGet) {
    set_env_var("ZT_UTILS_TEST_VAR", "a=b");
    EXPECT_STREQ(get_env_var("ZT_UTILS_TEST_VAR"), "a=b");
    set_env_var("ZT_UTILS_TEST_VAR", "");
    EXPECT_STREQ(get_env_var("ZT_UTILS_TEST_VAR"), "");
    EXPECT_EQ(get_env_var("ZT_UTILS_TEST_UNSET_VAR"), nullptr);
}

TEST(KeyAndValue, SplitsAtFirstEquals) {
    struct Case {
        const char *line;
        int result;
        Opt key;
        Opt value;
    } cases[] = {
        {"#a=b", 0, std::nullopt, std::nullopt},
        {"=", 0, std::nullopt, std::nullopt},
        {"", 0, std::nullopt, std::nullopt},
        {"ab", 0, std::nullopt, std::nullopt},
        {"name = value\n", 1, "name", "value"},
        {"k=", 1, "k", std::nullopt},
        {"=v", 1, std::nullopt, "v"},
        {" \t= \n", 1, std::nullopt, std::nullopt},
        {"a=b=c", 1, "a", "b=c"},
        {" #k=v", 1, "#k", "v"},
        {"k=v\r\n", 1, "k", "v\r"},
    };
    for (const auto &c : cases) {
        char stale[] = "stale";
        char *key = stale;
        char *value = stale;
        EXPECT_EQ(parse_key_and_value(c.line, &key, &value), c.result) << c.line;
        ASSERT_TRUE(key != stale && value != stale) << "outputs not reset: " << c.line;
        EXPECT_EQ(take(key), c.key) << c.line;
        EXPECT_EQ(take(value), c.value) << c.line;
    }
}

TEST(KeyAndValue, LongPartsAreCutAt511) {
    std::string key = alphabet_run(600);
    std::string value = "  " + alphabet_run(700);
    std::string line = key + "=" + value;
    char *k = nullptr;
    char *v = nullptr;
    ASSERT_EQ(parse_key_and_value(line.c_str(), &k, &v), 1);
    EXPECT_EQ(take(k), key.substr(0, 511));
    EXPECT_EQ(take(v), value.substr(2, 509));
}

TEST(MakeFields, SplitsInPlaceUpToLineFeed) {
    struct Case {
        std::string line;
        std::vector<std::string> fields;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {"\n a b", {}},
        {"one", {"one"}},
        {"  a\tb \v c\r\n d e", {"a", "b", "c"}},
        {"x\fy  ", {"x", "y"}},
    };
    for (const auto &c : cases) {
        std::string buffer = c.line;
        std::vector<char *> fields(buffer.size() / 2 + 1);
        int count = make_fields(buffer.data(), fields.data());
        std::vector<std::string> seen(fields.begin(), fields.begin() + count);
        EXPECT_EQ(seen, c.fields) << c.line;
    }
    std::string line = "a  b\nc";
    char *fields[3];
    ASSERT_EQ(make_fields(line.data(), fields), 2);
    EXPECT_EQ(line, std::string("a\0\0b\0c", 6));  // blanks and the line feed zeroed
}

TEST(NormalizeCid, AcceptsTwelveHexDigitsWithOptionalPrefix) {
    const char *format_error =
        "Incorrect CID format\n        Format is a 12-digit hexadecimal MAC address,\n"
        "        optionally prefixed by 'IEEE802.'";
    struct Case {
        const char *cid;
        Opt normal;
    } cases[] = {
        {"020000A1B2C3", "IEEE802.020000a1b2c3"},
        {"ieee802.020000A1B2C3", "IEEE802.020000a1b2c3"},
        {"IEEE802.abcdefABCDEF", "IEEE802.abcdefabcdef"},
        {"020000A1B2C", std::nullopt},
        {"020000A1B2C3D", std::nullopt},
        {"020000A1B2CG", std::nullopt},
        {"IEEE802.", std::nullopt},
        {"IEEE802.IEEE802.020000a1b2c3", std::nullopt},
        {"IEEE803.020000a1b2c3", std::nullopt},
        {"a.020000a1b2c3", std::nullopt},  // a hex first letter means no prefix
        {"", std::nullopt},
        {" 020000a1b2c3", std::nullopt},
    };
    for (const auto &c : cases) {
        char out[21];
        const char *error = "unset";
        char *result = zt_normalize_CID(c.cid, out, sizeof out, &error);
        if (c.normal) {
            EXPECT_EQ(result, out) << c.cid;
            EXPECT_EQ(std::string(out), *c.normal);
            EXPECT_EQ(error, nullptr);
        } else {
            EXPECT_EQ(result, nullptr) << c.cid;
            EXPECT_STREQ(error, format_error) << c.cid;
        }
    }
}

TEST(NormalizeCid, RefusesSmallBufferAndAbsentErrorText) {
    char out[21];
    const char *error = nullptr;
    EXPECT_EQ(zt_normalize_CID("020000a1b2c3", out, 20, &error), nullptr);
    EXPECT_STREQ(error, "Internal error: input buffer too small");
    EXPECT_EQ(zt_normalize_CID("020000a1b2c3", out, sizeof out, nullptr), nullptr);
}

TEST(GroupName, LetterThenAlphanumericOrDash) {
    const char *message =
        "Incorrect group name format\n        Group name format is ASCII letter\n"
        "        followed by ASCII alphanumeric or '-'";
    struct Case {
        std::string name;
        int valid;
    } cases[] = {
        {"g", 1}, {"Group-1", 1}, {"a" + std::string(255, 'b'), 1}, {"a" + std::string(256, 'b'), 0},
        {"", 0},  {"1group", 0},  {"group-", 0},  {"-g", 0},         {"gr oup", 0},
        {"gr_p", 0}, {"gr\xe9p", 0},
    };
    for (const auto &c : cases) {
        const char *error = "unset";
        EXPECT_EQ(zt_validate_multihead_group_name(c.name.c_str(), &error), c.valid) << c.name;
        if (c.valid) {
            EXPECT_EQ(error, nullptr);
        } else {
            EXPECT_STREQ(error, message) << c.name;
        }
    }
    EXPECT_EQ(zt_validate_multihead_group_name("g", nullptr), 0);
    const char *error = nullptr;
    EXPECT_EQ(zt_validate_multihead_group_name(nullptr, &error), 0);
}

TEST(Debug, CategoriesMatchAnyLetter) {
    set_suppress_output(1);  // keep set_gdebug's notes out of the log
    set_gdebug("ab");
    struct {
        const char *category;
        int on;
    } cases[] = {{"b", 1}, {"xb", 1}, {" ", 1}, {"c", 0}, {"", 0}, {nullptr, 0}};
    for (const auto &c : cases) EXPECT_EQ(gdebug(c.category), c.on) << (c.category ? c.category : "(null)");
    set_gdebug("*");
    for (const char *category : {"a", "z", "", " "}) EXPECT_EQ(gdebug(category), 1) << category;
    set_gdebug(nullptr);
    EXPECT_EQ(gdebug(" "), 0);
    set_suppress_output(0);
}

}  // namespace
