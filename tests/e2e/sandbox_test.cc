// sandbox_test.cc - the private directory behaves as the tools expect:
// CRAM-MD5 and anonymous binds, writes referred from the replica to the
// primary, replication, the schema's matching rules and empty values,
// unlimited listings, and a configuration tree the tools can read.
#include <gtest/gtest.h>
#include <ldap.h>
// gdbm's <ndbm.h> declares its functions without C linkage or a guard.
#ifndef ZT_NDBM_INCLUDED
#define ZT_NDBM_INCLUDED
extern "C" {
#include <ndbm.h>
}
#endif
#include <sasl/sasl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using zt::test::read_file;
using zt::test::sandbox_dir;

// The admin DN, password and port, taken from the tree the tools read.
struct Sandbox {
    std::string dir, admin_dn, password;
    int port = 0;

    std::string root() const { return dir + "/root/etc/opt/KRVXzt"; }
    std::string url(const char *host) const {
        return "ldap://" + std::string(host) + ":" + std::to_string(port) + "/";
    }
};

std::string rot13(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>('a' + (c - 'a' + 13) % 26);
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>('A' + (c - 'A' + 13) % 26);
    }
    return s;
}

std::string trim_line(const std::string &s) {
    auto end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

// The value of `key` in a key=value file, or empty.
std::string conf_value(const std::string &text, const std::string &key) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return {};
}

std::optional<Sandbox> load_sandbox() {
    Sandbox s;
    s.dir = sandbox_dir();
    if (s.dir.empty()) return std::nullopt;
    std::string conf = read_file(s.root() + "/ztadmin.conf");
    s.admin_dn = conf_value(conf, "admin.user.name");
    s.password = rot13(trim_line(read_file(s.root() + "/ztadmin.pw")));
    s.port = std::atoi(conf_value(conf, "admin.server.port").c_str());
    return s;
}

struct LdapCloser {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Session = std::unique_ptr<LDAP, LdapCloser>;
struct MsgFree {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using Msg = std::unique_ptr<LDAPMessage, MsgFree>;

Session open_session(const std::string &url) {
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS) return nullptr;
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    return Session(ld);
}

struct Credentials {
    const char *authname;
    const char *password;
};

int interact(LDAP *, unsigned, void *defaults, void *in) {
    auto *cred = static_cast<Credentials *>(defaults);
    for (auto *i = static_cast<sasl_interact_t *>(in); i->id != SASL_CB_LIST_END; ++i) {
        const char *value = "";
        if (i->id == SASL_CB_AUTHNAME) value = cred->authname;
        if (i->id == SASL_CB_PASS) value = cred->password;
        i->result = value;
        i->len = static_cast<unsigned>(std::strlen(value));
    }
    return LDAP_SUCCESS;
}

int cram_md5_bind(LDAP *ld, const std::string &authname, const std::string &password) {
    Credentials cred{authname.c_str(), password.c_str()};
    return ldap_sasl_interactive_bind_s(ld, nullptr, "CRAM-MD5", nullptr, nullptr, LDAP_SASL_QUIET,
                                        interact, &cred);
}

// One attribute of an entry to add: name and values (values may be "").
using Attr = std::pair<std::string, std::vector<std::string>>;

struct AddResult {
    int code = -1;
    std::vector<std::string> referrals;
};

// Sends an add and waits for its result, collecting the referral URLs.
AddResult add_entry(LDAP *ld, const std::string &dn, const std::vector<Attr> &attrs) {
    std::vector<std::vector<berval>> values(attrs.size());
    std::vector<std::vector<berval *>> value_ptrs(attrs.size());
    std::vector<LDAPMod> mods(attrs.size());
    std::vector<LDAPMod *> mod_ptrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        for (const auto &v : attrs[i].second)
            values[i].push_back(berval{v.size(), const_cast<char *>(v.data())});
        for (auto &bv : values[i]) value_ptrs[i].push_back(&bv);
        value_ptrs[i].push_back(nullptr);
        mods[i].mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
        mods[i].mod_type = const_cast<char *>(attrs[i].first.c_str());
        mods[i].mod_bvalues = value_ptrs[i].data();
        mod_ptrs.push_back(&mods[i]);
    }
    mod_ptrs.push_back(nullptr);
    AddResult out;
    int msgid = 0;
    if (ldap_add_ext(ld, dn.c_str(), mod_ptrs.data(), nullptr, nullptr, &msgid) != LDAP_SUCCESS)
        return out;
    LDAPMessage *raw = nullptr;
    if (ldap_result(ld, msgid, LDAP_MSG_ALL, nullptr, &raw) <= 0) return out;
    Msg result(raw);
    char **refs = nullptr;
    if (ldap_parse_result(ld, result.get(), &out.code, nullptr, nullptr, &refs, nullptr, 0) !=
        LDAP_SUCCESS)
        return out;
    for (char **r = refs; r && *r; ++r) out.referrals.emplace_back(*r);
    ber_memvfree(reinterpret_cast<void **>(refs));
    return out;
}

