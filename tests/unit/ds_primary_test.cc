// SPDX-License-Identifier: GPL-3.0-or-later
// Primary server discovery and the reachability check.  The primary's cache lives for the whole process, so every case
// that depends on it runs in a child process of its own and starts with empty caches.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "admin_private.h"
#include "test_support.h"

namespace {

std::string local_name() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// Runs `body` in a forked child, which starts with this process's empty caches, and expects it to return `expected`.
void expect_in_child(const std::function<std::string()> &body, const std::string &expected) {
    EXPECT_EXIT((std::fputs(body().c_str(), stderr), _exit(0)), ::testing::ExitedWithCode(0), ::testing::Eq(expected));
}

// The look-up as "status host:port is_primary;".
std::string primary() {
    char *name = reinterpret_cast<char *>(1);  // must be set to absent on failure
    int port = 0;
    AdminStatus status = zt_getDSprimary(&name, &port);
    std::string text = std::to_string(status) + " " + (name ? name : "(absent)") + ":" + std::to_string(port);
    std::free(name);
    return text + " " + std::to_string(zt_isDSprimary()) + ";";
}

class DsPrimary : public ::testing::Test {
protected:
    void write_config(const std::string &text) const { root_.write(std::string(zt::kDsConfigPath).substr(1), text); }
    std::string log() const { return log_.all(); }

    zt::test::RootDir root_;
    zt::test::LogFile log_;
};

TEST_F(DsPrimary, ReadsTopologyOfTheDataBackend) {
    const std::string bad_port = "zt_getDSprimary(): invalid or missing port number in datastore config file.";
    const std::string here = "0 " + local_name() + ":-1 1;", data = "database ldbm\nsuffix o=ztdata\n";
    // The message is logged by each failed look-up.
    const struct { std::string config, expected, message; } cases[] = {
        {data + "master subtree=o=ztdata\nslave referral=ldap://h1:389\n", here, ""},  // a master line: this host
        {"database ldbm\nsuffix O=ZTDATA\n", here, ""},                               // no slave line: this host
        {data + "slave referral=ldap://h1:389 referral=ldap://h9:9\n", "0 h1:389 0;", ""},
        {data + "slave referral=ldap://h1:389\nslave referral=ldaps://h2:636\n", "0 h2:636 0;", ""},  // the later
        {"database ldbm\nsuffix o=other\nmaster\n" + data + "slave referral=h4:10\n", "0 h4:10 0;", ""},
        {data + "slave referral=ldap://h1\n", "-26 (absent):-1 0;", bad_port},
        {data + "slave referral=ldap://h1:0\n", "-26 (absent):-1 0;", bad_port},
        {data + "slave referral=ldap://h1:389/o=ztdata\n", "-26 (absent):-1 0;", bad_port},  // host after the last "/"
        {data + "slave referral=ldap://h1:389\nslave subtree=o=ztdata\n", "-26 (absent):-1 0;",
         "zt_getDSprimary(): no referral in slave line in datastore config file."},
        {"database ldbm\nsuffix o=other\n", "-4 (absent):-1 0;", ""},
        {"database\n", "-1 (absent):-1 0;", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        write_config(c.config);
        log_.clear();
        expect_in_child(primary, c.expected);
        if (!c.message.empty()) {
            EXPECT_EQ(log(), "14 " + c.message + "\n14 " + c.message + "\n");
        }
    }
}

TEST_F(DsPrimary, FirstAnswerIsCachedForTheLifeOfTheProcessAndThreadsAgree) {
    expect_in_child([&] {
        std::string got = primary();  // a failure is not cached
        write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h5:5\n");
        got += primary();
        std::remove((root_.path() + zt::kDsConfigPath).c_str());
        return got + primary();
    }, std::to_string(ADMIN_ERR_NO_SUCH_FILE) + " (absent):-1 0;0 h5:5 0;0 h5:5 0;");

    // Threads agree on one answer.
    write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h6:6\n");
    expect_in_child([&] {
        std::vector<std::string> got(8);
        std::vector<std::thread> threads;
        for (auto &g : got) threads.emplace_back([&g] { g = primary(); });
        for (auto &t : threads) t.join();
        std::string odd;  // answers other than the one expected
        for (const auto &g : got) odd += g == "0 h6:6 0;" ? "" : g;
        return odd;
    }, "");
}

// A TCP socket listening on 127.0.0.1 on a port of the system's choice.
struct Listener {
    zt::Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    int port = 0;
    explicit Listener(int backlog) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        auto *any = reinterpret_cast<sockaddr *>(&address);
        if (bind(fd.get(), any, length) != 0 || getsockname(fd.get(), any, &length) != 0 || listen(fd.get(), backlog))
            fd.reset();
        port = ntohs(address.sin_port);
    }
};

TEST_F(DsPrimary, PingAnswersWithoutWaiting) {
    Listener server(5);
    ASSERT_TRUE(server.fd);
    std::string name = local_name();  // this host in other letter case: no connection, any port
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::toupper(ch); });
    const struct { const char *host; int port, timeout; AdminStatus expected; } cases[] = {
        {"127.0.0.1", server.port, 5, 0}, {"localhost", server.port, 0, 0},  // 0: no time limit
        {name.c_str(), 0, 0, 0},          {nullptr, 389, 5, -6},
        {"127.0.0.1", 389, -1, -6},       {"127.0.0.1", 0, 5, -6},
        {"127.0.0.1", 65536, 5, -6},      {"no-such-host.invalid", 389, 5, ADMIN_ERR_NOT_FOUND},
        {"224.0.0.1", 389, 5, ADMIN_ERR_REMOTE_SERVICE},  // TCP to multicast: refused by the local stack at once
    };
    for (const auto &c : cases)
        EXPECT_EQ(zt_pingDShost(c.host, c.port, c.timeout), c.expected) << (c.host ? c.host : "-") << ":" << c.port;
    EXPECT_EQ(log(), "14 zt_pingDShost(): connect failed (Network is unreachable)\n");

    log_.clear();
    int port = Listener(1).port;  // closed again at once
    // Refused either at once or while waiting, depending on the kernel.
    AdminStatus got = zt_pingDShost("127.0.0.1", port, 5);
    EXPECT_EQ(log(), got == ADMIN_ERR_REMOTE_SERVICE ? "14 zt_pingDShost(): connect failed (Connection refused)\n"
                                                      : "14 zt_pingDShost(): internal socket error 111\n");
    EXPECT_TRUE(got == ADMIN_ERR_REMOTE_SERVICE || got == ADMIN_ERR_INTERNAL) << got;
}

TEST_F(DsPrimary, PingTimesOutOnFullBacklog) {
    // A listener that never accepts: once its queue is full, new connections get no answer.
    Listener server(0);
    ASSERT_TRUE(server.fd);
    std::vector<zt::Fd> fillers;
    bool answered = true;
    while (answered && fillers.size() < 8) {
        zt::Fd &fd = fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(server.port)), {htonl(INADDR_LOOPBACK)}, {}};
        pollfd watch{fd.get(), POLLOUT, 0};
        answered = connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ||
                   poll(&watch, 1, 200) == 1;
    }
    ASSERT_FALSE(answered) << "the queue never filled";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zt_pingDShost("127.0.0.1", server.port, 1), ADMIN_ERR_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(3));
}

}  // namespace
