// Record dumps, allocation and release of the user, logical-token and
// raw-token records (no directory needed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "admin.h"
#include "admin_records.h"
#include "test_support.h"
#include "utils.h"

namespace {

// Runs `body` with standard error sent to a file and returns what it wrote.
std::string capture_stderr(const std::function<void()> &body) {
    zt::test::TempDir dir;
    std::string path = dir.path() + "/err";
    std::fflush(stderr);
    int saved = dup(2);
    FILE *f = std::fopen(path.c_str(), "w");
    dup2(fileno(f), 2);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(f);
    return zt::test::read_file(path);
}

char **ids(std::initializer_list<const char *> values) {
    auto **list = static_cast<char **>(std::calloc(values.size() + 1, sizeof(char *)));
    size_t i = 0;
    for (const char *v : values) list[i++] = strdup(v);
    return list;
}

TEST(RecordAllocate, EveryFieldStartsAbsentOrZero) {
    User *u = allocate_user();
    LogicalToken *lt = allocate_logical_token();
    RawToken *rt = allocate_raw_token();
    User zero_user{};
    LogicalToken zero_lt{};
    RawToken zero_rt{};
    EXPECT_EQ(0, std::memcmp(u, &zero_user, sizeof *u));
    EXPECT_EQ(0, std::memcmp(lt, &zero_lt, sizeof *lt));
    EXPECT_EQ(0, std::memcmp(rt, &zero_rt, sizeof *rt));
    free_user(u);
    free_logical_token(lt);
    free_raw_token(rt);
    // Null records are ignored.
    free_user(nullptr);
    free_logical_token(nullptr);
    free_raw_token(nullptr);
}

TEST(RecordPrint, UserWithSeveralTokensAndAbsentFields) {
    User *u = allocate_user();
    u->id = strdup("1700000000-1234");
    u->name = strdup("Jane Doe");
    u->create_time = 17;
    u->status = 2;
    u->last_time = -1;
    u->logical_token_ids = ids({"user.a", "user.b", "user.c"});
    std::string full = capture_stderr([&] { print_user(stdout, u, 0); });
    EXPECT_EQ("user:\n"
              "  id                 = 1700000000-1234\n"
              "  name               = Jane Doe\n"
              "  other_info         = (nil)\n"
              "  create_time        = 17\n"
              "  status             = 2\n"
              "  last_desktop       = (nil)\n"
              "  last_time          = -1\n"
              "  misc1              = (nil)\n"
              "  misc2              = (nil)\n"
              "  logical_token_ids  = user.a\n"
              "                     = user.b\n"
              "                     = user.c\n",
              full);
    std::string brief = capture_stderr([&] { print_user(nullptr, u, 1); });
    EXPECT_EQ(full.substr(0, full.find("  logical_token_ids")), brief);
    free_user(u);
}

TEST(RecordPrint, LogicalTokenWithoutRawTokens) {
    LogicalToken *lt = allocate_logical_token();
    lt->id = strdup("user.17");
    lt->session_type = strdup("default");
    lt->server_name = strdup("srv");
    lt->server_port = 7007;
    EXPECT_EQ("logical token:\n"
              "  id                 = user.17\n"
              "  token_name         = (nil)\n"
              "  session_type       = default\n"
              "  session_params     = (nil)\n"
              "  server_name        = srv\n"
              "  server_port        = 7007\n"
              "  misc1              = (nil)\n"
              "  misc2              = (nil)\n"
              "  raw_token_ids      = (nil)\n",
              capture_stderr([&] { print_logical_token(stdout, lt, 0); }));
    lt->raw_token_ids = ids({"card.1"});
    std::string out = capture_stderr([&] { print_logical_token(stdout, lt, 0); });
    EXPECT_NE(std::string::npos, out.find("  raw_token_ids      = card.1\n"));
    EXPECT_EQ(std::string::npos, capture_stderr([&] { print_logical_token(stdout, lt, 1); }).find("raw_token_ids"));
    free_logical_token(lt);
}

TEST(RecordPrint, RawTokenIgnoresBriefFlag) {
    RawToken *rt = allocate_raw_token();
    rt->id = strdup("card.77");
    rt->token_type = strdup("user");
    rt->token_state = strdup("unknown");
    rt->enabled = strdup("allowed");
    const std::string expected = "raw token:\n"
                                 "  id                 = card.77\n"
                                 "  secret             = (nil)\n"
                                 "  token_type         = user\n"
                                 "  token_state        = unknown\n"
                                 "  enabled            = allowed\n"
                                 "  misc1              = (nil)\n"
                                 "  misc2              = (nil)\n";
    EXPECT_EQ(expected, capture_stderr([&] { print_raw_token(stdout, rt, 0); }));
    EXPECT_EQ(expected, capture_stderr([&] { print_raw_token(stdout, rt, 1); }));
    free_raw_token(rt);
}

// One line per modification: "OP ATTR: v1|v2", OP being add, replace or delete.
std::vector<std::string> describe(zt::ModList &list) {
    std::vector<std::string> lines;
    for (LDAPMod **m = list.mods(); *m != nullptr; ++m) {
        int op = (*m)->mod_op & ~LDAP_MOD_BVALUES;
        std::string line = op == LDAP_MOD_ADD ? "add " : op == LDAP_MOD_REPLACE ? "replace " : "delete ";
        line += (*m)->mod_type;
        line += ":";
        for (char **v = (*m)->mod_values; v != nullptr && *v != nullptr; ++v) line += (v == (*m)->mod_values ? " " : "|") + std::string(*v);
        lines.push_back(line);
    }
    return lines;
}

using Lines = std::vector<std::string>;

// New entries list their attributes in a fixed order and leave absent ones
// out (an empty array too); changes replace every listed attribute, an
// absent value removing it. The directory tests check the stored result.
TEST(RecordEntries, AttributeOrderAndAbsentValues) {
    char *raw_ids[] = {const_cast<char *>("card.1"), const_cast<char *>("card.2"), nullptr};
    char *no_ids[] = {nullptr};
    char *lt_ids[] = {const_cast<char *>("user.9"), nullptr};
    RawToken rt{const_cast<char *>("card.1"), nullptr, const_cast<char *>("user"), nullptr,
                const_cast<char *>("denied"), nullptr, const_cast<char *>("")};
    LogicalToken lt{const_cast<char *>("user.9"), nullptr, const_cast<char *>("default"), nullptr, nullptr, 0,
                    nullptr, nullptr, raw_ids};
    LogicalToken lt_empty = lt;
    lt_empty.raw_token_ids = no_ids;
    User user{const_cast<char *>("ignored"), const_cast<char *>("Ann"), nullptr, 100, 1,
              const_cast<char *>("ab.12"), 200, nullptr, nullptr, lt_ids};
    struct Case {
        const char *what;
        zt::ModList list;
        Lines expected;
    } cases[] = {
        {"raw entry", zt::raw_token_entry(rt),
         {"add objectClass: ztRawToken", "add ztID: card.1", "add ztTokenType: user", "add ztEnabled: denied",
          "add ztMisc2: "}},
        {"raw changes", zt::raw_token_changes(rt),
         {"replace ztSecret:", "replace ztTokenType: user", "replace ztTokenState:", "replace ztEnabled: denied",
          "replace ztMisc1:", "replace ztMisc2: "}},
        {"logical entry", zt::logical_token_entry(lt, true),
         {"add objectClass: ztLogicalToken", "add ztID: user.9", "add ztSessionType: default",
          "add ztServerPort: 0", "add ztRawTokenIDs: card.1|card.2"}},
        {"logical entry, no raw IDs wanted", zt::logical_token_entry(lt, false),
         {"add objectClass: ztLogicalToken", "add ztID: user.9", "add ztSessionType: default",
          "add ztServerPort: 0"}},
        {"logical entry, empty raw IDs", zt::logical_token_entry(lt_empty, true),
         {"add objectClass: ztLogicalToken", "add ztID: user.9", "add ztSessionType: default",
          "add ztServerPort: 0"}},
        {"logical changes", zt::logical_token_changes(lt),
         {"replace ztTokenName:", "replace ztSessionType: default", "replace ztSessionParams:",
          "replace ztServerName:", "replace ztServerPort: 0", "replace ztMisc1:", "replace ztMisc2:"}},
        {"user entry", zt::user_entry(user, "9"),
         {"add objectClass: ztUser", "add ztID: 9", "add ztName: Ann", "add ztFirstTime: 100",
          "add ztLogicalTokenIDs: user.9"}},
        {"user changes", zt::user_changes(user),
         {"replace ztName: Ann", "replace ztOtherInfo:", "replace ztFirstTime: 100", "replace ztStatus: 1",
          "replace ztLastDesktop: ab.12", "replace ztLastTime: 200", "replace ztMisc1:", "replace ztMisc2:"}},
        {"unlink", zt::value_deleted("ztLogicalTokenIDs", "user.9"), {"delete ztLogicalTokenIDs: user.9"}},
    };
    for (Case &c : cases) EXPECT_EQ(c.expected, describe(c.list)) << c.what;
}

TEST(UserId, CandidateKeepsLastFourDigitsOfTheRandomNumber) {
    struct Case {
        long random;
        const char *expected;
    } cases[] = {
        {1804289383, "1700000000-9383"}, {4567, "1700000000-4567"}, {42, "1700000000-42"}, {0, "1700000000-0"},
        {10000, "1700000000-0000"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, zt::user_id_candidate(1700000000L, c.random)) << c.random;
}

// Reads the lines the library logged to the $ZTADMIN_LOG mirror.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = dir_.path() + "/log";
        setenv("ZTADMIN_LOG", log_path_.c_str(), 1);
    }
    void TearDown() override { unsetenv("ZTADMIN_LOG"); }
    std::string logged() const { return zt::test::read_file(log_path_); }