// DNs (in search order) of `filter` below `base`; nullopt when the search fails.
std::optional<std::vector<std::string>> search_dns(LDAP *ld, const std::string &base,
                                                   const std::string &filter,
                                                   int scope = LDAP_SCOPE_SUBTREE) {
    LDAPMessage *raw = nullptr;
    const char *no_attrs[] = {LDAP_NO_ATTRS, nullptr};
    int rc = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(),
                               const_cast<char **>(no_attrs), 0, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    Msg result(raw);
    if (rc != LDAP_SUCCESS) return std::nullopt;
    std::vector<std::string> dns;
    for (LDAPMessage *e = ldap_first_entry(ld, raw); e; e = ldap_next_entry(ld, e)) {
        char *dn = ldap_get_dn(ld, e);
        dns.emplace_back(dn ? dn : "");
        ldap_memfree(dn);
    }
    return dns;
}

// Values of one attribute of the entry `dn` (empty when absent).
std::vector<std::string> read_values(LDAP *ld, const std::string &dn, const char *attr) {
    LDAPMessage *raw = nullptr;
    const char *attrs[] = {attr, nullptr};
    std::vector<std::string> out;
    int rc = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                               const_cast<char **>(attrs), 0, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    Msg result(raw);
    if (rc != LDAP_SUCCESS) return out;
    LDAPMessage *e = ldap_first_entry(ld, raw);
    if (!e) return out;
    berval **vals = ldap_get_values_len(ld, e, attr);
    for (berval **v = vals; v && *v; ++v) out.emplace_back((*v)->bv_val, (*v)->bv_len);
    ldap_value_free_len(vals);
    return out;
}

// Waits (bounded) until `dn` is visible through `ld`.
bool appears(LDAP *ld, const std::string &dn, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        auto found = search_dns(ld, dn, "(objectClass=*)", LDAP_SCOPE_BASE);
        if (found && found->size() == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto s = load_sandbox();
        if (!s) GTEST_SKIP() << "ZT_SANDBOX is not set";
        sb = *s;
        ASSERT_GT(sb.port, 0);
        primary = open_session(sb.url("127.0.0.2"));
        replica = open_session(sb.url("127.0.0.1"));
        ASSERT_TRUE(primary && replica);
        ASSERT_EQ(cram_md5_bind(primary.get(), sb.admin_dn, sb.password), LDAP_SUCCESS);
    }

    // Deletes what the test added, children before parents.
    void TearDown() override {
        if (!primary) return;
        for (auto it = added.rbegin(); it != added.rend(); ++it)
            ldap_delete_ext_s(primary.get(), it->c_str(), nullptr, nullptr);
    }

    // A name no other test or run uses.
    std::string unique(const std::string &what) {
        static int counter = 0;
        return "sbx" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + what;
    }

    // Adds on the primary and remembers the entry for clean-up.
    int add_on_primary(const std::string &dn, const std::vector<Attr> &attrs) {
        AddResult r = add_entry(primary.get(), dn, attrs);
        if (r.code == LDAP_SUCCESS) added.push_back(dn);
        return r.code;
    }

    Sandbox sb;
    Session primary, replica;
    std::vector<std::string> added;
};

