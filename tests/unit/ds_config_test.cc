// SPDX-License-Identifier: GPL-3.0-or-later
// Reader of the directory server's configuration: line joining, tokens, directives, messages and the backend look-up.
#include "admin_private.h"
#include "test_support.h"

namespace {

std::string join(char **array) {
    std::string text = "[";
    for (int i = 0; array != nullptr && array[i] != nullptr; ++i) text += (i ? "," : "") + std::string(array[i]);
    return text + "]";
}

std::string dump_tree(const TreeS *tree) {
    std::string text;
    for (; tree != nullptr; tree = tree->next) {
        text += "{sub=";
        for (const SubtreeNode *n = tree->subtrees; n != nullptr; n = n->next) text += "<" + std::string(n->dn) + ">";
        text += " ref=" + join(tree->referrals) + (tree->replicadn ? " rdn=" + std::string(tree->replicadn) : "") + "}";
    }
    return text;
}

// One line per backend: type, suffixes, root DN, replicas, slaves, masters.
std::string dump(const BackendList &list) {
    std::string text;
    for (const Backend *b = list.backends; b < list.backends + list.count; ++b)
        text += std::string(b->type ? b->type : "-") + " suf=" + join(b->suffixes) + " root=" +
                (b->rootdn ? b->rootdn : "-") + " rep=" + join(b->replicas) + " slaves=" + dump_tree(b->slaves) +
                " masters=" + dump_tree(b->masters) + "\n";
    return text;
}

// `n` copies of `head`, its number and `tail`.
std::string repeat(const std::string &head, int n, const std::string &tail = "") {
    std::string out;
    for (int i = 0; i < n; ++i) out += head + std::to_string(i) + tail;
    return out;
}

// Each test gets its own root tree and log mirror.
class DsConfig : public ::testing::Test {
protected:
    void write_config(const std::string &text) const { root_.write(std::string(zt::kDsConfigPath).substr(1), text); }
    // The logged texts without their priority; "%F" stands for the file.
    std::string logged() const {
        std::string text, path = root_.path() + zt::kDsConfigPath;
        for (const auto &line : log_.lines()) text += line + "\n";
        for (size_t pos; (pos = text.find(path)) != std::string::npos;) text.replace(pos, path.size(), "%F");
        return text;
    }

