// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the administration configuration and password files, and the directory server's configuration: line
// joining, tokens, directives, messages, the backend look-up and primary server discovery; and the reachability check.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

#include "admin_private.h"
#include "test_support.h"

namespace {

using namespace zt::test;
using ZtaPtr = std::unique_ptr<AdminConfig, decltype([](AdminConfig *zta) { free_zta(zta); })>;

Opt text(const char *s) { return s ? Opt(s) : std::nullopt; }

// Each test gets its own log mirror and configuration root.
class ConfigTest : public ::testing::Test {
protected:
    // Reads `contents` as a configuration file into a new record.
    ZtaPtr read(const std::string &contents) {
        std::string path = root_.write("ztadmin.conf", contents);
        ZtaPtr zta(allocate_zta());
        EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_SUCCESS);
        return zta;
    }
    std::string take_log() { return log_.take(); }
    std::string standard_file() { return root_.path() + "/etc/opt/KRVXzt/ztadmin.conf"; }
    void write_standard_file(const std::string &contents) { root_.write("etc/opt/KRVXzt/ztadmin.conf", contents); }
    // The directory server's configuration.
    void write_config(const std::string &text) const { root_.write(std::string(zt::kDsConfigPath).substr(1), text); }
    // The logged texts without their priority; "%F" stands for the directory server's configuration file.
    std::string logged() const {
        std::string text, path = root_.path() + zt::kDsConfigPath;
        for (const auto &line : log_.lines()) text += line + "\n";
        for (size_t pos; (pos = text.find(path)) != std::string::npos;) text.replace(pos, path.size(), "%F");
        return text;
    }

    RootDir root_;
    LogFile log_;
};
class DsConfig : public ConfigTest {};
class DsPrimary : public ConfigTest {};

const std::string kComplete =
    "admin.server.name=ds.example\nadmin.server.port=389\nadmin.user.name=cn=admin,o=zt\nadmin.subtree=o=zt\n"
    "admin.dstatus.dbfile=/var/dstatus\nadmin.ustatus.dbfile=/var/ustatus\nadmin.defaultlocale=de_DE\n";

// One line (or a few) and what it leaves in the server name and port.
TEST_F(ConfigTest, LineRules) {
    const std::string name = "admin.server.name=", port = "admin.server.port=";
    for (const auto &[contents, server_name, server_port] : std::initializer_list<std::tuple<std::string, Opt, int>>{
        {" \tadmin.server.name \t= \ta b \t\n", "a b", 0},  {name + "a\r\n", "a\r", 0},
        {name + "last", "last", 0},                         {name + "one\n" + name + "two\n", "two", 0},
        {name + "a\nadmin.server.name = \t\n", "a", 0},     {port + "99999999999999999999\n", {}, INT_MAX},
        // A comment, a blank before "#" (a key that is not known), a key in another case, no "=".
        {"#" + name + "a\n  # admin.server.name = a\nAdmin.Server.Name=a\nadmin.server.name a\n", {}, 0},
        {port + "0389\n", {}, 389},                         {port + "389\n" + port + "38x\n", {}, 389},
        {name + std::string(600, 'x') + "\n", std::string(511 - 18, 'x'), 0},  // cut at 511
        {"#" + std::string(510, 'c') + name + "hidden\n", "hidden", 0},       // a read's remainder is a line
        {name + std::string(493, 'y') + "\n", std::string(493, 'y'), 0},       // the line end read alone
        {std::string("\xff\xfe\x01=\x80\n\0\0\n=\n\x7f", 12) + "\n" + name + "b\n", "b", 0},
    }) {
        auto zta = read(contents);
        EXPECT_EQ(text(zta->server_name), server_name) << contents;
        EXPECT_EQ(zta->server_port, server_port) << contents;
    }
}