TEST_F(SandboxTest, CramMd5BindOnReplicaChecksIdentityAndPassword) {
    struct Case {
        std::string authname, password;
        int expected;
    } cases[] = {
        {sb.admin_dn, sb.password, LDAP_SUCCESS},
        {"admin", sb.password, LDAP_SUCCESS},               // bare name maps to the entry
        {"dn:" + sb.admin_dn, sb.password, LDAP_SUCCESS},   // so does the "dn:" form
        {sb.admin_dn, sb.password + "x", LDAP_INVALID_CREDENTIALS},
        {"cn=nobody,o=ztdata", sb.password, LDAP_OTHER},    // maps to a missing entry
    };
    for (const auto &c : cases) {
        Session s = open_session(sb.url("127.0.0.1"));
        ASSERT_TRUE(s);
        EXPECT_EQ(cram_md5_bind(s.get(), c.authname, c.password), c.expected)
            << c.authname << " / " << c.password;
    }
}

TEST_F(SandboxTest, AnonymousBindWithoutPasswordReadsButCannotSeePassword) {
    Session s = open_session(sb.url("127.0.0.1"));
    ASSERT_TRUE(s);
    ASSERT_EQ(ldap_simple_bind_s(s.get(), "cn=anonymous", nullptr), LDAP_SUCCESS);
    auto containers = search_dns(s.get(), "o=ztdata", "(objectclass=ztContainer)",
                                 LDAP_SCOPE_ONELEVEL);
    ASSERT_TRUE(containers);
    for (const char *c : {"users", "logicalTokens", "rawTokens", "desktops", "MULTIHEAD"}) {
        std::string dn = std::string("ztName=") + c + ",o=ztdata";
        EXPECT_NE(std::find(containers->begin(), containers->end(), dn), containers->end()) << dn;
    }
    EXPECT_TRUE(read_values(s.get(), sb.admin_dn, "userPassword").empty());
}

TEST_F(SandboxTest, WritesToReplicaAreReferredToPrimaryAndReplicated) {
    std::string id = unique("ref");
    std::string dn = "ztID=" + id + ",ztName=rawTokens,o=ztdata";
    std::vector<Attr> attrs = {{"objectClass", {"ztRawToken"}}, {"ztID", {id}},
                               {"ztTokenType", {"user"}}};

    ASSERT_EQ(cram_md5_bind(replica.get(), sb.admin_dn, sb.password), LDAP_SUCCESS);
    AddResult referred = add_entry(replica.get(), dn, attrs);
    EXPECT_EQ(referred.code, LDAP_REFERRAL);
    ASSERT_EQ(referred.referrals.size(), 1u);
    EXPECT_EQ(referred.referrals[0], sb.url("127.0.0.2") + dn);

    // Anonymous writes are referred as well; the primary then refuses them.
    Session anon = open_session(sb.url("127.0.0.1"));
    ASSERT_EQ(ldap_simple_bind_s(anon.get(), "cn=anonymous", nullptr), LDAP_SUCCESS);
    EXPECT_EQ(add_entry(anon.get(), dn, attrs).code, LDAP_REFERRAL);
    Session anon_primary = open_session(sb.url("127.0.0.2"));
    ASSERT_EQ(ldap_simple_bind_s(anon_primary.get(), "cn=anonymous", nullptr), LDAP_SUCCESS);
    EXPECT_EQ(add_entry(anon_primary.get(), dn, attrs).code, LDAP_INSUFFICIENT_ACCESS);

    ASSERT_EQ(add_on_primary(dn, attrs), LDAP_SUCCESS);
    EXPECT_TRUE(appears(replica.get(), dn, std::chrono::seconds(2)));
}

