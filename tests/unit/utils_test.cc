// SPDX-License-Identifier: GPL-3.0-or-later
// utils_test.cc - argument splitting, line splitting, text helpers, identifier and token-ID syntax, status texts, keyed
// lists, line arrays of key=value files, HTML escaping and the package lookup through the pkginfo stand-in.
#include <sys/stat.h>

#include <cerrno>
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

// The first failing rule in scan order decides the reason; null means legal.
TEST(LegalToken, ReasonTableAndClasses) {
    const std::string id64 = "a." + std::string(62, 'b');
    const char *letter = "Letter required but not found", *after = "Letter or digit required but not found",
               *ends = "Final character must be letter or digit", *illegal = "Illegal character";
    for (const auto &[id, expected] : {std::pair<std::string, const char *>{"", letter}, {"-ab.c", letter},
             {"1a.b", letter}, {"a..b", after}, {"a._b", after}, {"a-.b", "Letter or digit required before period"},
             {"a.b c", illegal}, {"a\xe9.b", illegal}, {"abc", "At least one period is required"}, {"abc.", ends},
             {"ab-", ends}, {"a.b_c-d", nullptr}, {"A9.Z0", nullptr}, {id64, nullptr}, {id64 + "c", "Too long"},
             {id64 + " ", illegal},          // the 65th character passes the other rules first
             {id64 + "cc d", "Too long"}}) {  // a fault beyond it is never reached
        const char *reason = "untouched";
        EXPECT_EQ(zt_isLegalToken(id.c_str(), &reason), expected == nullptr) << id;
        EXPECT_STREQ(reason, expected ? expected : "untouched") << id;
        EXPECT_EQ(zt_isLegalToken(id.c_str(), nullptr), expected == nullptr) << id;
    }
    const char *reason = nullptr;
    EXPECT_EQ(zt_isLegalToken(nullptr, &reason), 0);
    EXPECT_STREQ(reason, "Token pointer is NULL");

    // legal_raw_token_id, zt_isDtuBoundToken, zt_isDsLogicalToken; prefixes ignore case.
    for (auto [id, raw, dtu_bound, logical] : {std::tuple<const char *, int, int, int>{"card.12345", 1, 0, 0},
             {"a.b.c", 0, 0, 0}, {nullptr, 0, 0, 0}, {"PSEUDO.0200001234", 1, 1, 0}, {"pseudo", 0, 0, 0},
             {"escape.x1", 1, 1, 0}, {"terminalid.abc", 1, 1, 0}, {"TerminalId.", 0, 0, 0}, {"User.5", 1, 0, 1},
             {"users.5", 1, 0, 0}, {"user..5", 0, 0, 0}}) {
        EXPECT_EQ(legal_raw_token_id(id), raw) << id;
        EXPECT_EQ(zt_isDtuBoundToken(id), dtu_bound) << id;
        EXPECT_EQ(zt_isDsLogicalToken(id), logical) << id;
    }
}

TEST(Errors, TextsAndForeignCodeMappings) {
    const char *undefined = "Undefined error code";
    for (auto [code, text] : {std::pair<AdminStatus, const char *>{ADMIN_SUCCESS, "Success"}, {-21, undefined},
             {ADMIN_ERR_DB_UNREACHABLE, "Unable to contact admin database"}, {-34, undefined}, {1, undefined},
             {ADMIN_ERR_SESSION_DETACHED, "Session detached"}, {-33, "Data replication timed out"}, {3, undefined},
             {ADMIN_ERR_UNKNOWN, "Unknown system error"}, {-2147483647 - 1, undefined}})
        EXPECT_STREQ(zt_err2str(code), text) << code;

    // The mappings of foreign error numbers.
    for (auto [err, want] : {std::pair{0, 0}, {ENOENT, -19}, {ENOMEM, -10}, {EACCES, -5}, {EEXIST, -7}, {EPERM, -16}})
        EXPECT_EQ(zt_errno2zterr(err, ADMIN_ERR_FILE_ACCESS), want) << err;
    EXPECT_EQ(zt_errno2zterr(EISDIR, ADMIN_ERR_INTERNAL), ADMIN_ERR_INTERNAL);
    for (auto [ldap_code, result] : {std::pair{0, 0}, {10, -29}, {50, -5}, {68, -7}, {32, -1}, {-1, -1}})
        EXPECT_EQ(zt_dserr2zterr(ldap_code), result) << ldap_code;
}

