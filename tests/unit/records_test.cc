// Record dumps, allocation and release of the user, logical-token and
// raw-token records (no directory needed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "admin.h"
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

}  // namespace
