// A set-uid or set-gid ztuser run by an unprivileged user must not let that
// user steer it through the environment: the root prefix and the log mirror
// are the caller's, not the program's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace zt::test {
namespace {

constexpr const char *kSystemEtc = "/etc/opt";

#if defined(__SANITIZE_ADDRESS__)
// A set-gid run may not read its own /proc/self/environ, so the sanitizer
// runtime misses the option that switches its leak check off, and that
// check cannot stop the threads of a process that may not be traced.
constexpr bool kSetGidRunsHere = false;
#else
constexpr bool kSetGidRunsHere = true;
#endif

std::string configuration(const std::string &port, const std::string &var) {
    return "admin.server.name=127.0.0.1\nadmin.server.port=" + port +
           "\nadmin.subtree=o=ztdata\nadmin.debug=d\nadmin.dstatus.dbfile=" + var +
           "/dstatus\nadmin.ustatus.dbfile=" + var + "/ustatus\n";
}

TEST(SetIdRun, IgnoresTheCallersRootPrefixAndLogMirror) {
    if (sandbox_dir().empty() || getuid() != 0) GTEST_SKIP() << "needs the sandbox and root";
    if (!std::filesystem::is_directory(kSystemEtc)) GTEST_SKIP() << kSystemEtc << " is missing";
    TempDir t;
    std::string var = sandbox_dir() + "/root/var/opt/KRVXzt";
    // The system configuration of the run, on a private /etc/opt: the
    // sandbox, with traces, so that every run logs.
    t.write("etc-opt/KRVXzt/ztadmin.conf", configuration(read_file(sandbox_dir() + "/port"), var));
    // The caller's tree: a server that is not there.
    t.write("caller/etc/opt/KRVXzt/ztadmin.conf", configuration("1", var));
    std::string program = t.path() + "/ztuser";
    std::filesystem::copy_file(ztuser_path(), program);
    std::string logs = t.path() + "/logs", kept = logs + "/kept.log", fresh = logs + "/fresh.log";
    t.write("logs/kept.log", "keep\n");
    t.write("logs/open.log", "");
    // The group may write: a set-gid run as root's group could, nobody alone cannot.
    ASSERT_EQ(chmod(logs.c_str(), 0775) | chmod(kept.c_str(), 0664) | chmod((logs + "/open.log").c_str(), 0666),
              0);

    auto run_as_nobody = [&](mode_t mode, const std::string &log) {
        EXPECT_EQ(chmod(program.c_str(), mode), 0);
        RunOptions options;
        options.env = {
            {"ZTADMIN_ROOT", t.path() + "/caller"}, {"ZTADMIN_LOG", log}, {"ASAN_OPTIONS", "detect_leaks=0"}};
        return run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                    "mount --bind \"$0\" /etc/opt && exec setpriv --reuid=65534 --regid=65534 --clear-groups -- \"$1\" "
                    "-li no-such-token",
                    t.path() + "/etc-opt", program},
                   options);
    };
    // Not set-id: the caller's tree and mirror are honoured, and the run logs.
    RunResult plain = run_as_nobody(0755, logs + "/open.log");
    EXPECT_EQ(plain.err, "Error: could not connect to admin server\n");
    EXPECT_NE(read_file(logs + "/open.log").find("(d) connecting to ldap://127.0.0.1:1 as |cn=anonymous|"),
              std::string::npos);

    for (mode_t mode : {04755, 02755}) {
        if (mode == 02755 && !kSetGidRunsHere) continue;
        for (const std::string &log : {kept, fresh}) {
            RunResult r = run_as_nobody(mode, log);
            EXPECT_EQ(r.out, "\n0 tokens total.\n") << std::oct << mode << ": " << r.err;
            EXPECT_EQ(r.status, 0) << "the system configuration is the one read";
        }
        EXPECT_EQ(read_file(kept), "keep\n") << std::oct << mode;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << std::oct << mode;
    }
}

}  // namespace
}  // namespace zt::test
