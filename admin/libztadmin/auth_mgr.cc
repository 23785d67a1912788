// SPDX-License-Identifier: GPL-3.0-or-later
// auth_mgr.cc - the exchange every session-service query performs, the
// framing of its reply into lines and records, and the stream for callers
// that talk to the authentication manager themselves.
//
// The manager ends its reply by closing the connection.  A manager that
// stops sending without closing, or never stops, must not hold the caller
// for ever: after the first data the reader gives up when nothing arrives
// for kIdleMs, when the reply has taken kTotalMs, or when it has grown past
// kMaxReplyBytes, and keeps what it read as it would after a read error.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace zt::session {

namespace {

using Clock = std::chrono::steady_clock;

struct ReadEnd {
    Outcome outcome;
    int error;  // errno of a reply cut short
};

int ms_until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits until `fd` is readable, at most kIdleMs and not past `deadline`;
// 0, or the errno that ends the reply.
int wait_readable(int fd, Clock::time_point deadline) {
    int wait_ms = std::min(kIdleMs, ms_until(deadline));
    if (wait_ms == 0) return ETIMEDOUT;
    pollfd watch{fd, POLLIN, 0};
    int ready = poll(&watch, 1, wait_ms);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0 && errno != EINTR) return errno;
    return 0;
}

// Reads the non-blocking socket until the manager closes it, the handler
// stops, or the reply fails or runs over its bounds.
ReadEnd read_until_closed(int fd, LineAssembler &lines, const LineHandler &on_line) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTotalMs);
    size_t total = 0;
    char chunk[kReadSize];
    for (;;) {
        if (Clock::now() >= deadline) return {Outcome::kCutShort, ETIMEDOUT};
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) return {Outcome::kComplete, 0};
        if (n > 0) {
            total += static_cast<size_t>(n);
            if (total > kMaxReplyBytes) return {Outcome::kCutShort, EMSGSIZE};
            if (!lines.feed(std::string_view(chunk, static_cast<size_t>(n)), on_line)) return {Outcome::kStopped, 0};
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {Outcome::kCutShort, errno};
        if (int error = wait_readable(fd, deadline); error != 0) return {Outcome::kCutShort, error};
    }
}

// Connects to the manager and sends the request; a socket ready for the
// first wait, or the failure.  `given` is the host as the caller named it:
// the local manager a caller did not name is not probed (ping_host counts
// an absent host as answering without running the probe).
Result connect_and_send(const Query &query, const char *given, int port, Fd &fd) {
    const char *host = given != nullptr ? given : kLocalHost;
    if (query.resolve) {
        in_addr ignored{};
        if (!resolve_ipv4(host, &ignored)) {
            report(query.caller, "Unable to resolve host [%s]\n", host);
            return {Outcome::kFailed, ADMIN_ERR_SERVER_UNREACHABLE};
        }
    }
    if (query.probe && probe_host(given) != 0) {
        report(query.caller, "No response from host %s:%d\n", host, port);
        return {Outcome::kFailed, ADMIN_ERR_SERVER_UNREACHABLE};
    }
    dlprintf("b", "opening %s:%d\n", host, port);
    fd.reset(open_socket_within(host, port, kConnectMs));
    int flags = fd ? fcntl(fd.get(), F_GETFL) : -1;
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        report(query.caller, query.words.open_failed, host, port);
        return {Outcome::kFailed, ADMIN_ERR_SOCKET_OPEN};
    }
    ssize_t sent = send(fd.get(), query.request.data(), query.request.size(), MSG_NOSIGNAL);
    if (sent < 0 || static_cast<size_t>(sent) != query.request.size()) {
        report(query.caller, "%s", query.words.write_failed);
        return {Outcome::kFailed, ADMIN_ERR_SOCKET_WRITE};
    }
    return {Outcome::kComplete, ADMIN_SUCCESS};
}

}  // namespace

void report(const char *caller, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    dprintf("%s(): %s", caller, text.c_str());
}

int service_port(const Service &service, const char *caller) {
    servent entry{};
    servent *found = nullptr;
    char work[1024];
    if (getservbyname_r(service.name, "tcp", &entry, work, sizeof work, &found) == 0 && found != nullptr)
        return ntohs(static_cast<uint16_t>(found->s_port));
    if (caller != nullptr) {
        report(caller, "Could not find service (%s)\n", service.name);
        report(caller, "Using hard-coded port (%d)\n", service.fallback_port);
    }
    return service.fallback_port;
}

Result exchange(const Query &query, const char *host, const LineHandler &on_line) {
    int port = service_port(query.service, query.caller);
    Fd fd;
    Result sent = connect_and_send(query, host, port, fd);
    if (sent.outcome == Outcome::kFailed) return sent;
    pollfd watch{fd.get(), POLLIN, 0};
    if (poll(&watch, 1, kFirstDataMs) == 0) {
        report(query.caller, "%s", query.words.poll_timeout);
        return {Outcome::kFailed, ADMIN_ERR_AUTHMGR_TIMEOUT};
    }
    LineAssembler lines;
    ReadEnd end = read_until_closed(fd.get(), lines, on_line);
    if (lines.dropped() > 0) report(query.caller, "dropped %d reply lines too long or not text\n", lines.dropped());
    if (end.outcome != Outcome::kCutShort) return {end.outcome, ADMIN_SUCCESS};
    report(query.caller, "read error - %s\n", std::strerror(end.error));
    return {Outcome::kCutShort, end.error == ETIMEDOUT ? ADMIN_ERR_AUTHMGR_TIMEOUT : ADMIN_ERR_INTERNAL};
}