TEST_F(SandboxTest, SchemaAcceptsEmptyAndEightBitValuesWhereToolsWriteThem) {
    std::string uid = unique("empty");
    std::string user_dn = "ztID=" + uid + ",ztName=users,o=ztdata";
    ASSERT_EQ(add_on_primary(user_dn, {{"objectClass", {"ztUser"}},
                                       {"ztID", {uid}},
                                       {"ztName", {"J\xc3\xb6rg Doe"}},
                                       {"ztOtherInfo", {""}},
                                       {"ztLastDesktop", {""}},
                                       {"ztStatus", {"1"}},
                                       {"ztMisc1", {"Zimmer 5 \xe2\x80\x93 S\xfc" "d"}}}),
              LDAP_SUCCESS);
    EXPECT_EQ(read_values(primary.get(), user_dn, "ztOtherInfo"), std::vector<std::string>{""});

    std::string did = unique("desk");
    ASSERT_EQ(add_on_primary("ztID=" + did + ",ztName=desktops,o=ztdata",
                             {{"objectClass", {"ztDesktop"}}, {"ztID", {did}},
                              {"ztLocation", {""}}, {"ztStatus", {"Up"}}}),
              LDAP_SUCCESS);

    // A name is never written empty, and the directory refuses it.
    std::string bad = unique("noname");
    EXPECT_EQ(add_on_primary("ztID=" + bad + ",ztName=users,o=ztdata",
                             {{"objectClass", {"ztUser"}}, {"ztID", {bad}}, {"ztName", {""}}}),
              LDAP_INVALID_SYNTAX);
}

TEST_F(SandboxTest, FiltersTheToolsUseMatchWithoutRegardToCase) {
    std::string tid = unique("Card.AB");
    std::string lid = "user." + unique("lt");
    std::string uid = unique("u");
    ASSERT_EQ(add_on_primary("ztID=" + tid + ",ztName=rawTokens,o=ztdata",
                             {{"objectClass", {"ztRawToken"}}, {"ztID", {tid}},
                              {"ztTokenType", {"user"}}, {"ztEnabled", {"allowed"}}}),
              LDAP_SUCCESS);
    ASSERT_EQ(add_on_primary("ztID=" + lid + ",ztName=logicalTokens,o=ztdata",
                             {{"objectClass", {"ztLogicalToken"}}, {"ztID", {lid}},
                              {"ztRawTokenIDs", {tid, "other.1"}}, {"ztServerPort", {"x7"}}}),
              LDAP_SUCCESS);
    std::string user_dn = "ztID=" + uid + ",ztName=users,o=ztdata";
    ASSERT_EQ(add_on_primary(user_dn, {{"objectClass", {"ztUser"}}, {"ztID", {uid}},
                                       {"ztName", {"Ann " + uid}},
                                       {"ztLogicalTokenIDs", {lid}}}),
              LDAP_SUCCESS);

    auto upper = [](std::string s) {
        for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    struct Case {
        std::string base, filter;
    } cases[] = {
        {"ztName=rawTokens,o=ztdata", "(&(zttokentype=USER)(ztid=*" + upper(tid.substr(3)) + "*))"},
        {"ztName=rawTokens,o=ztdata", "(ztID=" + upper(tid) + ")"},
        {"ztName=logicalTokens,o=ztdata", "(ztRawTokenIDs=" + upper(tid) + ")"},
        {"ztName=users,o=ztdata", "(ztLogicalTokenIDs=" + upper(lid) + ")"},
        {"ztName=users,o=ztdata", "(ztname=ANN " + upper(uid) + ")"},
        {"ztName=users,o=ztdata", "(&(objectclass=ztUser)(ztname=*nn " + uid + "*))"},
    };
    for (const auto &c : cases) {
        auto found = search_dns(primary.get(), c.base, c.filter);
        ASSERT_TRUE(found) << c.filter;
        EXPECT_EQ(found->size(), 1u) << c.filter;
    }

    // Values are removed one at a time, which needs an equality rule.
    LDAPMod mod{};
    const char *gone[] = {"OTHER.1", nullptr};
    mod.mod_op = LDAP_MOD_DELETE;
    mod.mod_type = const_cast<char *>("ztRawTokenIDs");
    mod.mod_values = const_cast<char **>(gone);
    LDAPMod *mods[] = {&mod, nullptr};
    std::string lt_dn = "ztID=" + lid + ",ztName=logicalTokens,o=ztdata";
    ASSERT_EQ(ldap_modify_ext_s(primary.get(), lt_dn.c_str(), mods, nullptr, nullptr),
              LDAP_SUCCESS);
    EXPECT_EQ(read_values(primary.get(), lt_dn, "ztRawTokenIDs"), std::vector<std::string>{tid});
    EXPECT_EQ(read_values(primary.get(), lt_dn, "ztServerPort"), std::vector<std::string>{"x7"});
}

TEST_F(SandboxTest, GenerationEntryTakesCounterClassOnFirstIncrement) {
    std::string name = unique("gen");
    std::string dn = "ztname=" + name + ",o=ztdata";
    ASSERT_EQ(add_on_primary(dn, {{"objectClass", {"ztContainer"}}, {"ztName", {name}}}),
              LDAP_SUCCESS);
    const char *cls[] = {"ztSynch", nullptr};
    const char *zero[] = {"0", nullptr};
    LDAPMod add_class{LDAP_MOD_ADD, const_cast<char *>("objectclass"), {const_cast<char **>(cls)}};
    LDAPMod add_value{LDAP_MOD_ADD, const_cast<char *>("ztGenerationNumber"),
                      {const_cast<char **>(zero)}};
    LDAPMod *mods[] = {&add_value, &add_class, nullptr};
    ASSERT_EQ(ldap_modify_ext_s(primary.get(), dn.c_str(), mods, nullptr, nullptr), LDAP_SUCCESS);
    auto found = search_dns(primary.get(), dn, "objectclass=ztSynch", LDAP_SCOPE_BASE);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 1u);
}

