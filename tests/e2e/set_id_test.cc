// A set-uid or set-gid ztuser run by an unprivileged user must not let that user steer it through the environment: the
// root prefix and the log mirror are the caller's, not the program's.
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

    auto run_as_nobody = [&](mode_t mode, const std::string &log) {
        EXPECT_EQ(chmod(program.c_str(), mode), 0);
        RunOptions options;
        options.env = {{"ZTADMIN_ROOT", t.path() + "/caller"}, {"ZTADMIN_LOG", log}, {"ZTADMIN_TRACE", "1"},
                       {"ASAN_OPTIONS", "detect_leaks=0"}};
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
            RunResult r = run_as_nobody(mode, log);
            EXPECT_EQ(r.out, "\n0 tokens total.\n") << std::oct << mode << ": " << r.err;  // the system's server
            EXPECT_EQ(r.err, "") << std::oct << mode;  // no trace
        }
        EXPECT_EQ(read_file(kept), "keep\n") << std::oct << mode;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << std::oct << mode;
    }
}

}  // namespace
}  // namespace zt::test