    zt::test::RootDir root_;
    zt::test::LogFile log_;
};

const std::string kTooLong = "fp_getline(): buffer larger than 1000\n";
const std::string kOutside = "line must appear inside a database definition in %F file. (ignored)\n";

// The backends as dump() shows them are empty after a failure.
const struct ReadCase { const char *name; std::string config; AdminStatus status; std::string backends, log; }
kReadCases[] = {
    {"comments_blank_lines_and_unknown_directives_give_an_empty_list",  // a long comment is dropped whole
     "#" + std::string(3000, 'c') + "\n\n   \npull_replica host=a\ninclude other.conf\nloglevel 256\n", 0, "", ""},
    {"full_backend",
     "DataBase LdBm\nsuffix \"o=ztdata\"\nrootdn cn=old\nrootdn \"cn=Directory Manager, o=ztdata\"\n"
     "replica host=r1:389 binddn=x\npush_replica binddn=x HOST=r2:636\n"
     "slave subtree=\"ou=a b,o=ztdata\" SubTree=o=ztdata referral=ldap://m1:389 replicadn=cn=r1 "
     "replicadn=cn=r2 referral=ldap://m2:389 bogus=1\n"
     "slave referral=ldap://m3:389\nmaster subtree=o=one referral=ignored replicadn=ignored\n"
     "database BDB\nSUFFIX o=other\n",
     0,
     "ldbm suf=[o=ztdata] root=cn=Directory Manager, o=ztdata rep=[r1:389,r2:636] slaves={sub= ref=[ldap://m3:389]}"
     "{sub=<o=ztdata><ou=a b,o=ztdata> ref=[ldap://m1:389,ldap://m2:389] rdn=cn=r2} masters={sub=<o=one> ref=[]}\n"
     "- suf=[o=other] root=- rep=[] slaves= masters=\n",
     ""},
    {"continuation_with_a_comment_in_between_joins_the_items",  // an empty line is not continued
     "database ldbm\nslave subtree=o=ztdata\n# between\n\treferral=ldap://h:1\n  replicadn=cn=r\n\n\tsuffix o=x\n", 0,
     "ldbm suf=[o=x] root=- rep=[] slaves={sub=<o=ztdata> ref=[ldap://h:1] rdn=cn=r} masters=\n", ""},
    {"quotes_toggle_and_every_backslash_goes",  // a backslash protects neither a blank nor a quote
     "database ldbm\nslave subtree=a\\ b replicadn=x\\\"y z\" SUBTREE=\"\"c\\\\d referral=\"open quote\n", 0,
     "ldbm suf=[] root=- rep=[] slaves={sub=<cd><a> ref=[open quote] rdn=xy z} masters=\n", ""},
    {"slots_grow_past_ten_backends", repeat("database ldbm\nsuffix o=", 12, "\n"), 0,
     repeat("ldbm suf=[o=", 12, "] root=- rep=[] slaves= masters=\n"), ""},
    {"directives_outside_a_database_are_ignored",
     "suffix o=a\nrootdn cn=a\nreplica host=h\nslave referral=x\nmaster subtree=y\n", 0, "",
     "read_ds_config(): [line 1] suffix " + kOutside + "read_ds_config(): [line 2] rootdn " + kOutside +
         "read_ds_config(): [line 3] replica " + kOutside + "read_ds_config(): [line 4] slave " + kOutside +
         "read_ds_config(): [line 5] master " + kOutside},
    {"replica_without_host_item_is_ignored", "database ldbm\nreplica h:389\n", 0,
     "ldbm suf=[] root=- rep=[] slaves= masters=\n",
     "read_ds_config(): [line 2] missing host in \"replica\" line in %F file. (ignored)\n"},
    {"line_numbers_count_comments_and_continuations_and_one_more_per_include",
     "include a\n\tnot continued\ndatabase ldbm\n# c\nsuffix o=x\n\tx\ndatabase\n", -1, "",
     "read_ds_config(): [line 7] extra nonsense after <dn> in \"suffix o=x\" line in %F file. (ignored)\n"
     "read_ds_config(): [line 8] missing type in \"database <type>\" line in %F file.\n"},
    {"suffix_without_dn_fails", "database ldbm\n  \nsuffix\n", -1, "",
     "read_ds_config(): [line 3] missing dn in \"suffix <dn>\" line in %F file.\n"},
    {"rootdn_without_dn_fails", "database ldbm\nrootdn\n", -1, "",
     "read_ds_config(): [line 2] missing dn in \"rootdn <dn>\" line in %F file.\n"},
    {"push_replica_without_arguments_fails", "database ldbm\npush_replica\n", -1, "",
     "read_ds_config(): [line 2] missing host in \"replica <host[:port]>\" line in%F file.\n"},
    {"line_of_999_characters_and_100_tokens_are_accepted",
     "database ldbm\nsuffix " + std::string(992, 's') + "\nslave" + repeat(" x", 99) + "\n", 0,
     "ldbm suf=[" + std::string(992, 's') + "] root=- rep=[] slaves={sub= ref=[]} masters=\n", ""},
    {"line_of_1000_characters_fails", "database ldbm\n" + std::string(1000, 'x') + "\n", -1, "", kTooLong},
    {"continuation_reaching_1000_characters_fails", "database ldbm\nsuffix o=x\n " + std::string(989, 'y') + "\n", -1,
     "", kTooLong},
    {"physical_line_longer_than_the_buffer_fails", "database ldbm\nsuffix " + std::string(3000, 'z') + "\n", -1, "",
     kTooLong},
};

TEST_F(DsConfig, ReadBuildsListAndLogs) {
    for (const ReadCase &c : kReadCases) {
        SCOPED_TRACE(c.name);
        write_config(c.config);
        log_.clear();
        BackendList list{};
        EXPECT_EQ(read_ds_config(&list), c.status);
        EXPECT_EQ(dump(list), c.backends);
        EXPECT_EQ(logged(), c.log);
        EXPECT_EQ(list.capacity, (list.count + 9) / 10 * 10);  // grown by ten slots at a time
        free_backend(&list);
        EXPECT_TRUE(list.count == 0 && list.capacity == 0 && list.backends == nullptr);
    }
}

TEST_F(DsConfig, MissingFileAndMoreThan100Tokens) {
    BackendList list{};
    new_backend(&list, "ldbm");
    EXPECT_EQ(read_ds_config(&list), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(logged(), "read_ds_config(): could not open config file \"%F\" (No such file or directory)\n");
    free_backend(&list);

    // More than 100 tokens end the process.
    write_config("database ldbm\nslave" + repeat(" x", 100) + "\n");
    log_.clear();
    EXPECT_EXIT(read_ds_config(&list), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(logged(), "fp_parse_line(): Too many tokens (max 100)\n");
}

TEST(SelectBackend, MatchesSuffixAtTheEndWithoutRegardToCase) {
    BackendList list{};
    using Suffixes = std::vector<const char *>;
    for (const Suffixes &suffixes : {Suffixes{"cn=x,o=ztdata"}, Suffixes{"o=other", "O=ZTDATA"}, Suffixes{"o=ztdata"}})
        for (Backend *b = new_backend(&list, "ldbm"); const char *s : suffixes) zt_add_array(&b->suffixes, strdup(s));
    std::string got;  // a longer suffix is skipped; the first match wins; no check for an RDN boundary
    for (const char *dn : {"o=ztdata", "cn=x,o=ztdata", "uid=1,o=ZtData", "xo=ztdata", "o=none"})
        got += select_backend(&list, dn) ? std::to_string(select_backend(&list, dn) - list.backends) : "-";
    EXPECT_EQ(got, "1011-");
    free_backend(&list);
}

}  // namespace