TEST_F(SandboxTest, ListingsAreNotCutAtDefaultSizeLimit) {
    const int count = 600;  // above slapd's default limit of 500
    std::string group = unique("many");
    std::string base = "ztName=" + group + ",o=ztdata";
    ASSERT_EQ(add_on_primary(base, {{"objectClass", {"ztContainer"}}, {"ztName", {group}}}),
              LDAP_SUCCESS);
    std::string last;
    for (int i = 0; i < count; ++i) {
        std::string id = group + "." + std::to_string(i);
        last = "ztID=" + id + "," + base;
        ASSERT_EQ(add_on_primary(last, {{"objectClass", {"ztRawToken"}}, {"ztID", {id}}}),
                  LDAP_SUCCESS);
    }
    ASSERT_TRUE(appears(replica.get(), last, std::chrono::seconds(5)));
    Session anon = open_session(sb.url("127.0.0.1"));
    ASSERT_EQ(ldap_simple_bind_s(anon.get(), "cn=anonymous", nullptr), LDAP_SUCCESS);
    auto found = search_dns(anon.get(), base, "(objectclass=ztRawToken)");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), static_cast<size_t>(count));
}

TEST_F(SandboxTest, ConfigurationTreeIsReadableAsTheToolsNeed) {
    std::string conf = read_file(sb.root() + "/ztadmin.conf");
    EXPECT_EQ(conf_value(conf, "admin.server.name"), "127.0.0.1");
    EXPECT_EQ(conf_value(conf, "admin.subtree"), "o=ztdata");
    EXPECT_EQ(conf_value(conf, "admin.server.authmech"), "CRAM_MD5");
    EXPECT_NE(read_file(sb.root() + "/qmds/current/ztdsd.conf")
                  .find("referral=ldap://127.0.0.2:" + std::to_string(sb.port)),
              std::string::npos);

    struct stat st{};
    ASSERT_EQ(stat((sb.root() + "/ztadmin.pw").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An unprivileged user reads the configuration and opens both status
    // files read-only, as the lowest access level does.
    std::vector<std::string> readable = {sb.root() + "/ztadmin.conf",
                                         sb.root() + "/qmds/current/ztdsd.conf",
                                         sb.root() + "/terminals"};
    for (const char *key : {"admin.ustatus.dbfile", "admin.dstatus.dbfile"}) {
        std::string path = conf_value(conf, key);
        readable.push_back(path + ".pag");
        readable.push_back(path + ".dir");
        DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDONLY, 0);
        ASSERT_NE(db, nullptr) << path;
        dbm_close(db);
    }
    zt::test::RunOptions as_nobody;
    as_nobody.unprivileged = true;
    for (const auto &path : readable) {
        auto r = zt::test::run({"/usr/bin/test", "-r", path}, as_nobody);
        EXPECT_EQ(r.status, 0) << path;
    }
}

}  // namespace
