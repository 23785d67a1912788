// SPDX-License-Identifier: GPL-3.0-or-later
// connection.cc - serving one client of a stand-in daemon.
//
// Every wait here also watches the daemon's stop descriptor, so a held,
// silent or endless connection never keeps the daemon from exiting.
#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

#include "scenario.h"

namespace zt::standin {

namespace {

enum class Wait { Ready, Timeout, Stop };

// Waits up to `ms` milliseconds (-1: without limit) for `events` on `fd`
// (-1: just sleep); Stop as soon as the daemon stops or poll fails.
Wait wait_for(int fd, short events, int stop_fd, int ms) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, events, 0}};
    int n;
    do n = poll(fds, 2, ms);
    while (n < 0 && errno == EINTR);
    if (n < 0 || fds[0].revents != 0) return Wait::Stop;
    return n == 0 ? Wait::Timeout : Wait::Ready;
}

// Sleeps `ms` milliseconds; false when the daemon stops meanwhile.
bool pause(int stop_fd, int ms) { return ms <= 0 || wait_for(-1, 0, stop_fd, ms) == Wait::Timeout; }

// Reads and drops what the client sent; false once it has closed (or failed).
bool client_still_open(int fd) {
    char scratch[512];
    ssize_t n = read(fd, scratch, sizeof scratch);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

// Waits until the client closes its end or the daemon stops.
void wait_until_closed(int fd, int stop_fd) {
    while (wait_for(fd, POLLIN, stop_fd, -1) == Wait::Ready && client_still_open(fd)) {
    }
}

// Sends all of `bytes`; false when the client went away or the daemon stops.
bool send_all(int fd, std::string_view bytes, int stop_fd) {
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (wait_for(fd, POLLOUT, stop_fd, -1) == Wait::Stop) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Milliseconds left until `deadline`, at least 0.
int ms_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The request: the bytes up to and including the first line feed, at most
// kMaxRequest of them, whatever arrived within kRequestWaitMs otherwise.
// Nothing when no byte came (a reachability probe) or the daemon stops.
std::optional<std::string> read_request(int fd, int stop_fd) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
    std::string request;
    char buffer[kMaxRequest];
    while (request.size() < kMaxRequest && request.find('\n') == std::string::npos) {
        Wait wait = wait_for(fd, POLLIN, stop_fd, ms_until(deadline));
        if (wait == Wait::Stop) return std::nullopt;
        if (wait == Wait::Timeout) break;
        ssize_t n = read(fd, buffer, kMaxRequest - request.size());
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (n > 0) request.append(buffer, static_cast<size_t>(n));
    }
    size_t end = request.find('\n');
    if (end != std::string::npos) request.resize(end + 1);
    if (request.empty()) return std::nullopt;
    return request;
}

// The reply bytes, in pieces with pauses when the rule asks for chunks.
bool send_reply(const Rule &rule, int fd, int stop_fd) {
    std::string_view reply = rule.reply;
    if (rule.chunk_bytes <= 0) return send_all(fd, reply, stop_fd);
    for (size_t at = 0; at < reply.size(); at += static_cast<size_t>(rule.chunk_bytes)) {
        if (at > 0 && !pause(stop_fd, rule.chunk_pause_ms)) return false;
        if (!send_all(fd, reply.substr(at, static_cast<size_t>(rule.chunk_bytes)), stop_fd)) return false;
    }
    return true;
}

// A reply that never ends: a filler line every kFillerPeriodMs until the
// client closes.
void send_endlessly(int fd, int stop_fd) {
    for (;;) {
        Wait wait = wait_for(fd, POLLIN, stop_fd, kFillerPeriodMs);
        if (wait == Wait::Stop || (wait == Wait::Ready && !client_still_open(fd))) return;
        if (!send_all(fd, kFiller, stop_fd)) return;
    }
}

void play(const Rule &rule, int fd, int stop_fd) {
    if (rule.silent) return wait_until_closed(fd, stop_fd);
    if (!pause(stop_fd, rule.delay_ms) || !send_reply(rule, fd, stop_fd)) return;
    switch (rule.then) {
        case Rule::Then::Close: return;
        case Rule::Then::Hold: return wait_until_closed(fd, stop_fd);
        case Rule::Then::Endless: return send_endlessly(fd, stop_fd);
    }
}

// Ends the connection with a FIN rather than a reset: input still unread
// when a socket is closed would make the kernel reset the connection and
// could cost the client the end of the reply.
void close_gently(Fd &client) {
    shutdown(client.get(), SHUT_WR);
    char scratch[512];
    for (int i = 0; i < 64 && read(client.get(), scratch, sizeof scratch) > 0; ++i) {
    }
    client.reset();
}

}  // namespace

void RequestLog::append(std::string_view request) {
    // Bytes that are not UTF-8 become U+FFFD; JSON cannot carry them as is.
    std::string line = nlohmann::json(std::string(request)).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    line += '\n';
    std::lock_guard<std::mutex> guard(mutex_);
    if (write(fd_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::fprintf(stderr, "cannot note a request: %s\n", std::strerror(errno));
}

void serve_connection(const ServeContext &context, Fd client) {
    std::optional<std::string> request = read_request(client.get(), context.stop_fd);
    if (request) {
        if (context.log != nullptr) context.log->append(*request);
        try {
            std::shared_ptr<const Scenario> scenario = context.scenario->current();
            if (const Rule *rule = scenario->answer(*request)) play(*rule, client.get(), context.stop_fd);
        } catch (const ScenarioError &e) {
            std::fprintf(stderr, "%s: %s\n", context.program.c_str(), e.what());
        }
    }
    close_gently(client);
}

}  // namespace zt::standin
