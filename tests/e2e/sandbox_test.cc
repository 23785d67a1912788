// SPDX-License-Identifier: GPL-3.0-or-later
// sandbox_test.cc - the private directory behaves as the tools expect, checked with the stock LDAP client tools
// (their exit status is the LDAP result code).  Referrals and replication are the write executor's tests.
#include "directory_fixture.h"

namespace {

using namespace zt::test;
using Args = std::vector<std::string>;
const Args kAnonymous = {"-x", "-D", "cn=anonymous"};

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        setenv("LDAPNOINIT", "1", 1);  // the client tools read no ldap.conf or ldaprc of the machine
    }
    void TearDown() override {
        for (const auto &dn : added_) tool("ldapdelete", kPrimaryHost, admin(), {"-r", dn});
    }

    // Runs an LDAP client tool (in /usr/bin) against `host` with the bind
    // arguments `bind`, then `args`, feeding it `input`.
    RunResult tool(const std::string &name, const char *host, const Args &bind, const Args &args,
                   const std::string &input = "") const {
        Args argv = {"/usr/bin/" + name, "-H", "ldap://" + std::string(host) + ":" + std::to_string(sandbox_->port)};
        argv.insert(argv.end(), bind.begin(), bind.end());
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.input = input;
        return run(argv, options);
    }
    Args admin() const { return {"-x", "-D", kAdminDn, "-w", sandbox_->password}; }
    // The output of a search below `base`: DNs and the attributes asked for.
    std::string search(const char *host, const std::string &base, const std::string &filter,
                       const Args &attrs = {"1.1"}) {
        Args args = {"-LLL", "-o", "ldif-wrap=no", "-b", base, filter};
        args.insert(args.end(), attrs.begin(), attrs.end());
        return tool("ldapsearch", host, kAnonymous, args).out;
    }
    // Adds `ldif` (one entry, or a parent and its children) on the primary
    // and deletes the first entry, with everything below it, afterwards.
    int add_on_primary(const std::string &dn, const std::string &ldif) {
        int status = tool("ldapadd", kPrimaryHost, admin(), {}, "dn: " + dn + "\n" + ldif).status;
        if (status == 0) added_.push_back(dn);
        return status;
    }
    const Sandbox *sandbox_ = nullptr;
    Args added_;
};

TEST_F(SandboxTest, BindsCheckIdentityAndPasswordAndHideThePassword) {
    const std::string &pw = sandbox_->password;
    const struct { std::string authname, password; int status; } cases[] = {
        {kAdminDn, pw, 0},
        {"admin", pw, 0},                        // a bare name maps to the entry
        {std::string("dn:") + kAdminDn, pw, 0},  // so does the "dn:" form
        {kAdminDn, pw + "x", 49},                // invalid credentials
        {"cn=nobody,o=ztdata", pw, 80},          // maps to a missing entry
    };
    for (const auto &c : cases) {
        auto r = tool("ldapwhoami", kReplicaHost, {"-Q", "-Y", "CRAM-MD5", "-U", c.authname, "-w", c.password}, {});
        EXPECT_EQ(r.status, c.status) << c.authname << " / " << c.password << ": " << r.err;
    }

    // An anonymous bind reads, but cannot see the password.
    std::string containers = search(kReplicaHost, "o=ztdata", "(objectclass=ztContainer)");
    for (const char *c : {"users", "logicalTokens", "rawTokens", "desktops", "MULTIHEAD"})
        EXPECT_NE(containers.find(std::string("dn: ztName=") + c + ",o=ztdata\n"), std::string::npos) << containers;
    EXPECT_EQ(search(kReplicaHost, kAdminDn, "(objectClass=*)", {"userPassword"}), "dn: cn=admin,o=ztdata\n\n");
}

TEST_F(SandboxTest, SchemaAcceptsWhatToolsWriteAndListingsAreNotCut) {
    std::string uid = unique_name("sbx-empty");
    std::string user_dn = "ztID=" + uid + ",ztName=users,o=ztdata";
    // ztName "Jörg Doe"; ztMisc1 "Zimmer 5 – Süd" with a Latin-1 byte.
    ASSERT_EQ(add_on_primary(user_dn, "objectClass: ztUser\nztID: " + uid + "\nztName:: SsO2cmcgRG9l\nztOtherInfo:\n"
                                      "ztLastDesktop:\nztStatus: 1\nztMisc1:: WmltbWVyIDUg4oCTIFP8ZA==\n"),
              0);
    EXPECT_EQ(search(kPrimaryHost, user_dn, "(ztName=*RG DO*)", {"ztOtherInfo", "ztLastDesktop"}),
              "dn: " + user_dn + "\nztOtherInfo:\nztLastDesktop:\n\n");
    std::string did = unique_name("sbx-desk");
    EXPECT_EQ(add_on_primary("ztID=" + did + ",ztName=desktops,o=ztdata",
                             "objectClass: ztDesktop\nztID: " + did + "\nztLocation:\nztStatus: Up\n"),
              0);
    // A name is never written empty, and the directory refuses it.
    std::string bad = unique_name("sbx-noname"), ldif = "objectClass: ztUser\nztID: " + bad + "\nztName:\n";
    EXPECT_EQ(add_on_primary("ztID=" + bad + ",ztName=users,o=ztdata", ldif), 21);

    // Listings are not cut at the default size limit.
    const int count = 600;  // above slapd's default limit of 500
    std::string group = unique_name("sbx-many");
    std::string base = "ztName=" + group + ",o=ztdata";
    std::string many = "objectClass: ztContainer\nztName: " + group + "\n", last;
    for (int i = 0; i < count; ++i) {
        std::string id = group + "." + std::to_string(i);
        last = "ztID=" + id + "," + base;
        many += "\ndn: " + last + "\nobjectClass: ztRawToken\nztID: " + id + "\n";
    }
    ASSERT_EQ(add_on_primary(base, many), 0);
    ASSERT_TRUE(AdminSession(*sandbox_, kReplicaHost).wait_exists(last, true, 5));
    std::string listing = search(kReplicaHost, base, "(objectclass=ztRawToken)");
    size_t found = 0;
    for (size_t at = 0; (at = listing.find("dn: ", at)) != std::string::npos; ++at) ++found;
    EXPECT_EQ(found, static_cast<size_t>(count));
}

}  // namespace
