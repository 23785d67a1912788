// test_support.cc - temporary trees and child processes for the tests.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zt::test {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "zttest.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &relative, const std::string &content) const {
    fs::path full = fs::path(path_) / relative;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    return full.string();
}

namespace {

void set_child_environment(const RunOptions &options) {
    for (const auto &name : options.unset_env) unsetenv(name.c_str());
    for (const auto &[name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
}

void drop_privileges() {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) _exit(126);
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(126);
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const RunOptions &options,
                             int in_fd, int out_fd, int err_fd) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    set_child_environment(options);
    if (options.unprivileged && getuid() == 0) drop_privileges();
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Pumps the child's input and output until both output pipes close.
void pump(int in_fd, int out_fd, int err_fd, const std::string &input, RunResult &result,
          std::chrono::steady_clock::time_point deadline, pid_t pid) {
    size_t written = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int open_outputs = 2;
    char buffer[4096];
    while (open_outputs > 0) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        int remaining = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - std::chrono::steady_clock::now())
                                             .count());
        if (remaining <= 0) {
            kill(pid, SIGKILL);
            remaining = 1000;
        }
        if (poll(fds, 3, remaining) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (i == 0 ? out_fd : err_fd) = -1;
                --open_outputs;
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
}

}  // namespace

RunResult run(const std::vector<std::string> &argv, const RunOptions &options) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        exec_child(argv, options, in[0], out[1], err[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pump(in[1], out[0], err[0], options.input, result, deadline, pid);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string build_path(const std::string &relative) { return std::string(ZT_BUILD_DIR) + "/" + relative; }
std::string source_path(const std::string &relative) { return std::string(ZT_SOURCE_DIR) + "/" + relative; }
std::string ztuser_path() { return build_path("ztuser"); }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string sandbox_dir() {
    const char *dir = std::getenv("ZT_SANDBOX");
    return dir ? dir : "";
}

std::vector<std::string> describe_mods(LDAPMod **mods) {
    std::vector<std::string> lines;
    for (LDAPMod **m = mods; m != nullptr && *m != nullptr; ++m) {
        int op = (*m)->mod_op & ~LDAP_MOD_BVALUES;
        std::string line = op == LDAP_MOD_ADD ? "add " : op == LDAP_MOD_REPLACE ? "replace " : "delete ";
        line += std::string((*m)->mod_type) + ":";
        for (char **v = (*m)->mod_values; v != nullptr && *v != nullptr; ++v)
            line += (v == (*m)->mod_values ? " " : "|") + std::string(*v);
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zt::test
