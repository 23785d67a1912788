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
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

constexpr int kAnswered = 0, kNoAnswer = 1, kUsage = 2;

int usage() {
    std::fputs("usage: ping HOST [TIMEOUT]\n", stderr);
    return kUsage;
}

bool is_answer(int error) { return error == 0 || error == ECONNREFUSED; }

// Connects without blocking and waits for the outcome up to `timeout_ms`.
int probe(const sockaddr_in &address, int timeout_ms) {
    zt::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return kNoAnswer;
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
    if (!zt::resolve_ipv4(argv[1], &address.sin_addr)) {
        std::fprintf(stderr, "ping: unknown host %s\n", argv[1]);
        return kUsage;
    }
    int port = zt::session::service_port(zt::session::kAuthManager, nullptr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    int result = probe(address, timeout * 1000);
    if (result != kAnswered) std::fprintf(stderr, "no answer from %s\n", argv[1]);
    return result;
}
