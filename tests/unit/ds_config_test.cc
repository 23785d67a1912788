// Reader of the directory server's configuration: line joining, tokens,
// directives, messages and the backend look-up.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin_private.h"
#include "test_support.h"

namespace {

using zt::test::TempDir;

// ------------------------------------------------------------- helpers

std::string join(char **array) {
    std::string text = "[";
    for (int i = 0; array != nullptr && array[i] != nullptr; ++i) text += (i ? "," : "") + std::string(array[i]);
    return text + "]";
}

std::string dump_tree(const TreeS *tree) {
    std::string text;
    for (; tree != nullptr; tree = tree->next) {
        text += "{sub=";
        for (const SubtreeNode *node = tree->subtrees; node != nullptr; node = node->next)
            text += "<" + std::string(node->dn) + (node->flag == 1 ? ">" : "!flag>");
        text += " ref=" + join(tree->referrals);
        if (tree->replicadn != nullptr) text += " rdn=" + std::string(tree->replicadn);
        text += "}";
    }
    return text;
}

// One line per backend: type, suffixes, root DN, replicas, slaves, masters.
std::string dump(const BackendList &list) {
    std::string text;
    for (int i = 0; i < list.count; ++i) {
        const Backend &b = list.backends[i];
        text += std::string(b.type ? b.type : "-") + " suf=" + join(b.suffixes) +
                " root=" + (b.rootdn ? b.rootdn : "-") + " rep=" + join(b.replicas) +
                " slaves=" + dump_tree(b.slaves) + " masters=" + dump_tree(b.masters) + "\n";
    }
    return text;
}

// Each test gets its own root tree and log mirror.
class DsConfig : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZTADMIN_ROOT", dir_.path().c_str(), 1);
        setenv("ZTADMIN_LOG", log_path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZTADMIN_ROOT");
        unsetenv("ZTADMIN_LOG");
    }
    std::string config_path() const { return dir_.path() + zt::kDsConfigPath; }
    std::string log_path() const { return dir_.path() + "/log"; }
    void write_config(const std::string &text) const { dir_.write(std::string(zt::kDsConfigPath).substr(1), text); }
    // The logged texts, each line without the priority.
    std::string logged() const {
        std::string text = zt::test::read_file(log_path()), out;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end - pos);
            out += line.substr(line.find(' ') + 1) + "\n";
            pos = end + 1;
        }
        return out;
    }

    TempDir dir_;
};

// --------------------------------------------------------- read_ds_config

struct ReadCase {
    const char *name;
    std::string config;
    AdminStatus status;
    std::string backends;  // dump(); must be empty after a failure
    std::string log;       // "%F" stands for the file's path
};

std::string expand(std::string text, const std::string &path) {
    for (size_t pos; (pos = text.find("%F")) != std::string::npos;) text.replace(pos, 2, path);
    return text;
}

const std::string kLong(1000, 'x');

