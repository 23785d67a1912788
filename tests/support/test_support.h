// test_support.h - helpers shared by the unit and end-to-end tests.
#ifndef ZT_TEST_SUPPORT_H
#define ZT_TEST_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include <ldap.h>

namespace zt::test {

// A temporary directory removed (recursively) when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes `content` to path()/relative, creating parent directories.
    std::string write(const std::string &relative, const std::string &content) const;

private:
    std::string path_;
};

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
    int timeout_seconds = 120;                  // killed after this
};

// Runs argv[0] (a path) with the arguments and returns what it printed.
RunResult run(const std::vector<std::string> &argv, const RunOptions &options = {});

// The built ztuser, and a stand-in program of the build.
std::string ztuser_path();
std::string build_path(const std::string &relative);
std::string source_path(const std::string &relative);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

// The sandbox directory of this test run ($ZT_SANDBOX), or empty.
std::string sandbox_dir();

// One line per modification of an LDAPMod list: "OP ATTR: v1|v2", OP being
// add, replace or delete.
std::vector<std::string> describe_mods(LDAPMod **mods);

}  // namespace zt::test

#endif  // ZT_TEST_SUPPORT_H
