// SPDX-License-Identifier: GPL-3.0-or-later
// installed_server_test.cc - the installed programs against the sandbox directory: status texts in the administrator's
// language, and a server where nothing but the package is installed (no ZTADMIN_ROOT).
#include <ctime>

#include "directory_fixture.h"
#include "install_support.h"

namespace zt::test {
namespace {

namespace fs = std::filesystem;

std::string unique_token(const std::string &tag) {
    return "inst." + tag + std::to_string(getpid()) + "t" + std::to_string(time(nullptr) % 100000);
}

class InstalledServer : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
    }

    // The installed ztuser; `root` is its ZTADMIN_ROOT, none when empty.
    RunResult ztuser(const std::vector<std::string> &args, const std::string &root, RunOptions options = {}) {
        std::vector<std::string> argv = {staged("bin/ztuser")};
        argv.insert(argv.end(), args.begin(), args.end());
        options.env["ZTADMIN_ROOT"] = root;
        options.unset_env.push_back("LD_LIBRARY_PATH");
        return run(argv, options);
    }

    const Sandbox *sandbox_ = nullptr;
};

// A status text follows the command's own English message in the caller's
// language: a clerk who may read but not write fails to take a token away.
TEST_F(InstalledServer, StatusTextFollowsTheEnglishMessageInTheCallersLanguage) {
    AdminSession admin(*sandbox_, kPrimaryHost);
    ASSERT_TRUE(admin.bound());
    int added = admin.add("cn=clerk," + std::string(kSuffix),
                          {{"objectClass", "person"}, {"cn", "clerk"}, {"sn", "clerk"}, {"userPassword", "clerk.pw"}});
    ASSERT_TRUE(added == LDAP_SUCCESS || added == LDAP_ALREADY_EXISTS) << added;
    std::string first = unique_token("a"), second = unique_token("b");
    ASSERT_EQ(ztuser({"-a", first + ", " + second + ", localhost, 7007, Clerk Case"}, sandbox_->root).status, 0);

    ToolTree clerk(ToolTree::sandbox_keys(*sandbox_, {{"admin.user.name", "cn=clerk," + std::string(kSuffix)}}));
    clerk.write_password("clerk.pw");
    fs::create_directories(clerk.root() + kEtc + "/qmds");
    fs::copy(sandbox_->root + kEtc + "/qmds", clerk.root() + kEtc + "/qmds", fs::copy_options::recursive);
    fs::create_directory_symlink(stage_dir() + "/opt", clerk.root() + "/opt");

    for (const auto &[lang, text] : {std::pair{"C", "No permission"}, std::pair{"de_DE.UTF-8", "Keine Berechtigung"}}) {
        RunResult r = ztuser({"-di", second}, clerk.root(), in_locale(lang));
        EXPECT_EQ(r.err, "Error: could not delete Token ID '" + second + "' (" + text + ").\n") << lang;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(ztuser({"-d", first}, sandbox_->root).status, 0);
}

// With only the package installed (its tree at /opt/KRVXzt, the live configuration in /etc/opt/KRVXzt, both
// bind-mounted in a mount namespace of our own), ztuser -k finds the session-kill program and the library the package
// query through the package's own description.
TEST_F(InstalledServer, WithOnlyThePackageInstalledTheHelpersAreFound) {
    if (shell("unshare --mount true").status != 0) GTEST_SKIP() << "cannot make a mount namespace here";
    TempDir host;
    fs::create_directories(host.path() + "/etc");
    fs::copy(sandbox_->root + kEtc, host.path() + "/etc/KRVXzt", fs::copy_options::recursive);
    std::string token = unique_token("k");
    std::string sessions = host.write("var/KRVXzt/sessions", "token " + token + "\n");
    std::string program = build_catalogue_program(host);

    RunOptions options;
    options.unset_env = {"ZTADMIN_ROOT", "LD_LIBRARY_PATH", "LC_ALL", "LANG", "LANGUAGE"};
    RunResult r = shell(
        "unshare --mount --propagation private sh -c '"
        "mount --bind \"$1/opt\" /opt && mount --bind \"$2/etc\" /etc/opt && mount --bind \"$2/var\" /var/opt || exit 99; "
        "/opt/KRVXzt/bin/ztuser -k -tokenid \"$3\"; echo \"status $?\"; "
        "LD_LIBRARY_PATH=/opt/KRVXzt/lib \"$4\" 0' sh \"$@\"",
        {stage_dir(), host.path(), token, program}, options);
    EXPECT_EQ(r.err,
              "*** Deprecated ***\n'ztuser -k' has been deprecated. Please use the 'ztsession -k' command to kill "
              "sessions.\n\nSession associated with token '" + token + "' killed.\n");
    EXPECT_EQ(r.out, "status 0\nSuccess\nAdministrator privilege is required to perform this activity\n/opt\n");
    EXPECT_EQ(read_file(sessions), "");
}

}  // namespace
}  // namespace zt::test