const ReadCase kReadCases[] = {
    {"comments_blank_lines_and_unknown_directives_give_an_empty_list",
     "# comment\n\n   \npull_replica host=a\ninclude other.conf\nloglevel 256\n", 0, "", ""},
    {"full_backend",
     "database ldbm\n"
     "suffix \"o=ztdata\"\n"
     "rootdn cn=old\n"
     "rootdn \"cn=Directory Manager, o=ztdata\"\n"
     "replica host=r1:389 binddn=x\n"
     "push_replica binddn=x HOST=r2:636\n"
     "slave subtree=\"ou=a b,o=ztdata\" SubTree=o=ztdata referral=ldap://m1:389 replicadn=cn=r1 "
     "replicadn=cn=r2 referral=ldap://m2:389 bogus=1\n"
     "slave referral=ldap://m3:389\n"
     "master subtree=o=one referral=ignored replicadn=ignored\n"
     "database BDB\n"
     "SUFFIX o=other\n",
     0,
     "ldbm suf=[o=ztdata] root=cn=Directory Manager, o=ztdata rep=[r1:389,r2:636] "
     "slaves={sub= ref=[ldap://m3:389]}{sub=<o=ztdata><ou=a b,o=ztdata> ref=[ldap://m1:389,ldap://m2:389] "
     "rdn=cn=r2} masters={sub=<o=one> ref=[]}\n"
     "- suf=[o=other] root=- rep=[] slaves= masters=\n",
     ""},
    {"database_type_is_case_blind", "DataBase LdBm\n", 0, "ldbm suf=[] root=- rep=[] slaves= masters=\n", ""},
    {"continuation_with_a_comment_in_between_joins_the_items",
     "database ldbm\nslave subtree=o=ztdata\n# between\n\treferral=ldap://h:1\n  replicadn=cn=r\nsuffix o=ztdata\n", 0,
     "ldbm suf=[o=ztdata] root=- rep=[] slaves={sub=<o=ztdata> ref=[ldap://h:1] rdn=cn=r} masters=\n", ""},
    {"blank_line_then_indented_line_forms_its_own_line", "database ldbm\n\n\tsuffix o=x\n", 0,
     "ldbm suf=[o=x] root=- rep=[] slaves= masters=\n", ""},
    {"directives_outside_a_database_are_ignored",
     "suffix o=a\nrootdn cn=a\nreplica host=h\nslave referral=x\nmaster subtree=y\n", 0, "",
     "read_ds_config(): [line 1] suffix line must appear inside a database definition in %F file. (ignored)\n"
     "read_ds_config(): [line 2] rootdn line must appear inside a database definition in %F file. (ignored)\n"
     "read_ds_config(): [line 3] replica line must appear inside a database definition in %F file. (ignored)\n"
     "read_ds_config(): [line 4] slave line must appear inside a database definition in %F file. (ignored)\n"
     "read_ds_config(): [line 5] master line must appear inside a database definition in %F file. (ignored)\n"},
    {"replica_without_host_item_is_ignored", "database ldbm\nreplica h:389\nsuffix o=x\n", 0,
     "ldbm suf=[o=x] root=- rep=[] slaves= masters=\n",
     "read_ds_config(): [line 2] missing host in \"replica\" line in %F file. (ignored)\n"},
    {"suffix_with_extra_words_keeps_the_first", "database ldbm\nsuffix o=a o=b\n", 0,
     "ldbm suf=[o=a] root=- rep=[] slaves= masters=\n",
     "read_ds_config(): [line 2] extra nonsense after <dn> in \"suffix o=a\" line in %F file. (ignored)\n"},
    {"each_include_line_adds_one_to_later_line_numbers",
     "include a\n# c\ninclude b\nsuffix o=x\n", 0, "",
     "read_ds_config(): [line 6] suffix line must appear inside a database definition in %F file. (ignored)\n"},
    {"database_without_type_fails", "database ldbm\nsuffix o=x\ndatabase\n", -1, "",
     "read_ds_config(): [line 3] missing type in \"database <type>\" line in %F file.\n"},
    {"suffix_without_dn_fails", "database ldbm\n  \nsuffix\n", -1, "",
     "read_ds_config(): [line 3] missing dn in \"suffix <dn>\" line in %F file.\n"},
    {"rootdn_without_dn_fails", "database ldbm\nrootdn\n", -1, "",
     "read_ds_config(): [line 2] missing dn in \"rootdn <dn>\" line in %F file.\n"},
    {"push_replica_without_arguments_fails", "database ldbm\npush_replica\n", -1, "",
     "read_ds_config(): [line 2] missing host in \"replica <host[:port]>\" line in%F file.\n"},
    {"line_of_999_characters_is_accepted", "database ldbm\nsuffix " + std::string(992, 's') + "\n", 0,
     "ldbm suf=[" + std::string(992, 's') + "] root=- rep=[] slaves= masters=\n", ""},
    {"line_of_1000_characters_fails", "database ldbm\n" + kLong + "\n", -1, "",
     "fp_getline(): buffer larger than 1000\n"},
    {"continuation_reaching_1000_characters_fails",
     "database ldbm\nsuffix o=x\n" + std::string(" ") + std::string(989, 'y') + "\n", -1, "",
     "fp_getline(): buffer larger than 1000\n"},
    {"physical_line_longer_than_the_buffer_fails", "database ldbm\nsuffix " + std::string(3000, 'z') + "\n", -1, "",
     "fp_getline(): buffer larger than 1000\n"},
};

void PrintTo(const ReadCase &c, std::ostream *os) { *os << c.name; }

