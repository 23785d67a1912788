// SPDX-License-Identifier: GPL-3.0-or-later
// standin_daemon_test.cc - the stand-in managers answer exactly as their scenario says, keep serving while connections
// are held, and stop on SIGTERM regardless.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <chrono>
#include <stdexcept>

#include "admin_private.h"
#include "scenario.h"
#include "standin_daemon.h"

namespace {

using namespace zt::test;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
using Service = StandinDaemon::Service;

constexpr const char *kHost = "127.0.0.21";

int service_port(const char *service, int fallback) {
    const servent *entry = getservbyname(service, "tcp");
    return entry != nullptr ? ntohs(static_cast<uint16_t>(entry->s_port)) : fallback;
}

zt::Fd connect_to(int port) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    inet_pton(AF_INET, kHost, &address.sin_addr);
    zt::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect");
    return fd;
}

// What came back; the time of the last byte counts from the sending of the request.
struct Received { std::string bytes; bool closed = false; long last_byte_ms = 0; };

// Sends `request` (nothing at all when empty: a reachability probe, which
// closes its side) and reads until the daemon closes or `window` passes.
Received exchange(const zt::Fd &fd, const std::string &request, std::chrono::milliseconds window = 3s) {
    if (request.empty()) shutdown(fd.get(), SHUT_WR);
    else if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error("cannot send");
    Received got;
    auto start = Clock::now(), end = start + window;
    char buffer[4096];
    for (auto now = start; now < end; now = Clock::now()) {
        pollfd pfd = {fd.get(), POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count())) <= 0)
            continue;
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n <= 0) {
            got.closed = true;
            break;
        }
        got.bytes.append(buffer, static_cast<size_t>(n));
        got.last_byte_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    return got;
}

const char *kScenario = R"({
  "replies": [
    {"request": "status\n", "records": [["terminalId=IEEE802.0200aa", "LocalName=card.1"], ["a=b"]],
     "lines": ["host h 0"], "raw": "x\u0000y"},
    {"prefix": "status tokenName=", "raw": "by prefix\n"},
    {"prefix": "status", "raw": "later prefix\n"},
    {"request": "hold\n", "raw": "held\n", "then": "hold"},
    {"request": "delay\n", "raw": "late\n", "delay_ms": 300},
    {"request": "chunks\n", "raw": "abcdefgh", "chunk_bytes": 3, "chunk_pause_ms": 100}
  ],
  "default": {"raw": "default\n", "comment": "anything else"}
})";

// One table through the rule kinds. The held connection stays open while the later rows run, so a daemon that serves
// one connection at a time fails those rows.  Endless and silent replies are the session clients' tests.
TEST(StandinDaemonTest, AnswersEachRuleKindAndStopsWithConnectionsHeld) {
    StandinDaemon daemon(Service::AuthMgr, kHost, kScenario);
    const std::string long_line(2000, 'a');
    struct Case { const char *what; std::string request, reply; bool closes; long min_last_byte_ms; } cases[] = {
        {"hold", "hold\n", "held\n", false, 0},
        {"exact: records, lines, raw with NUL", "status\n",
         "begin\nterminalId=IEEE802.0200aa\nLocalName=card.1\nend\nbegin\na=b\nend\nhost h 0\nx\0y"s, true, 0},
        {"exact is not a prefix", "status\r\n", "later prefix\n", true, 0},
        {"first matching prefix", "status tokenName=TerminalId.0200aa\r\n", "by prefix\n", true, 0},
        {"default", "gstatus\n", "default\n", true, 0},
        {"request ends at the first line feed", "gstatus\nstatus\n", "default\n", true, 0},
        {"request cut at 1024 bytes", long_line + "\n", "default\n", true, 0},
        {"probe: no request, no reply", "", "", true, 0},
        {"delay", "delay\n", "late\n", true, 300},
        {"chunks with pauses", "chunks\n", "abcdefgh", true, 200},
    };
    int port = service_port("ztauthd-cb", 7010);
    std::vector<zt::Fd> open_connections;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zt::Fd fd = connect_to(port);
        Received got = exchange(fd, c.request, c.closes ? 3s : 300ms);
        EXPECT_EQ(got.closed, c.closes);
        EXPECT_GE(got.last_byte_ms, c.min_last_byte_ms);
        EXPECT_EQ(got.bytes, c.reply);
        if (!got.closed) open_connections.push_back(std::move(fd));
    }
    EXPECT_EQ(daemon.requests(),
              (Strings{"hold\n", "status\n", "status\r\n", "status tokenName=TerminalId.0200aa\r\n", "gstatus\n",
                       "gstatus\n", long_line.substr(0, 1024), "delay\n", "chunks\n"}));
    auto start = Clock::now();
    EXPECT_EQ(daemon.stop(), 0);  // under ASan a leak would make this non-zero
    EXPECT_LT(Clock::now() - start, 2s);
}

