// SPDX-License-Identifier: GPL-3.0-or-later
// standin_daemon.cc - starting, feeding and stopping a stand-in daemon.
#include "standin_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <chrono>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "admin_private.h"

namespace zt::test {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex lock_mutex;
int lock_users = 0;
zt::Fd lock_fd;

std::runtime_error system_error(const std::string &what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// The lock file of this process's network namespace ("net:[4026531840]" gives "...-4026531840.lock"): the ports are
// taken per namespace.
std::string port_lock_path() {
    char link[64] = {};
    std::string ns;
    if (readlink("/proc/self/ns/net", link, sizeof link - 1) > 0)
        std::copy_if(link, link + std::strlen(link), std::back_inserter(ns), [](char c) { return std::isdigit(c); });
    return "/tmp/ztadmin-standin-ports-" + ns + ".lock";
}

// Exit status of a waitpid() status: the code, or 128 + the signal.
int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

// In the child: becomes the daemon, with its standard error in `errors`. It gets SIGTERM if the test process dies
// first, so a crashed test never leaves a daemon holding a port. Nothing here allocates: the test process may have
// other threads.
[[noreturn]] void exec_daemon(char *const *argv, const char *errors, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int null = open("/dev/null", O_RDWR);
    int err = open(errors, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    execv(argv[0], argv);
    _exit(127);
}

}  // namespace

PortLockHold::PortLockHold() {
    std::lock_guard<std::mutex> guard(lock_mutex);
    if (lock_users == 0) {
        const std::string path = port_lock_path();
        zt::Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
        if (!fd) throw system_error("cannot open " + path);
        int rc;
        do rc = flock(fd.get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) throw system_error("cannot lock " + path);
        lock_fd = std::move(fd);
    }
    ++lock_users;
}

PortLockHold::~PortLockHold() {
    std::lock_guard<std::mutex> guard(lock_mutex);
    if (--lock_users == 0) lock_fd.reset();
}

StandinDaemon::StandinDaemon(Service service, const std::string &listen, const std::string &scenario) {
    set_scenario(scenario);
    std::vector<std::string> argv = {
        build_path(service == Service::AuthMgr ? "authmgr-standin" : "sessionmgr-standin"),
        "--listen", listen, "--scenario", path("scenario.json"), "--pidfile", path("pid"),
        "--requests", path("requests")};
    std::vector<char *> args;
    for (std::string &arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    std::string errors = path("errors");
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw system_error("fork");
    if (pid_ == 0) exec_daemon(args.data(), errors.c_str(), parent);
    try {
        wait_until_listening();
    } catch (...) {
        stop();
        throw;
    }
}

StandinDaemon::~StandinDaemon() { stop(); }

// Waits (up to 10 s) for the pidfile the daemon writes once it listens.
void StandinDaemon::wait_until_listening() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (access(path("pid").c_str(), F_OK) != 0) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = exit_status(raw);
            throw std::runtime_error("stand-in daemon exited with status " + std::to_string(status_) + ": " + errors());
        }
        if (Clock::now() > deadline) throw std::runtime_error("stand-in daemon did not listen within 10 s: " + errors());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int StandinDaemon::stop() {
    if (pid_ < 0) return status_;
    kill(pid_, SIGTERM);
    status_ = wait_child(pid_, 5);
    pid_ = -1;
    return status_;
}

void StandinDaemon::set_scenario(const std::string &scenario) const {
    // Through a temporary file: a connection must never read half a scenario.
    dir_.write("scenario.json.tmp", scenario);
    if (rename(path("scenario.json.tmp").c_str(), path("scenario.json").c_str()) != 0)
        throw system_error("cannot replace the scenario");
}

std::vector<std::string> StandinDaemon::requests() const {
    std::istringstream lines(read_file(path("requests")));
    std::vector<std::string> requests;
    for (std::string line; std::getline(lines, line);) requests.push_back(nlohmann::json::parse(line).get<std::string>());
    return requests;
}

std::string StandinDaemon::errors() const { return read_file(path("errors")); }

}  // namespace zt::test
