// SPDX-License-Identifier: GPL-3.0-or-later
// A set-uid or set-gid ztuser run by an unprivileged user must not let that user steer it through the environment: the
// root prefix, the log mirror and the LDAP library's settings are the caller's, not the program's; root's own runs take
// no LDAP settings from the caller's home or working directory either.
#include <sys/stat.h>

#include "test_support.h"

namespace zt::test {
namespace {

// Under AddressSanitizer a set-gid run cannot read its own environment in /proc, so the runtime misses the option that
// switches off its leak check, which cannot work in a process that may not be traced.
#if defined(__SANITIZE_ADDRESS__)
constexpr mode_t kSetIdModes[] = {04755};
#else
constexpr mode_t kSetIdModes[] = {04755, 02755};
#endif

TEST(SetIdRun, IgnoresTheCallersRootPrefixAndLogMirror) {
    if (sandbox_dir().empty() || getuid() != 0 || !std::filesystem::is_directory("/etc/opt")) GTEST_SKIP();
    TempDir t;
    // Runs log (debug traces on).  The system configuration, on a private
    // /etc/opt, names the sandbox; the caller's tree a server that is not there.
    const std::string conf = "admin.server.name=127.0.0.1\nadmin.subtree=o=ztdata\nadmin.debug=d\n"
                             "admin.dstatus.dbfile=" + sandbox_dir() + "/root/var/opt/KRVXzt/dstatus\n"
                             "admin.ustatus.dbfile=" + sandbox_dir() + "/root/var/opt/KRVXzt/ustatus\n";
    t.write("etc-opt/KRVXzt/ztadmin.conf", conf + "admin.server.port=" + read_file(sandbox_dir() + "/port"));
    t.write("caller/etc/opt/KRVXzt/ztadmin.conf", conf + "admin.server.port=1\n");
    std::string program = t.path() + "/ztuser", kept = t.write("logs/kept.log", "keep\n"),
                fresh = t.path() + "/logs/fresh.log", open_log = t.write("logs/open.log", "");
    std::filesystem::copy_file(ztuser_path(), program);
    // Root's group may write the logs: a set-gid run could, nobody alone cannot.
    ASSERT_EQ(chmod((t.path() + "/logs").c_str(), 0775) | chmod(kept.c_str(), 0664) | chmod(open_log.c_str(), 0666),
              0);

    // The caller's LDAP settings would bind every connection to an address this host does not have.
    t.write("home/.ldaprc", "SOCKET_BIND_ADDRESSES 192.0.2.1\n");
    auto run_as_nobody = [&](mode_t mode, const std::string &log) {
        EXPECT_EQ(chmod(program.c_str(), mode), 0);
        RunOptions options;
        options.env = {{"ZTADMIN_ROOT", t.path() + "/caller"}, {"ZTADMIN_LOG", log}, {"ZTADMIN_TRACE", "1"},
                       {"ASAN_OPTIONS", "detect_leaks=0"}, {"HOME", t.path() + "/home"},
                       {"LDAPSOCKET_BIND_ADDRESSES", "192.0.2.1"}};
        options.cwd = t.path() + "/home";
        return run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                    "mount --bind \"$0\" /etc/opt && exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$1\" "
                    "-li no-such-token", t.path() + "/etc-opt", program},
                   options);
    };
    // Not set-id: the caller's tree, mirror and trace are honoured.
    RunResult plain = run_as_nobody(0755, open_log);
    EXPECT_EQ(plain.status, 255);
    EXPECT_NE(read_file(open_log).find("(d) connecting to ldap://127.0.0.1:1 as |cn=anonymous|"), std::string::npos);
    EXPECT_NE(plain.err.find("ztuser: (d) connecting to ldap://127.0.0.1:1 as |cn=anonymous|\n"), std::string::npos);
    for (mode_t mode : kSetIdModes) {
        for (const std::string &log : {kept, fresh}) {
            RunResult r = run_as_nobody(mode, log);  // the system's server, no trace
            EXPECT_EQ(std::tie(r.out, r.err), std::tuple("\n0 tokens total.\n", "")) << std::oct << mode;
        }
        EXPECT_EQ(read_file(kept), "keep\n") << std::oct << mode;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << std::oct << mode;
    }
}

// Each place libldap would take settings from, given a setting that binds every connection to an address this host
// does not have: neither root nor a user run reads it, and the working directory the run started in is its own again.
TEST(CallerLdapSettings, AreNeverRead) {
    if (sandbox_dir().empty()) GTEST_SKIP();
    TempDir home, cwd;
    const std::string setting = "SOCKET_BIND_ADDRESSES 192.0.2.1\n";
    std::string conf = home.write("hostile.conf", setting);
    cwd.write("rel.csv", "card.none-such\n");
    using Env = std::map<std::string, std::string>;
    struct Source { const char *what; Env env; const TempDir *dir; const char *file; } sources[] = {
        {"variable", {{"LDAPSOCKET_BIND_ADDRESSES", "192.0.2.1"}}, nullptr, nullptr},
        {"~/.ldaprc", {}, &home, ".ldaprc"},
        {"~/ldaprc", {}, &home, "ldaprc"},
        {"./ldaprc", {}, &cwd, "ldaprc"},
        {"$LDAPCONF", {{"LDAPCONF", conf}}, nullptr, nullptr},
        {"$LDAPRC", {{"LDAPRC", "named"}}, &home, ".named"},
    };
    for (const Source &s : sources) {
        std::string file = s.dir != nullptr ? s.dir->write(s.file, setting) : "";
        for (bool unprivileged : {false, true}) {
            RunOptions options;
            options.env = s.env;
            options.env["HOME"] = home.path();
            options.cwd = cwd.path();
            options.unprivileged = unprivileged;
            RunResult r = run_ztuser({"-li", "no-such-token"}, sandbox_dir() + "/root", "", options);
            EXPECT_EQ(r.out, "\n0 tokens total.\n") << s.what << (unprivileged ? " (user)" : " (root)") << r.err;
        }
        if (!file.empty()) std::filesystem::remove(file);
    }
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path();
    EXPECT_EQ(run_ztuser({"-df", "rel.csv"}, sandbox_dir() + "/root", "", in_cwd).err,
              "Error: line 1: User not found.\n\n0 users deleted\n1 user skipped due to errors\n");
}

}  // namespace
}  // namespace zt::test
