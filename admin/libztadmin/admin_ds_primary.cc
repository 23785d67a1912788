// SPDX-License-Identifier: GPL-3.0-or-later
// admin_ds_primary.cc - which directory server is the primary, and is it up.
//
// The primary's host and port come from the data-store configuration and,
// like this host's name, are cached for the life of the process.  Each
// cache is written once, under its mutex, and published through an atomic
// pointer so that readers need no lock: once set it never changes and is
// never freed.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "admin_private.h"

namespace {

constexpr const char *kDataSuffix = "o=ztdata";

std::mutex DS_lock;
std::atomic<char *> DSprimary{nullptr};
int DSport = -1;  // written under DS_lock before DSprimary is published

std::mutex localhost_lock;
std::atomic<char *> localhostname{nullptr};

// Frees a BackendList on scope exit.
struct BackendListGuard {
    BackendList list{};
    ~BackendListGuard() { free_backend(&list); }
};

// The primary named by the first referral of the most recently read slave
// line: "scheme://host:port" (or "host:port").  Returns 0 with a new copy
// of the host in `name`, or -26.
AdminStatus primary_from_referral(const Backend &backend, char **name, int *port) {
    char **referrals = backend.slaves->referrals;
    if (referrals == nullptr || referrals[0] == nullptr) {
        zt::dprintf("zt_getDSprimary(): no referral in slave line in datastore config file.");
        return ADMIN_ERR_CONFIG;
    }
    const char *host = std::strrchr(referrals[0], '/');
    host = host != nullptr ? host + 1 : referrals[0];
    const char *colon = std::strchr(host, ':');
    int number = colon != nullptr ? std::atoi(colon + 1) : 0;
    char *copy = number > 0 ? strndup(host, static_cast<size_t>(colon - host)) : nullptr;
    if (copy == nullptr) {
        zt::dprintf("zt_getDSprimary(): invalid or missing port number in datastore config file.");
        return ADMIN_ERR_CONFIG;
    }
    *name = copy;
    *port = number;
    return ADMIN_SUCCESS;
}

// This host is the primary: a copy of its name (absent when unknown or
// when the copy fails), port -1.
char *local_primary() {
    if (localhostname.load(std::memory_order_acquire) == nullptr) setLocalHostname();
    const char *local = localhostname.load(std::memory_order_acquire);
    if (local == nullptr) return nullptr;
    char *copy = strdup(local);
    if (copy == nullptr) zt::dprintf("zt_getDSprimary(): strdup failed");
    return copy;
}

// Reads the configuration and determines the primary.  Returns 0 with a
// new host name in `name` and the port in `port`, or the failure.
AdminStatus lookup_primary(char **name, int *port) {
    BackendListGuard config;
    AdminStatus status = read_ds_config(&config.list);
    if (status != ADMIN_SUCCESS) return status;
    const Backend *backend = select_backend(&config.list, kDataSuffix);
    if (backend == nullptr) return ADMIN_ERR_NOT_FOUND;
    if (backend->masters != nullptr || backend->slaves == nullptr) {
        *name = local_primary();
        return *name != nullptr ? ADMIN_SUCCESS : ADMIN_ERR_NO_MEMORY;
    }
    return primary_from_referral(*backend, name, port);
}

// Hands out a copy of the cached primary.
AdminStatus copy_cached(const char *cached, char **name, int *port) {
    *port = DSport;
    *name = strdup(cached);
    return *name != nullptr ? ADMIN_SUCCESS : ADMIN_ERR_NO_MEMORY;
}

// True when `host` is this host's name, without regard to case.
bool is_local_host(const char *host) {
    if (localhostname.load(std::memory_order_acquire) == nullptr) setLocalHostname();
    const char *local = localhostname.load(std::memory_order_acquire);
    return local != nullptr && strcasecmp(host, local) == 0;
}

// Waits for a connection in progress.  Returns 0 when it completed, -24 at
// the time-out (0: none), -1 when it failed.
AdminStatus await_connect(int fd, int timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeout);
    pollfd watch{fd, POLLIN | POLLOUT | POLLPRI, 0};
    for (;;) {
        int wait_ms = -1;
        if (timeout > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        int ready = poll(&watch, 1, wait_ms);
        if (ready == 0) return ADMIN_ERR_TIMEOUT;
        if (ready > 0) break;
        if (errno != EINTR) {
            zt::dprintf("zt_pingDShost(): internal socket error %d", errno);
            return ADMIN_ERR_INTERNAL;
        }
    }
    if ((watch.revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)) == 0) return ADMIN_SUCCESS;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
    if (pending != 0) {
        zt::dprintf("zt_pingDShost(): internal socket error %d", pending);
        return ADMIN_ERR_INTERNAL;
    }
    return ADMIN_SUCCESS;
}

}  // namespace