TEST_F(ConfigTest, MechanismDebugTimeoutAndDSauth) {
    const std::string mech = "admin.server.authmech=";
    EXPECT_EQ(read(mech + "SIMPLE\n" + mech + "CRAM_MD5\n")->auth_mech, AUTH_CRAM_MD5);
    // A wrong case is rejected (and only it is reported); the message names the standard file whichever was read.
    EXPECT_EQ(read(mech + "SIMPLE\n" + mech + "cram_md5\n")->auth_mech, AUTH_SIMPLE);
    EXPECT_EQ(take_log(), "14 invalid authentication mechanism specified in /etc/opt/KRVXzt/ztadmin.conf\n");
    for (auto [mechanism, result, log] : {std::tuple<const char *, int, const char *>{nullptr, 1, ""}, {"", 1, ""},
                                          {"CRAM_MD5", 1, "14 DSauth=CRAM_MD5\n"}, {"SIMPLE", 0, "14 DSauth=SIMPLE\n"},
                                          {"simple", -1, "14 DSauth=simple\n"}}) {
        EXPECT_EQ(DSauth(mechanism), result);
        EXPECT_EQ(take_log(), log + ("14 DSauth ret=" + std::to_string(result) + "\n"));
    }
    read("admin.debug=q\n");
    EXPECT_EQ(gdebug("q"), 1);
    // The connect's time-out is process-wide, the answers' one belongs to the record (120 when not given).
    for (auto [value, expected] : {std::pair{"30", 30}, {"-5", 10}, {"0", 0}, {"abc", 10}, {"99999999999", INT_MAX}}) {
        DStimeout = 10;
        read(std::string("admin.server.timeout=") + value + "\n");
        EXPECT_EQ(DStimeout, expected) << value;
        EXPECT_EQ(read(std::string("admin.server.optimeout=") + value + "\n")->op_timeout,
                  expected == 10 ? 120 : expected) << value;
    }
    // A later file without the key keeps what an earlier one set.
    read("admin.server.timeout=25\n");
    read(kComplete);
    EXPECT_EQ(DStimeout, 25);
}

TEST_F(ConfigTest, MissingFilesAndStandardFileReaders) {
    ZtaPtr zta(allocate_zta());
    std::string path = root_.path() + "/absent.conf";
    EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "14 read_config_file(): Could not open config file (" + path + "), error 2\n");
    EXPECT_EQ(take(get_defaultlocale()), std::nullopt);
    EXPECT_NE(take_log().find("14 get_defaultlocale(): Could not read config file (" + standard_file() + ")\n"),
              std::string::npos);
    EXPECT_EQ(get_ztadmin_info("admin.server.name"), nullptr);
    EXPECT_EQ(take_log(), "14 get_ztadmin_info(): Could not open config file (" + standard_file() + ")\n");

    // get_ztadmin_info takes the first occurrence of a key, the record reader the last.
    write_standard_file(kComplete + "admin.server.name = second \nother = a = b\n");
    EXPECT_EQ(read_config_file(zta.get(), nullptr), ADMIN_SUCCESS);
    EXPECT_EQ((std::vector<Opt>{text(zta->server_name), text(zta->user_name), text(zta->subtree),
                                text(zta->dstatus_dbfile), text(zta->ustatus_dbfile), text(zta->default_locale)}),
              (std::vector<Opt>{"second", "cn=admin,o=zt", "o=zt", "/var/dstatus", "/var/ustatus", "de_DE"}));
    EXPECT_EQ(zta->server_port, 389);
    EXPECT_EQ(zta->auth_mech, AUTH_CRAM_MD5);  // the initial value
    EXPECT_EQ(take(get_ztadmin_info("admin.server.name")), "ds.example");
    EXPECT_EQ(take(get_ztadmin_info("other")), "a = b");
    EXPECT_EQ(get_ztadmin_info("admin.server.timeout"), nullptr);
    EXPECT_EQ(take(get_defaultlocale()), "de_DE");
    write_standard_file("admin.server.name=x\n");
    EXPECT_EQ(take(get_defaultlocale()), std::nullopt);
}