// ------------------------------------------------------------ framing

bool LineAssembler::feed(std::string_view chunk, const LineHandler &on_line) {
    while (!chunk.empty()) {
        size_t end = chunk.find('\n');
        std::string_view piece = chunk.substr(0, end);
        if (!oversized_ && pending_.size() + piece.size() > kMaxLine) {
            oversized_ = true;
            pending_.clear();
        }
        if (!oversized_) pending_.append(piece);
        if (end == std::string_view::npos) return true;
        chunk.remove_prefix(end + 1);
        if (!finish_line(on_line)) return false;
    }
    return true;
}

bool LineAssembler::finish_line(const LineHandler &on_line) {
    bool malformed = oversized_ || pending_.find('\0') != std::string::npos;
    LineStatus status = malformed ? LineStatus::kDropped : on_line(pending_);
    pending_.clear();
    oversized_ = false;
    if (status == LineStatus::kDropped) ++dropped_;
    return status != LineStatus::kStop;
}

bool BoundedText::append_line(std::string_view line) {
    if (full_ || text_.size() + line.size() + 1 > kMaxRecord) {
        full_ = true;
        return false;
    }
    text_.append(line);
    text_ += '\n';
    return true;
}

LineStatus RecordFramer::line(std::string_view line) {
    if (line == "begin") {
        record_.clear();
    } else if (line == "end") {
        on_record_(record_.text().c_str());
    } else if (!record_.append_line(line)) {
        return LineStatus::kDropped;
    }
    return LineStatus::kTaken;
}

bool feed_reply(std::string_view reply, size_t chunk, const LineHandler &on_line) {
    LineAssembler lines;
    chunk = std::max<size_t>(chunk, 1);
    for (size_t at = 0; at < reply.size(); at += chunk) {
        if (!lines.feed(reply.substr(at, chunk), on_line)) return false;
    }
    return true;
}

// ------------------------------------------------------- text helpers

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_blank(line[at])) ++at;
        size_t start = at;
        while (at < line.size() && !is_blank(line[at])) ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

int decimal_field(const std::vector<std::string_view> &fields, size_t index) {
    if (index >= fields.size()) return 0;
    std::string text(fields[index]);
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

unsigned int hex_field(const std::vector<std::string_view> &fields, size_t index) {
    if (index >= fields.size()) return 0;
    std::string text(fields[index]);
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 16);
    return static_cast<unsigned int>(std::min<unsigned long long>(value, UINT_MAX));
}

bool same_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

void for_each_pair(const char *record, const std::function<void(const char *key, const char *value)> &on_pair) {
    if (record == nullptr) return;
    std::string_view text(record);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() < 2 || line.size() > kMaxLine) continue;
        char *key = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(line.c_str(), &key, &value) == 1 && key != nullptr && value != nullptr)
            on_pair(key, value);
        std::free(key);
        std::free(value);
    }
}

std::string wanted_keys_text(const char *const *keys) {
    std::string wanted = "~terminalCID~terminalId~tokenName~firmware~";
    for (; keys != nullptr && *keys != nullptr; ++keys) {
        wanted += *keys;
        wanted += '~';
    }
    return wanted;
}

}  // namespace zt::session

// ----------------------------------------------------- callback stream

extern "C" FILE *zt_openAuthCallback(const char *host, AdminStatus *status) {
    AdminStatus ignored = 0;
    if (status == nullptr) status = &ignored;
    int port = zt::session::service_port(zt::session::kAuthManager, nullptr);
    bool local = host == nullptr || *host == '\0';
    if (local) host = zt::session::kLocalHost;
    if (!local && zt::session::probe_host(host) != 0) {
        *status = ADMIN_ERR_SERVER_UNREACHABLE;
        return nullptr;
    }
    zt::Fd fd(zt::session::open_socket_within(host, port, zt::session::kConnectMs));
    int flags = fd ? fcntl(fd.get(), F_GETFL) : -1;
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {  // the stream's caller blocks
        *status = ADMIN_ERR_SOCKET_OPEN;
        return nullptr;
    }
    FILE *stream = fdopen(fd.get(), "r+");
    if (stream == nullptr) {
        *status = ADMIN_ERR_INTERNAL;
        return nullptr;
    }
    fd.release();
    *status = ADMIN_SUCCESS;
    return stream;
}

extern "C" int zt_closeAuthCallback(FILE *stream) {
    if (stream == nullptr) return -1;
    return std::fclose(stream) == 0 ? 0 : -1;
}