TEST(KeyedList, OrderedInsertionAndLookup) {
    // Keys inserted in this order, the list order, and the data found for "b" (equal keys: newest first).
    for (auto [keys, order, expected, found_b] :
         {std::tuple<Strings, int, Strings, const char *>{{"b", "a", "c"}, 0, {"a", "b", "c"}, "b0"},
          {{"b", "a", "c"}, 1, {"c", "b", "a"}, "b0"}, {{"b", "a", "b", "a"}, 0, {"a", "a", "b", "b"}, "b2"}}) {
        LinkedListNode *list = nullptr;
        for (size_t i = 0; i < keys.size(); ++i) {
            std::string data = keys[i] + std::to_string(i);
            ASSERT_EQ(zt_addNode2List(&list, strdup(keys[i].c_str()), strdup(data.c_str()), order), 0);
        }
        Strings seen;
        for (LinkedListNode *node = list; node != nullptr; node = node->next) seen.push_back(node->key);
        EXPECT_EQ(seen, expected);
        void *found = nullptr;
        EXPECT_EQ(zt_findLinkedListNode(list, "b", &found), 0);
        EXPECT_STREQ(static_cast<char *>(found), found_b);
        EXPECT_EQ(zt_findLinkedListNode(list, "B", &found), ADMIN_ERR_NOT_FOUND);
        zt_freeLinkedList(list, std::free);
    }
    LinkedListNode *list = nullptr;
    char text[] = "k";
    EXPECT_EQ(zt_addNode2List(&list, text, text, 2), ADMIN_ERR_INVALID_ARGS);
}

// A line array as file_to_array leaves it: owned lines, a null after the last.
struct Lines {
    explicit Lines(const Strings &lines = {}) { for (const auto &l : lines) data[count++] = strdup(l.c_str()); }
    ~Lines() { free_string_array(data.data(), count); }
    std::vector<char *> data = std::vector<char *>(ZT_MAX_LINES + 1, nullptr);
    int count = 0;
};

TEST(LineArray, FindEditMergeAndFiles) {
    Lines lines({"# NAME=commented\n", "ulimit -n NAME=1\n", "NAME= x \n", "PATH=/bin\n", "EMPTY=\n", "MULTI==a==b\n"});
    for (auto [key, count, index] : {std::tuple{"NAME", 6, 2}, {"commented", 6, -1}, {"/bin", 6, 3}, {"PATH", 3, -1}})
        EXPECT_EQ(index_of(lines.data.data(), count, key), index) << key;
    for (auto [key, value] : {std::pair<const char *, Opt>{"NAME", "x"}, {"EMPTY", {}}, {"MULTI", "a"}, {"NONE", {}}})
        EXPECT_EQ(take(get_value(lines.data.data(), lines.count, key)), value) << key;
    // key_index_of compares a line's key with as many leading characters of the search key, and stops
    // at a line without "="; same_keyValue compares up to the next "=" or the end of the line.
    Lines keyed({"PATH=/bin\n", "B=2=3\n", "no equals here\n", "LATE=1\n"});
    for (auto [key, count, index] : {std::tuple{"PATHNAME", 4, 0}, {"PAT", 4, -1}, {"B", 1, -1}, {"LATE", 4, -1}})
        EXPECT_EQ(key_index_of(keyed.data.data(), count, key), index) << key;
    for (auto [key, value, same] : {std::tuple{"PATH", "/bin\n", 1}, {"PATH", "/bin", 0}, {"B", "2", 1}})
        EXPECT_EQ(same_keyValue(keyed.data.data(), key, value), same) << key << value;

    Lines edited({"# PATH=x\n", "PATH=/bin\n"});
    EXPECT_EQ(replace_line(edited.data.data(), edited.count, "PATH", "/usr/bin"), 0);
    EXPECT_STREQ(edited.data[1], "PATH=/usr/bin\n");
    EXPECT_EQ(replace_line(edited.data.data(), edited.count, "NONE", "x"), -1);
    EXPECT_EQ(append_line(edited.data.data(), &edited.count, "NEW", std::string(300, 'v').c_str()), 0);
    EXPECT_EQ(edited.data[2], "NEW=" + std::string(251, 'v'));  // cut to 255 bytes
    while (edited.count < ZT_MAX_LINES) ASSERT_EQ(append_line(edited.data.data(), &edited.count, "K", "V"), 0);
    EXPECT_EQ(append_line(edited.data.data(), &edited.count, "K", "V"), -1);
    EXPECT_EQ(edited.count, ZT_MAX_LINES);

    char **destination = nullptr, **source = nullptr;
    for (const char *line : {"A=1\n", "B=2\n"}) zt_add_array(&destination, strdup(line));
    for (const char *line : {"B=9\n", "C=3\n", "A=8\n"}) zt_add_array(&source, strdup(line));
    EXPECT_EQ(merge_keyValue_arrays(&destination, source), 0);
    EXPECT_EQ(merge_keyValue_arrays(&destination, nullptr), 0);
    EXPECT_EQ(Strings(destination, destination + num_strings(destination)), (Strings{"A=1\n", "B=2\n", "C=3\n"}));
    zt_free_array(destination);
    zt_free_array(source);

    TempDir dir;
    std::string contents = "A=1\n\n" + std::string(300, 'L') + "\n";
    for (int i = 0; i < 1000; ++i) contents += "K=v\n";
    Lines read;
    read.count = file_to_array(dir.write("profile", contents).c_str(), read.data.data());
    ASSERT_EQ(read.count, ZT_MAX_LINES);
    EXPECT_EQ(read.data[3], std::string(45, 'L') + "\n");  // a long line arrives in two pieces
    EXPECT_EQ(read.data[ZT_MAX_LINES], nullptr);
    EXPECT_EQ(array_to_file((dir.path() + "/out").c_str(), read.data.data(), 5), 0);
    EXPECT_EQ(read_file(dir.path() + "/out"), "A=1\n\n" + std::string(300, 'L') + "\nK=v\n");
    EXPECT_EQ(file_to_array((dir.path() + "/absent").c_str(), read.data.data()), -1);
    EXPECT_EQ(array_to_file((dir.path() + "/no/such/dir").c_str(), read.data.data(), 1), -1);
}