// check_zta over records missing one field each.
TEST_F(ConfigTest, CheckZtaNamesWhatIsMissing) {
    const std::string important = "14 check_zta(): zta - important fields are not filled.\n",
                      user = "14 check_zta(): zta - user fields are not filled.\n";
    // The key left out of the complete file, the access level, and the outcome.
    for (auto [drop, level, result, log] : {std::tuple<std::string, int, int, std::string>{"none", 3, 0, ""},
             {"admin.server.name", 3, -1, important}, {"admin.server.port", 3, -1, important},
             {"admin.subtree", 1, -1, important}, {"admin.dstatus.dbfile", 1, -1, important},
             {"admin.ustatus.dbfile", 1, -1, important}, {"admin.defaultlocale", 3, 0, ""},
             {"admin.user.name", 1, 0, ""}, {"admin.user.name", 2, -1, user}, {"admin.user.name", 4, -1, user}}) {
        std::string contents = kComplete;
        size_t start = contents.find(drop + "=");
        if (start != std::string::npos) contents.erase(start, contents.find('\n', start) + 1 - start);
        auto zta = read(contents);
        zta->access_level = level;
        take_log();
        EXPECT_EQ(check_zta(zta.get()), result) << drop;
        EXPECT_EQ(take_log(), log) << drop;
    }
    auto comments = read("# nothing here\n\n#admin.server.name=x\n\n");
    EXPECT_EQ(check_zta(comments.get()), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(check_zta(nullptr), -1);
    EXPECT_EQ(take_log(), important + important);
}

TEST_F(ConfigTest, PasswordFile) {
    // Only the first line counts, trimmed; a blank one is no password.
    for (auto [contents, password, expected] :
         {std::tuple<std::string, Opt, AdminStatus>{" \tFrperg-42 \nother\n", "Secret-42", 0}, {"nop", "abc", 0},
          {"", {}, -1}, {" \t\nfrperg\n", {}, -1}, {std::string(600, 'n'), std::string(511, 'a'), 0}}) {
        AdminStatus status = 99;
        EXPECT_EQ(take(read_passwd_file(root_.write("ztadmin.pw", contents).c_str(), &status)), password) << contents;
        EXPECT_EQ(status, expected) << contents;
    }
    AdminStatus status = 99;
    EXPECT_EQ(read_passwd_file((root_.path() + "/none.pw").c_str(), &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "");
}

// A FIFO or a device must neither hold the readers nor keep them reading, and no real file is a mebibyte long: each is
// refused like a file that cannot be opened.
TEST_F(ConfigTest, OnlyRegularFilesOfSaneSizeAreRead) {
    alarm(20);  // a reader that blocks or spins fails the test by the signal
    const std::string etc = root_.path() + "/etc/opt/KRVXzt/";
    root_.write("etc/opt/KRVXzt/qmds/current/.keep", "");
    const std::string files[] = {etc + "ztadmin.conf", etc + "ztadmin.pw", etc + "qmds/current/ztdsd.conf"};
    for (auto [kind, error] : {std::pair<std::string, int>{"fifo", EINVAL}, {"device", EINVAL},
                               {"directory", EISDIR}, {"oversized", EFBIG}}) {
        for (const auto &path : files) {
            unlink(path.c_str());
            int made = 0;
            if (kind == "fifo") made = mkfifo(path.c_str(), 0600);
            if (kind == "device") made = symlink("/dev/zero", path.c_str());
            if (kind == "directory") made = mkdir(path.c_str(), 0700);
            if (kind == "oversized") root_.write(path.substr(root_.path().size() + 1), "#" + std::string(1 << 20, 'x'));
            ASSERT_EQ(made, 0) << path;
        }
        ZtaPtr zta(allocate_zta());
        EXPECT_EQ(read_config_file(zta.get(), nullptr), ADMIN_ERR_FILE_ACCESS) << kind;
        EXPECT_EQ(get_ztadmin_info("admin.server.name"), nullptr);
        BackendList list{};
        EXPECT_EQ(read_ds_config(&list), ADMIN_ERR_FILE_ACCESS) << kind;
        EXPECT_EQ(take_log(), "14 read_config_file(): Could not open config file (" + files[0] + "), error " +
                                  std::to_string(error) + "\n14 get_ztadmin_info(): Could not open config file (" +
                                  files[0] + ")\n14 read_ds_config(): could not open config file \"" + files[2] +
                                  "\" (" + std::strerror(error) + ")\n");
        // Only the password's first line is read, so the size does not matter there.
        AdminStatus status = 99;
        char *password = read_passwd_file(files[1].c_str(), &status);
        EXPECT_EQ(status, kind == "oversized" ? 0 : ADMIN_ERR_FILE_ACCESS) << kind;
        std::free(password);
        for (const auto &path : files) rmdir(path.c_str());
    }
    alarm(0);
}

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

std::string local_name() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// The primary's cache lives for the whole process: runs `body` in a forked child, which starts with this process's
// empty caches, and expects it to return `expected`.
void expect_in_child(const std::function<std::string()> &body, const std::string &expected) {
    EXPECT_EXIT((std::fputs(body().c_str(), stderr), _exit(0)), ::testing::ExitedWithCode(0), ::testing::Eq(expected));
}

// The look-up as "status host:port is_primary;".
std::string primary() {
    char *name = reinterpret_cast<char *>(1);  // must be set to absent on failure
    int port = 0;
    AdminStatus status = zt_getDSprimary(&name, &port);
    std::string text = std::to_string(status) + " " + (name ? name : "(absent)") + ":" + std::to_string(port);
    std::free(name);
    return text + " " + std::to_string(zt_isDSprimary()) + ";";
}

TEST_F(DsPrimary, ReadsTopologyOfTheDataBackend) {
    const std::string bad_port = "zt_getDSprimary(): invalid or missing port number in datastore config file.";
    const std::string here = "0 " + local_name() + ":-1 1;", data = "database ldbm\nsuffix o=ztdata\n";
    // The message is logged by each failed look-up.
    const struct { std::string config, expected, message; } cases[] = {
        {data + "master subtree=o=ztdata\nslave referral=ldap://h1:389\n", here, ""},  // a master line: this host
        {"database ldbm\nsuffix O=ZTDATA\n", here, ""},                               // no slave line: this host
        {data + "slave referral=ldap://h1:389 referral=ldap://h9:9\n", "0 h1:389 0;", ""},
        {data + "slave referral=ldap://h1:389\nslave referral=ldaps://h2:636\n", "0 h2:636 0;", ""},  // the later
        {"database ldbm\nsuffix o=other\nmaster\n" + data + "slave referral=h4:10\n", "0 h4:10 0;", ""},
        {data + "slave referral=ldap://h1\n", "-26 (absent):-1 0;", bad_port},
        {data + "slave referral=ldap://h1:0\n", "-26 (absent):-1 0;", bad_port},
        {data + "slave referral=ldap://h1:389/o=ztdata\n", "-26 (absent):-1 0;", bad_port},  // host after the last "/"
        {data + "slave referral=ldap://h1:389\nslave subtree=o=ztdata\n", "-26 (absent):-1 0;",
         "zt_getDSprimary(): no referral in slave line in datastore config file."},
        {"database ldbm\nsuffix o=other\n", "-4 (absent):-1 0;", ""},
        {"database\n", "-1 (absent):-1 0;", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        write_config(c.config);
        log_.clear();
        expect_in_child(primary, c.expected);
        if (!c.message.empty()) {
            EXPECT_EQ(log_.all(), "14 " + c.message + "\n14 " + c.message + "\n");
        }
    }
}

TEST_F(DsPrimary, FirstAnswerIsCachedForTheLifeOfTheProcessAndThreadsAgree) {
    expect_in_child([&] {
        std::string got = primary();  // a failure is not cached
        write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h5:5\n");
        got += primary();
        std::remove((root_.path() + zt::kDsConfigPath).c_str());
        return got + primary();
    }, std::to_string(ADMIN_ERR_NO_SUCH_FILE) + " (absent):-1 0;0 h5:5 0;0 h5:5 0;");

    // Threads agree on one answer.
    write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h6:6\n");
    expect_in_child([&] {
        std::vector<std::string> got(8);
        std::vector<std::thread> threads;
        for (auto &g : got) threads.emplace_back([&g] { g = primary(); });
        for (auto &t : threads) t.join();
        std::string odd;  // answers other than the one expected
        for (const auto &g : got) odd += g == "0 h6:6 0;" ? "" : g;
        return odd;
    }, "");
}

// A TCP socket listening on 127.0.0.1 on a port of the system's choice.
struct Listener {
    zt::Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    int port = 0;
    explicit Listener(int backlog) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        auto *any = reinterpret_cast<sockaddr *>(&address);
        if (bind(fd.get(), any, length) != 0 || getsockname(fd.get(), any, &length) != 0 || listen(fd.get(), backlog))
            fd.reset();
        port = ntohs(address.sin_port);
    }
};

TEST_F(DsPrimary, PingAnswersWithoutWaiting) {
    Listener server(5);
    ASSERT_TRUE(server.fd);
    std::string name = local_name();  // this host in other letter case: no connection, any port
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::toupper(ch); });
    const struct { const char *host; int port, timeout; AdminStatus expected; } cases[] = {
        {"127.0.0.1", server.port, 5, 0}, {"localhost", server.port, 0, 0},  // 0: no time limit
        {name.c_str(), 0, 0, 0},          {nullptr, 389, 5, -6},
        {"127.0.0.1", 389, -1, -6},       {"127.0.0.1", 0, 5, -6},
        {"127.0.0.1", 65536, 5, -6},      {"no-such-host.invalid", 389, 5, ADMIN_ERR_NOT_FOUND},
        {"224.0.0.1", 389, 5, ADMIN_ERR_REMOTE_SERVICE},  // TCP to multicast: refused by the local stack at once
    };
    for (const auto &c : cases)
        EXPECT_EQ(zt_pingDShost(c.host, c.port, c.timeout), c.expected) << (c.host ? c.host : "-") << ":" << c.port;
    EXPECT_EQ(log_.all(), "14 zt_pingDShost(): connect failed (Network is unreachable)\n");

    log_.clear();
    int port = Listener(1).port;  // closed again at once
    // Refused either at once or while waiting, depending on the kernel.
    AdminStatus got = zt_pingDShost("127.0.0.1", port, 5);
    EXPECT_EQ(log_.all(), got == ADMIN_ERR_REMOTE_SERVICE ? "14 zt_pingDShost(): connect failed (Connection refused)\n"
                                                      : "14 zt_pingDShost(): internal socket error 111\n");
    EXPECT_TRUE(got == ADMIN_ERR_REMOTE_SERVICE || got == ADMIN_ERR_INTERNAL) << got;
}

TEST_F(DsPrimary, PingTimesOutOnFullBacklog) {
    zt::test::FullListenQueue server("127.0.0.1", 0);
    ASSERT_TRUE(server.full()) << "the queue never filled";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zt_pingDShost("127.0.0.1", server.port(), 1), ADMIN_ERR_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(3));
}

}  // namespace