extern "C" {

void setLocalHostname(void) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
        zt::dprintf("setLocalHostname(): gethostname failed(%s)", std::strerror(errno));
        return;
    }
    name[sizeof name - 1] = '\0';
    std::lock_guard<std::mutex> hold(localhost_lock);
    if (localhostname.load(std::memory_order_relaxed) != nullptr) return;
    char *copy = strdup(name);
    if (copy == nullptr) {
        zt::dprintf("setLocalHostname(): strdup failed");
        return;
    }
    localhostname.store(copy, std::memory_order_release);
}

// Returns 0 with a new copy of the primary's host name (the caller frees
// it) and its port (-1 when the primary is this host), or the failure with
// `name` absent.  The first success is cached for the life of the process.
AdminStatus zt_getDSprimary(char **name, int *port) {
    if (name == nullptr || port == nullptr) return ADMIN_ERR_INVALID_ARGS;
    if (const char *cached = DSprimary.load(std::memory_order_acquire)) return copy_cached(cached, name, port);
    *name = nullptr;
    *port = -1;
    char *found = nullptr;
    int found_port = -1;
    AdminStatus status = lookup_primary(&found, &found_port);
    if (status != ADMIN_SUCCESS) return status;
    {
        std::lock_guard<std::mutex> hold(DS_lock);
        if (DSprimary.load(std::memory_order_relaxed) == nullptr) {
            DSport = found_port;
            DSprimary.store(found, std::memory_order_release);
        } else {
            std::free(found);  // another thread filled the cache first
        }
    }
    return copy_cached(DSprimary.load(std::memory_order_acquire), name, port);
}

int zt_isDSprimary(void) {
    char *primary = nullptr;
    int port = -1;
    if (zt_getDSprimary(&primary, &port) != ADMIN_SUCCESS) return 0;
    int result = is_local_host(primary) ? 1 : 0;
    std::free(primary);
    return result;
}

// Returns 0 when `host` is this host or accepts a TCP connection on `port`
// within `timeout` seconds (0: no limit).  Nothing is sent.
AdminStatus zt_pingDShost(const char *host, int port, int timeout) {
    if (host == nullptr || timeout < 0) return ADMIN_ERR_INVALID_ARGS;
    if (is_local_host(host)) return ADMIN_SUCCESS;
    if (port <= 0 || port > 65535) return ADMIN_ERR_INVALID_ARGS;
    sockaddr_in address{};
    if (!zt::resolve_ipv4(host, &address.sin_addr)) return ADMIN_ERR_NOT_FOUND;
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    zt::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return ADMIN_ERR_SOCKET_OPEN;
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) return ADMIN_ERR_SOCKET_OPEN;
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return ADMIN_SUCCESS;
    if (errno != EINPROGRESS && errno != EINTR) {
        zt::dprintf("zt_pingDShost(): connect failed (%s)", std::strerror(errno));
        return ADMIN_ERR_REMOTE_SERVICE;
    }
    return await_connect(fd.get(), timeout);
}

}  // extern "C"
