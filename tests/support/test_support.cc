// SPDX-License-Identifier: GPL-3.0-or-later
// test_support.cc - temporary trees and child processes for the tests.
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
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

std::string TempDir::write(const std::string &relative, const std::string &content, mode_t mode) const {
    fs::path full = fs::path(path_) / relative;
    fs::create_directories(full.parent_path());
    {
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(full.c_str(), mode);
    return full.string();
}

void TempDir::link_program(const std::string &program, const std::string &relative) const {
    fs::path full = fs::path(path_) / relative;
    fs::create_directories(full.parent_path());
    fs::create_symlink(build_path(program), full);
}

namespace {

// Starts a non-blocking connect to `to`; true when it completes within `ms`.
bool connects_within(int fd, const sockaddr_in &to, int ms) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) return true;
    pollfd watch{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    return errno == EINPROGRESS && poll(&watch, 1, ms) == 1 &&
           getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

FullListenQueue::FullListenQueue(const std::string &address, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fds_.push_back(listener);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof at;
    if (bind(listener, reinterpret_cast<sockaddr *>(&at), length) != 0 || listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&at), &length) != 0)
        return;
    port_ = ntohs(at.sin_port);
    // A backlog of 0 holds one connection; the first attempt that hangs shows the queue is full.
    for (int i = 0; i < 8 && !full_; ++i) {
        fds_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        full_ = !connects_within(fds_.back(), at, 300);
    }
}

FullListenQueue::~FullListenQueue() {
    for (int fd : fds_) close(fd);
}

std::string LogFile::all() const { return read_file(path_); }

std::string LogFile::take() const {
    std::string text = all();
    clear();
    return text;
}

Strings LogFile::lines() const {
    Strings texts;
    std::istringstream in(all());
    for (std::string line; std::getline(in, line);) texts.push_back(line.substr(line.find(' ') + 1));
    return texts;
}

bool LogFile::has(const std::string &text) const { return std::ranges::count(lines(), text) > 0; }

int LogFile::count_prefix(const std::string &prefix) const {
    return static_cast<int>(std::ranges::count_if(lines(), [&](const std::string &l) { return l.starts_with(prefix); }));
}

Opt take(char *s) {
    Opt value = s != nullptr ? Opt(s) : std::nullopt;
    std::free(s);
    return value;
}

Strings logins(const CurrentEntry *list) {
    Strings rows;
    for (; list != nullptr; list = list->next) rows.push_back(fields(list->terminal_id, list->token_id, list->server));
    return rows;
}

std::string printed(const std::function<void(FILE *)> &print) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    print(stream);
    std::fclose(stream);
    return take(buffer).value_or("");
}

namespace {

// In the child: standard input from the file `in`, output into the files `out` and `err`, then argv.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const RunOptions &options,
                             const std::string &in, const std::string &out, const std::string &err) {
    int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                 open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    for (int i = 0; i < 3; ++i)
        if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(126);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const auto &name : options.unset_env) unsetenv(name.c_str());
    for (const auto &[name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    if (options.unprivileged && getuid() == 0) {
        const passwd *nobody = getpwnam("nobody");
        if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(126);
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

int wait_child(pid_t pid, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) usleep(1000);
    if (done == 0) {
        kill(pid, SIGKILL);
        done = waitpid(pid, &status, 0);
    }
    if (done != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The child's standard streams are files, so there is nothing to pump and
// servers it leaves running hold nothing the test waits for.
RunResult run(const std::vector<std::string> &argv, const RunOptions &options) {
    TempDir io;
    std::string in = io.write("in", options.input), out = io.path() + "/out", err = io.path() + "/err";
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) exec_child(argv, options, in, out, err);
    int status = wait_child(pid, options.timeout_seconds);
    return {read_file(out), read_file(err), status};
}

RunResult run_ztuser(std::vector<std::string> args, const std::string &root, const std::string &log,
                     RunOptions options) {
    args.insert(args.begin(), ztuser_path());
    options.env["ZTADMIN_ROOT"] = root;
    if (!log.empty()) options.env["ZTADMIN_LOG"] = log;
    return run(args, options);
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