class ReadDsConfig : public DsConfig, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadDsConfig, BuildsListAndLogs) {
    const ReadCase &c = GetParam();
    write_config(c.config);
    BackendList list{};
    EXPECT_EQ(read_ds_config(&list), c.status);
    EXPECT_EQ(dump(list), c.backends);
    EXPECT_EQ(logged(), expand(c.log, config_path()));
    if (c.status != 0) {
        EXPECT_EQ(list.backends, nullptr);
    }
    free_backend(&list);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadDsConfig, ::testing::ValuesIn(kReadCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(DsConfig, MissingFileNamesThePathAndLeavesTheListAlone) {
    BackendList list{};
    ASSERT_NE(new_backend(&list, "ldbm"), nullptr);
    EXPECT_EQ(read_ds_config(&list), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(logged(), "read_ds_config(): could not open config file \"" + config_path() +
                            "\" (No such file or directory)\n");
    free_backend(&list);
}

TEST_F(DsConfig, MoreThan100TokensEndTheProcess) {
    std::string line = "slave";
    for (int i = 0; i < 100; ++i) line += " x";
    write_config("database ldbm\n" + line + "\n");
    // A plain child rather than a death test: the log must land in this
    // test's own directory whatever the death-test style.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        BackendList list{};
        read_ds_config(&list);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_EQ(logged(), "fp_parse_line(): Too many tokens (max 100)\n");
}

// ------------------------------------------------------------ fp_getline

struct Got {
    int rc;
    int lineno;
    std::string line;
    bool operator==(const Got &) const = default;
};

void PrintTo(const Got &g, std::ostream *os) { *os << "{" << g.rc << "," << g.lineno << ",\"" << g.line << "\"}"; }

// Every result of fp_getline over `text` up to and including the first
// non-zero one, with the counter starting at -1.
std::vector<Got> all_lines(const std::string &text, int bufsize = 1024, int linesize = 1000) {
    std::vector<Got> out;
    std::string copy = text;
    FILE *fp = fmemopen(copy.data(), copy.size(), "r");
    if (fp == nullptr) fp = std::fopen("/dev/null", "r");  // fmemopen refuses size 0
    std::vector<char> buf(bufsize, '\0'), line(linesize, '\0');
    int lineno = -1;
    for (int rc = 0; rc == 0 && out.size() < 50;) {
        rc = fp_getline(fp, &lineno, buf.data(), bufsize, line.data(), linesize);
        out.push_back({rc, lineno, rc == 0 ? line.data() : ""});
    }
    std::fclose(fp);
    return out;
}

TEST(FpGetline, JoinsContinuationsAndCountsPhysicalLines) {
    // The counter stands on the last physical line consumed before the
    // look-ahead: comments and continuations move it on.
    EXPECT_EQ(all_lines("a\n b\n#c\n\td\ne"),
              (std::vector<Got>{{0, 0, ""}, {0, 4, "a b\td"}, {0, 5, "e"}, {-18, 6, ""}}));
    EXPECT_EQ(all_lines(""), (std::vector<Got>{{-18, 0, ""}}));
    EXPECT_EQ(all_lines("\n\nx\n"), (std::vector<Got>{{0, 0, ""}, {0, 1, ""}, {0, 2, ""}, {0, 3, "x"}, {-18, 4, ""}}));
    // A line of whitespace only is delivered empty.
    EXPECT_EQ(all_lines("  \t\nx\n"), (std::vector<Got>{{0, 1, ""}, {0, 2, "x"}, {-18, 3, ""}}));
}

TEST(FpGetline, IncludeLineTakesNoContinuationsAndCostsOneNumber) {
    EXPECT_EQ(all_lines("INCLUDE f\n\tcont\nx\n"),
              (std::vector<Got>{{0, 0, ""}, {0, 1, "INCLUDE f"}, {0, 3, "\tcont"}, {0, 4, "x"}, {-18, 5, ""}}));
}

TEST(FpGetline, OverLongCommentIsDroppedWhole) {
    std::string comment = "#" + std::string(3000, 'c') + "\n";
    EXPECT_EQ(all_lines(comment + "x\n"), (std::vector<Got>{{0, 1, ""}, {0, 2, "x"}, {-18, 3, ""}}));
}

TEST(FpGetline, RefusesLinesThatReachTheLineSize) {
    EXPECT_EQ(all_lines(std::string(9, 'a') + "\n", 64, 10),
              (std::vector<Got>{{0, 0, ""}, {0, 1, std::string(9, 'a')}, {-18, 2, ""}}));
    EXPECT_EQ(all_lines(std::string(10, 'a') + "\n", 64, 10).back().rc, -1);
    EXPECT_EQ(all_lines("abcd\n" + std::string(6, ' ') + "\n", 64, 10).back().rc, -1);
    EXPECT_EQ(all_lines("abcd\n" + std::string(6, ' ') + "\n", 64, 11).back().rc, -18);
    // Physical lines longer than the buffer arrive in pieces; none may
    // overflow the line.
    EXPECT_EQ(all_lines("a\n" + std::string(100, ' ') + "\n", 8, 40).back().rc, -1);
}

// ----------------------------------------------------------- strtok_quote

struct TokCase {
    const char *text;
    std::vector<std::string> tokens;
};

const TokCase kTokCases[] = {
    {"", {}},
    {" \t ", {}},
    {"a b\tc", {"a", "b", "c"}},
    {"  lead   trail  ", {"lead", "trail"}},
    {"\"a b\" c", {"a b", "c"}},
    {"x\"a b\"y z", {"xa by", "z"}},
    {"\"\"", {""}},
    {"\"open quote runs to the end", {"open quote runs to the end"}},
    {"a\\ b", {"a", "b"}},            // a backslash does not protect a blank
    {"a\\\"b c\" d", {"ab c", "d"}},  // nor a quote
    {"a\\\\b", {"ab"}},               // every backslash goes
    {"subtree=\"ou=x y,o=z\"\treferral=r", {"subtree=ou=x y,o=z", "referral=r"}},
    {"a\nb", {"a\nb"}},  // only blanks and tabs separate
};

TEST(StrtokQuote, SplitsAtBlanksAndTabsHonouringQuotes) {
    for (const TokCase &c : kTokCases) {
        std::string text = c.text;
        std::vector<std::string> got;
        char *next = nullptr;
        for (char *t = strtok_quote(text.data(), " \t", &next); t != nullptr; t = strtok_quote(nullptr, " \t", &next))
            got.emplace_back(t);
        EXPECT_EQ(got, c.tokens) << "text: " << c.text;
        EXPECT_EQ(next, nullptr) << "text: " << c.text;
        EXPECT_EQ(strtok_quote(nullptr, " \t", &next), nullptr);
    }
}

TEST(FpParseLine, StoresUpTo100TokensAndANullEntry) {
    std::string line;
    for (int i = 0; i < 100; ++i) line += " t" + std::to_string(i);
    char *argv[101];
    std::memset(argv, 0xff, sizeof argv);
    int argc = -1;
    fp_parse_line(line.data(), &argc, argv, 100);
    ASSERT_EQ(argc, 100);
    EXPECT_STREQ(argv[0], "t0");
    EXPECT_STREQ(argv[99], "t99");
    EXPECT_EQ(argv[100], nullptr);

    std::string empty = " \t ";
    fp_parse_line(empty.data(), &argc, argv, 100);
    EXPECT_EQ(argc, 0);
    EXPECT_EQ(argv[0], nullptr);
}

TEST(FpParseLine, OneTokenTooManyExitsWithStatus1) {
    std::string line = "a b c";
    char *argv[3];
    int argc = 0;
    EXPECT_EXIT(fp_parse_line(line.data(), &argc, argv, 2), ::testing::ExitedWithCode(1), "");
}

// ---------------------------------------------------- backends and look-up

BackendList make_list(const std::vector<std::vector<const char *>> &suffixes) {
    BackendList list{};
    for (const auto &backend_suffixes : suffixes) {
        Backend *b = new_backend(&list, "ldbm");
        for (const char *s : backend_suffixes) zt_add_array(&b->suffixes, strdup(s));
    }
    return list;
}

TEST(SelectBackend, MatchesSuffixAtTheEndWithoutRegardToCase) {
    BackendList list = make_list({{"cn=x,o=ztdata"}, {"o=other", "O=ZTDATA"}, {"o=ztdata"}, {"dc=com"}});
    struct {
        const char *dn;
        int index;
    } cases[] = {
        {"o=ztdata", 1},         // a longer suffix is skipped; the first match wins
        {"cn=x,o=ztdata", 0},    // equal
        {"uid=1,o=ZtData", 1},   // final part
        {"xo=ztdata", 1},        // no RDN boundary check
        {"dc=example,dc=com", 3},
        {"o=none", -1},
        {"", -1},
    };
    for (const auto &c : cases) {
        Backend *got = select_backend(&list, c.dn);
        EXPECT_EQ(got, c.index < 0 ? nullptr : &list.backends[c.index]) << c.dn;
    }
    EXPECT_EQ(select_backend(&list, nullptr), nullptr);
    free_backend(&list);
    EXPECT_EQ(select_backend(&list, "o=ztdata"), nullptr);
}

TEST(NewBackend, GrowsByTenZeroFilledSlots) {
    BackendList list{};
    for (int i = 0; i < 21; ++i) {
        Backend *b = new_backend(&list, i % 2 ? "LDBM" : "bdb");
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->suffixes, nullptr);
        EXPECT_EQ(b->slaves, nullptr);
        if (i % 2)
            EXPECT_STREQ(b->type, "ldbm");
        else
            EXPECT_EQ(b->type, nullptr);
    }
    EXPECT_EQ(list.count, 21);
    EXPECT_EQ(list.capacity, 30);
    free_backend(&list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.capacity, 0);
    EXPECT_EQ(list.backends, nullptr);
}

}  // namespace
