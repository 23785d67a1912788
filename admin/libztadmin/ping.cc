// SPDX-License-Identifier: GPL-3.0-or-later
// ping.cc - the socket routine of the session-service clients and the
// reachability probe they run before a query.
//
// The probe is a separate program called as "ping HOST 5" whose exit status
// says whether the host answered within 5 seconds.  Under a root prefix it
// is the tree's usr/sbin/ping; on an installed system it is our own probe
// below the install prefix.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "admin_private.h"
#include "auth_mgr.h"
#include "session_client.h"

namespace {

constexpr int kLargeSendBuffer = 1048576;
constexpr int kSendBufferStep = 8192;
constexpr int kLastChildFd = 255;
constexpr const char *kProbeTimeout = "5";

// Logs a failed step of open_socket with the system's error text.
void socket_failure(const char *debug_format, const char *log_format, int err) {
    const char *text = std::strerror(err);
    zt::dprintf(debug_format, text);
    zt::log_admin("socket", log_format, text);
}

// The largest send buffer the system grants, from 1 MiB down in 8 KiB steps.
void enlarge_send_buffer(int fd) {
    for (int size = kLargeSendBuffer; size > 0; size -= kSendBufferStep) {
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) return;
    }
}

// In the forked child: only async-signal-safe calls until the exec.
[[noreturn]] void run_probe_child(const char *program, const char *host) {
    for (int fd = 3; fd <= kLastChildFd; ++fd) close(fd);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(errno);
    for (int target = 0; target <= 2; ++target) {
        if (dup2(null_fd, target) < 0) _exit(errno);
    }
    if (null_fd > 2) close(null_fd);
    static char path_variable[] = "PATH=/usr/bin:/usr/sbin:/bin";
    static char *const environment[] = {path_variable, nullptr};
    execle(program, "ping", host, kProbeTimeout, static_cast<char *>(nullptr), environment);
    _exit(errno);
}

// Waits until the non-blocking connect of `fd` ends, at most `timeout_ms`;
// false with errno set (ETIMEDOUT when the time passed) when it failed.
bool await_connect(int fd, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd watch{fd, POLLOUT, 0};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int ready = poll(&watch, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready > 0) break;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) errno = ETIMEDOUT;
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

// Connects `fd` to `address`: blocking when `timeout_ms` is negative,
// otherwise without blocking and for at most that long, leaving the socket
// non-blocking.  False with errno set.
bool connect_socket(int fd, const sockaddr_in &address, int timeout_ms) {
    if (timeout_ms >= 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return true;
    if (timeout_ms < 0 || (errno != EINPROGRESS && errno != EINTR)) return false;
    return await_connect(fd, timeout_ms);
}

// open_socket with the connect given at most `timeout_ms` (negative: no limit).
int open_socket_until(const char *host, int port, int datagram, int large_send_buffer, int timeout_ms) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!zt::resolve_ipv4(host, &address.sin_addr)) {
        zt::dprintf("open_socket(): Could not get host by name (%s)\n", host != nullptr ? host : "(nil)");
        zt::log_admin("socket", "Error getting host by name (%s).", host != nullptr ? host : "(nil)");
        return -1;
    }
    zt::Fd fd(socket(AF_INET, (datagram != 0 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0));
    if (!fd) {
        socket_failure("open_socket(): Could not open socket - %s\n", "Error opening socket - %s.", errno);
        return -1;
    }
    if (!connect_socket(fd.get(), address, timeout_ms)) {
        socket_failure("open_socket(): Could not connect - %s\n", "Error connecting - %s.", errno);
        return -1;
    }
    if (large_send_buffer != 0) enlarge_send_buffer(fd.get());
    int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        socket_failure("open_socket(): Could not set SO_KEEPALIVE - %s\n", "Error setting SO_KEEPALIVE - %s.", errno);
    }
    return fd.release();
}

// The probe answers remembered on this thread while a ProbeScope is open.
struct ProbeMemo {
    int depth = 0;
    std::map<std::string, int> answers;
};
thread_local ProbeMemo probe_memo;

}  // namespace

zt::session::ProbeScope::ProbeScope() { ++probe_memo.depth; }

zt::session::ProbeScope::~ProbeScope() {
    if (--probe_memo.depth == 0) probe_memo.answers.clear();
}

int zt::session::probe_host(const char *host) {
    if (probe_memo.depth == 0 || host == nullptr) return ping_host(host);
    auto known = probe_memo.answers.find(host);
    if (known != probe_memo.answers.end()) return known->second;
    int answer = ping_host(host);
    probe_memo.answers.emplace(host, answer);
    return answer;
}

int zt::session::open_socket_within(const char *host, int port, int timeout_ms) {
    return open_socket_until(host, port, 0, 0, timeout_ms);
}

extern "C" {

int open_socket(const char *host, int port, int datagram, int large_send_buffer) {
    return open_socket_until(host, port, datagram, large_send_buffer, -1);
}

int ping_host(const char *host) {
    if (host == nullptr) return 0;
    if (*host == '\0') return EINVAL;
    std::string program = zt::platform_path(zt::kProbeProgram);
    pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) run_probe_child(program.c_str(), host);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno == EINTR) continue;
        if (errno == ECHILD) {
            zt::dprintf("ping_host::waitpid() returned ECHILD. Child PID: %d...", static_cast<int>(child));
            return 0;
        }
        return errno;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSTOPPED(status)) return 3;
    return 4;
}

}  // extern "C"