    zt::test::TempDir dir_;
    std::string log_path_;
};

TEST_F(LoggedTest, LogicalTokenFilterEscapesValuesAndPutsRawIdFirst) {
    std::string filter;
    ASSERT_EQ(0, zt::logical_token_filter("user.(x)", "card.*", filter));
    EXPECT_EQ("(&(objectclass=ztLogicalToken)(ztrawtokenids=card.\\2a)(ztID=user.\\28x\\29))", filter);
    ASSERT_EQ(0, zt::logical_token_filter(nullptr, "card.1", filter));
    EXPECT_EQ("(&(objectclass=ztLogicalToken)(ztrawtokenids=card.1))", filter);
    EXPECT_EQ("", logged());
}

TEST_F(LoggedTest, OverlongIdsAreRefusedWithoutAsking) {
    // Lengths count the text as written, before escaping: "(ztID=" + id + ")"
    // reaches 128 characters with a 121-character ID.
    const std::string id_fits(120, 'a'), id_long(121, 'a');
    const std::string raw_long(114, 'r');  // "(ztrawtokenids=" + 114 + ")" = 130
    struct Case {
        const char *lt;
        const char *rt;
        AdminStatus status;
        const char *message;
    } cases[] = {
        {id_long.c_str(), nullptr, ADMIN_ERR_NO_BUFFER, "_zt_logicalTokenExists(): logical token name too long"},
        {nullptr, raw_long.c_str(), ADMIN_ERR_NO_BUFFER, "_zt_logicalTokenExists(): raw token name too long"},
        // Each part fits, the whole filter does not.
        {id_fits.c_str(), nullptr, ADMIN_ERR_NO_BUFFER, "_zt_logicalTokenExists(): database search filter too long"},
        {nullptr, nullptr, ADMIN_ERR_INVALID_ARGS, nullptr},
    };
    for (const Case &c : cases) {
        std::remove(log_path_.c_str());
        EXPECT_EQ(c.status, _zt_logicalTokenExists(nullptr, c.lt, c.rt, 0));
        EXPECT_EQ(c.message ? "14 " + std::string(c.message) + "\n" : "", logged());
    }
    std::remove(log_path_.c_str());
    const std::string raw_fits(93, 'r'), raw_over(94, 'r');  // "(&(objectclass=ztRawToken)(ztID=" is 32, "))" 2
    EXPECT_EQ(ADMIN_ERR_INVALID_ARGS, _zt_rawTokenExists(nullptr, raw_fits.c_str(), 0));
    EXPECT_EQ(ADMIN_ERR_NO_BUFFER, _zt_rawTokenExists(nullptr, raw_over.c_str(), 0));
    EXPECT_EQ("14 _zt_rawTokenExists(): database search filter too long\n", logged());
    EXPECT_EQ(ADMIN_ERR_INVALID_ARGS, _zt_rawTokenExists(nullptr, nullptr, 0));
}

}  // namespace
