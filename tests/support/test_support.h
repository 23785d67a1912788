/* SPDX-License-Identifier: GPL-3.0-or-later */
// test_support.h - helpers shared by the unit and end-to-end tests, and the
// headers nearly every test uses, so that a test names only its own.
#ifndef ZT_TEST_SUPPORT_H
#define ZT_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <ldap.h>

#include "admin.h"
#include "auth_mgr.h"
#include "utils.h"

namespace zt::test {

using Strings = std::vector<std::string>;
using Opt = std::optional<std::string>;

// A temporary directory removed (recursively) when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes `content` to path()/relative, creating parent directories; the
    // file gets `mode` whatever the umask (a privileged run refuses
    // configuration files that others may write).
    std::string write(const std::string &relative, const std::string &content, mode_t mode = 0644) const;
    // Makes the program `program` of the build answer at path()/relative.
    void link_program(const std::string &program, const std::string &relative) const;

private:
    std::string path_;
};

// A temporary directory that is $ZTADMIN_ROOT while the object lives.
class RootDir : public TempDir {
public:
    RootDir() { setenv("ZTADMIN_ROOT", path().c_str(), 1); }
    ~RootDir() { unsetenv("ZTADMIN_ROOT"); }
};

// A fresh $ZTADMIN_LOG while the object lives; lines() gives the texts without their priority.
class LogFile {
public:
    LogFile() : path_(dir_.path() + "/ztadmin.log") { setenv("ZTADMIN_LOG", path_.c_str(), 1); }
    ~LogFile() { unsetenv("ZTADMIN_LOG"); }

    std::string all() const;
    std::string take() const;  // all(), then clear()
    void clear() const { dir_.write("ztadmin.log", ""); }
    Strings lines() const;
    bool has(const std::string &text) const;
    int count_prefix(const std::string &prefix) const;

private:
    TempDir dir_;
    std::string path_;
};

// A literal where the C records want a (never written) char *.
inline char *chars(const char *s) { return const_cast<char *>(s); }

// A malloc'd string as a value (absent for null); the string is freed.
Opt take(char *s);

// The values separated by blanks, "-" standing for an absent text.
inline std::string field(const char *s) { return s != nullptr ? s : "-"; }
inline std::string field(long long n) { return std::to_string(n); }
template <typename... T>
std::string fields(const T &...values) {
    std::string out;
    ((out += field(values) + " "), ...);
    out.pop_back();
    return out;
}
// "terminal token server" of each login in a list.
Strings logins(const CurrentEntry *list);

// What `print` writes to the stream it is handed.
std::string printed(const std::function<void(FILE *)> &print);

// What a finished child process left behind.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};

struct RunOptions {
    std::string input;                          // fed to standard input, then closed
    std::map<std::string, std::string> env;     // added to (or replacing in) the environment
    std::vector<std::string> unset_env;         // removed from the environment
    bool unprivileged = false;                  // run as the user "nobody"
    std::string cwd;                            // the working directory (empty: the test's)
    int timeout_seconds = 120;                  // killed after this
};

// Runs argv[0] (a path) with the arguments and returns what it printed.
RunResult run(const std::vector<std::string> &argv, const RunOptions &options = {});

// Runs the built ztuser with `args` on the root tree `root`, mirroring its log to `log` when one is named.
RunResult run_ztuser(std::vector<std::string> args, const std::string &root, const std::string &log = "",
                     RunOptions options = {});

// Waits for the child `pid`, killing it after `seconds`; its exit status
// (128 + the signal when killed), -1 when it cannot be waited for.
int wait_child(pid_t pid, int seconds);

// The built ztuser, and a stand-in program of the build.
std::string ztuser_path();
std::string build_path(const std::string &relative);
std::string source_path(const std::string &relative);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

// The sandbox directory of this test run ($ZT_SANDBOX), or empty.
std::string sandbox_dir();

// A TCP listener on ADDRESS:PORT (port 0: one the system chooses) that never accepts and whose listen queue is full, as
// a stopped or overrun server's is: the kernel drops every further connect attempt without a word, and the client
// retries for minutes.
class FullListenQueue {
public:
    FullListenQueue(const std::string &address, int port);
    ~FullListenQueue();
    FullListenQueue(const FullListenQueue &) = delete;
    FullListenQueue &operator=(const FullListenQueue &) = delete;
    bool full() const { return full_; }
    int port() const { return port_; }

private:
    std::vector<int> fds_;  // the listener and the connections that fill its queue
    bool full_ = false;
    int port_ = 0;
};

// One line per modification of an LDAPMod list: "OP ATTR: v1|v2", OP being add, replace or delete.
std::vector<std::string> describe_mods(LDAPMod **mods);

}  // namespace zt::test

#endif  // ZT_TEST_SUPPORT_H