TEST(SafeStr, EscapesHtmlSpecials) {
    for (auto [in, out] : {std::pair<const char *, const char *>{nullptr, "&nbsp;"}, {"", "&nbsp;"},
                           {"plain 'text'", "plain 'text'"}, {"a&b", "a&#038;b"}, {"<\">", "&#060;&#034;&#062;"}})
        EXPECT_EQ(take(zt_safe_str(in)), out);
    EXPECT_EQ(take(zt_safe_str(std::string(1000, '&').c_str()))->size(), 6000u);
}

TEST(PackageRoot, LookupsAndRefusals) {
    RootDir dir;
    LogFile log;
    dir.link_program("pkginfo", "bin/pkginfo");
    std::string name98(98, 'P');
    dir.write("var/sadm/pkg/" + name98 + "/pkginfo", "NAME=x\nBASEDIR=/srv/x dir\nVERSION=1\n");
    auto lookup = [&](const std::string &package) {
        log.clear();
        Opt root = take(get_package_root(package.c_str()));
        return std::make_pair(root, log.all());
    };
    const std::string prefix = "14 get_package_root(): ", invalid = prefix + "Invalid package name\n";
    EXPECT_EQ(lookup(name98), std::make_pair(Opt("/srv/x dir"), std::string()));
    EXPECT_EQ(lookup("KRVXnone"), std::make_pair(Opt(), prefix + "Got unexpected data from pkginfo\n"));
    for (const auto &name : Strings{"a;touch x", "$(id)", "", name98 + "P"}) {  // the name reaches a shell
        EXPECT_EQ(lookup(name), std::make_pair(Opt(), invalid)) << name;
    }
    // A program that fails after one line, and one that prints two.
    for (auto [tail, message] : {std::pair{"exit 3", "Could not get package location\n"},
                                 {"echo /usr", "Got unexpected data from pkginfo\n"}}) {
        std::filesystem::remove(dir.path() + "/bin/pkginfo");
        chmod(dir.write("bin/pkginfo", std::string("#!/bin/sh\necho /opt\n") + tail + "\n").c_str(), 0755);
        EXPECT_EQ(lookup(name98), std::make_pair(Opt(), prefix + message)) << tail;
    }
}

}  // namespace