// The scenario is read again for every connection (the session clients' tests change it between queries), so a
// scenario broken later closes the connection and says why.
TEST(StandinDaemonTest, UnmatchedRequestsAndScenariosBrokenLaterCloseAtOnce) {
    StandinDaemon daemon(Service::SessionMgr, kHost, R"({"replies": [{"request": "smstatus\n", "raw": "first\n"}]})");
    int port = service_port("ztsessiond", 7007);
    Received unmatched = exchange(connect_to(port), "status\n");  // no default: closed at once
    EXPECT_EQ(std::pair(unmatched.closed, unmatched.bytes), std::pair(true, ""s));
    daemon.set_scenario(R"({"replies": [{"request": "smstatus\n", "raw": "x", "delay": 5}]})");
    Received broken = exchange(connect_to(port), "smstatus\n");
    EXPECT_EQ(std::pair(broken.closed, broken.bytes), std::pair(true, ""s));
    EXPECT_NE(daemon.errors().find("replies[0]: unknown key \"delay\""), std::string::npos) << daemon.errors();
    EXPECT_EQ(daemon.stop(), 0);
}

// Scenarios a test author could get wrong; each must be refused with a message that points at the fault.
TEST(StandinDaemonTest, RefusesMalformedScenariosAndReportsStartFailures) {
    struct Case { const char *scenario, *message; } cases[] = {
        {"{ not json", "parse error"},
        {R"([])", "scenario: must be a JSON object"},
        {R"({"replies": {}})", "replies: must be an array"},
        {R"({"replies": [{"raw": "x"}]})", "replies[0]: needs exactly one of"},
        {R"({"replies": [{"request": "a", "prefix": "a"}]})", "replies[0]: needs exactly one of"},
        {R"({"default": {"prefix": "a"}})", "default: the default rule answers every request"},
        {R"({"replies": [{"request": "a", "records": [["x", 1]]}]})", "replies[0].records[0][1]: must be a string"},
        {R"({"replies": [{"request": "a", "lines": "x"}]})", "replies[0].lines: must be an array"},
        {R"({"replies": [{"request": "a", "delay_ms": -1}]})", "replies[0].delay_ms: must be a non-negative"},
        {R"({"replies": [{"request": "a", "chunk_bytes": 1.5}]})", "replies[0].chunk_bytes: must be a non-negative"},
        {R"({"replies": [{"request": "a", "then": "later"}]})", "replies[0].then: must be"},
        {R"({"replies": [{"request": "a", "silent": 1}]})", "replies[0].silent: must be true or false"},
        {R"({"reply": []})", "scenario: unknown key \"reply\""},
    };
    for (const Case &c : cases) {
        try {
            zt::standin::parse_scenario(c.scenario);
            ADD_FAILURE() << c.scenario << " was accepted";
        } catch (const zt::standin::ScenarioError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.scenario << ": " << e.what();
        }
    }

    StandinDaemon first(Service::AuthMgr, kHost, "{}");
    std::string taken = std::string(kHost) + ":" + std::to_string(service_port("ztauthd-cb", 7010));
    struct Start { std::string listen; const char *message; } starts[] = {
        {taken, "cannot listen on 127.0.0.21:"},
        {"10.0.0.1", "needs a loopback address"},
        {"127.0.0.21:65536", "needs a loopback address"},
    };
    for (const Start &c : starts) {
        try {
            StandinDaemon second(Service::AuthMgr, c.listen, "{}");
            ADD_FAILURE() << c.listen << " was accepted";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
