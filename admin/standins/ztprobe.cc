// SPDX-License-Identifier: GPL-3.0-or-later
// ztprobe - the reachability probe the session-service clients run before
// a query, installed where they look for it and called as the platform's
// ping would be:
//
//   ping HOST [TIMEOUT]
//
// HOST answers when it accepts or refuses a TCP connection on the
// authentication manager's port ("ztauthd-cb", else 7010) within TIMEOUT
// seconds (default 5): a refusal also proves the host is up.  Nothing is
// sent.  Exit status: 0 answered, 1 no answer in time (or unreachable),
// 2 usage error or a name that does not resolve.
//
// Like the platform's ping it stands in for, it is a program of its own
// that links nothing but the C library: the listings of logins start it
// once per host, and loading the directory libraries would cost more than
// the probe itself.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kAnswered = 0, kNoAnswer = 1, kUsage = 2;

// The authentication manager's service and the port used when the
// services database does not name it (as the library's clients do).
constexpr const char *kService = "ztauthd-cb";
constexpr int kFallbackPort = 7010;

bool resolve(const char *host, in_addr *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

int manager_port() {
    servent entry{};
    servent *found = nullptr;
    char work[1024];
    if (getservbyname_r(kService, "tcp", &entry, work, sizeof work, &found) == 0 && found != nullptr)
        return ntohs(static_cast<uint16_t>(found->s_port));
    return kFallbackPort;
}

// Closes the probe's socket on every path.
class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int usage() {
    std::fputs("usage: ping HOST [TIMEOUT]\n", stderr);
    return kUsage;
}

bool is_answer(int error) { return error == 0 || error == ECONNREFUSED; }

// Connects without blocking and waits for the outcome up to `timeout_ms`.
int probe(const sockaddr_in &address, int timeout_ms) {
    Socket fd;
    if (fd.get() < 0) return kNoAnswer;
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return kAnswered;
    if (errno != EINPROGRESS) return is_answer(errno) ? kAnswered : kNoAnswer;
    pollfd watch{fd.get(), POLLOUT, 0};
    int ready;
    while ((ready = poll(&watch, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return kNoAnswer;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return kNoAnswer;
    return is_answer(error) ? kAnswered : kNoAnswer;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3 || *argv[1] == '\0') return usage();
    int timeout = 5;
    if (argc == 3) {
        char *end = nullptr;
        long value = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || value < 1 || value > 3600) return usage();
        timeout = static_cast<int>(value);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (!resolve(argv[1], &address.sin_addr)) {
        std::fprintf(stderr, "ping: unknown host %s\n", argv[1]);
        return kUsage;
    }
    address.sin_port = htons(static_cast<uint16_t>(manager_port()));
    int result = probe(address, timeout * 1000);
    if (result != kAnswered) std::fprintf(stderr, "no answer from %s\n", argv[1]);
    return result;
}
