// Primary server discovery and the reachability check.  The primary's
// cache lives for the whole process, so every case that depends on it
// runs in a child process of its own and starts with empty caches.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "admin_private.h"
#include "test_support.h"

namespace {

using zt::test::TempDir;

std::string local_name() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// Runs `body` in a child process; it returns "" on success or what went
// wrong, which becomes this test's failure.
void in_child(const std::function<std::string()> &body) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipe_fds[0]);
        std::string problem = body();
        ssize_t ignored = write(pipe_fds[1], problem.data(), problem.size());
        (void)ignored;
        _exit(problem.empty() ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string problem;
    char chunk[512];
    for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) problem.append(chunk, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(problem, "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (problem.empty() ? 0 : 1)) << "status " << status;
}

// "" when the primary look-up gives `status`, `host` and `port`.
std::string check_primary(AdminStatus status, const std::string &host, int port) {
    char *name = reinterpret_cast<char *>(1);
    int got_port = 0;
    AdminStatus got = zt_getDSprimary(&name, &got_port);
    std::string found = name != nullptr ? name : "(absent)";
    std::free(name);
    if (got == status && got_port == port && found == host) return "";
    return "got status " + std::to_string(got) + " host " + found + " port " + std::to_string(got_port) +
           "; wanted " + std::to_string(status) + " " + host + " " + std::to_string(port);
}

class DsPrimary : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZTADMIN_ROOT", dir_.path().c_str(), 1);
        setenv("ZTADMIN_LOG", log_path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZTADMIN_ROOT");
        unsetenv("ZTADMIN_LOG");
    }
    std::string config_path() const { return dir_.path() + zt::kDsConfigPath; }
    std::string log_path() const { return dir_.path() + "/log"; }
    void write_config(const std::string &text) const { dir_.write(std::string(zt::kDsConfigPath).substr(1), text); }
    std::string log() const { return zt::test::read_file(log_path()); }

    TempDir dir_;
};

// ------------------------------------------------------- zt_getDSprimary

struct PrimaryCase {
    const char *name;
    const char *config;
    AdminStatus status;
    const char *host;  // "@" stands for this host's name
    int port;
    int is_primary;
    const char *message;  // logged text, or ""
};

const PrimaryCase kPrimaryCases[] = {
    {"master_line_makes_this_host_primary",
     "database ldbm\nsuffix o=ztdata\nmaster subtree=o=ztdata\nslave referral=ldap://h1:389\n", 0, "@", -1, 1, ""},
    {"no_slave_line_makes_this_host_primary", "database ldbm\nsuffix O=ZTDATA\n", 0, "@", -1, 1, ""},
    {"slave_referral_names_host_and_port",
     "database ldbm\nsuffix o=ztdata\nslave subtree=o=ztdata referral=ldap://h1:389 referral=ldap://h9:9\n", 0, "h1",
     389, 0, ""},
    {"later_slave_line_counts",
     "database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1:389\nslave referral=ldaps://h2:636\n", 0, "h2", 636, 0,
     ""},
    {"referral_without_scheme", "database ldbm\nsuffix o=ztdata\nslave referral=h3:1389\n", 0, "h3", 1389, 0, ""},
    {"backend_chosen_by_data_suffix",
     "database ldbm\nsuffix o=other\nmaster\ndatabase ldbm\nsuffix o=ztdata\nslave referral=ldap://h4:10\n", 0, "h4",
     10, 0, ""},
    {"referral_without_port", "database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1\n", -26, "(absent)", -1, 0,
     "zt_getDSprimary(): invalid or missing port number in datastore config file."},
    {"referral_with_port_0", "database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1:0\n", -26, "(absent)", -1, 0,
     "zt_getDSprimary(): invalid or missing port number in datastore config file."},
    {"referral_with_path_after_port", "database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1:389/o=ztdata\n", -26,
     "(absent)", -1, 0, "zt_getDSprimary(): invalid or missing port number in datastore config file."},
    {"slave_without_referral",
     "database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1:389\nslave subtree=o=ztdata\n", -26, "(absent)", -1, 0,
     "zt_getDSprimary(): no referral in slave line in datastore config file."},
    {"no_backend_for_data_suffix", "database ldbm\nsuffix o=other\n", -4, "(absent)", -1, 0, ""},
    {"invalid_configuration", "database\n", -1, "(absent)", -1, 0, ""},
};

void PrintTo(const PrimaryCase &c, std::ostream *os) { *os << c.name; }

class GetDsPrimary : public DsPrimary, public ::testing::WithParamInterface<PrimaryCase> {};

TEST_P(GetDsPrimary, ReadsTopology) {
    const PrimaryCase &c = GetParam();
    write_config(c.config);
    const std::string host = std::string(c.host) == "@" ? local_name() : c.host;
    in_child([&] { return check_primary(c.status, host, c.port); });
    if (*c.message != '\0') {
        EXPECT_EQ(log(), "14 " + std::string(c.message) + "\n");
    }
    in_child([&] {
        int got = zt_isDSprimary();
        return got == c.is_primary ? "" : "zt_isDSprimary gave " + std::to_string(got);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, GetDsPrimary, ::testing::ValuesIn(kPrimaryCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(DsPrimary, AnswerIsCachedForTheLifeOfTheProcess) {
    write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h1:389\n");
    in_child([&] {
        std::string problem = check_primary(0, "h1", 389);
        if (std::remove(config_path().c_str()) != 0) return std::string("could not remove the file");
        problem += check_primary(0, "h1", 389);
        return problem + check_primary(0, "h1", 389);
    });
}

TEST_F(DsPrimary, FailedLookUpLeavesTheCacheEmpty) {
    in_child([&] {
        std::string problem = check_primary(ADMIN_ERR_NO_SUCH_FILE, "(absent)", -1);
        if (zt_isDSprimary() != 0) problem += "primary without a file; ";
        write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h5:5\n");
        return problem + check_primary(0, "h5", 5);
    });
}

TEST_F(DsPrimary, ThreadsAgreeOnOneAnswer) {
    write_config("database ldbm\nsuffix o=ztdata\nslave referral=ldap://h6:6\n");
    in_child([&] {
        std::vector<std::string> problems(8);
        std::vector<std::thread> threads;
        for (auto &p : problems) threads.emplace_back([&p] { p = check_primary(0, "h6", 6); });
        for (auto &t : threads) t.join();
        std::string all;
        for (const auto &p : problems) all += p;
        return all;
    });
}

// ----------------------------------------------------------- zt_pingDShost

// A TCP socket listening on 127.0.0.1 on a port of the system's choice.
struct Listener {
    zt::Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    int port = 0;
    explicit Listener(int backlog) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
            listen(fd.get(), backlog) != 0)
            fd.reset();
        port = ntohs(address.sin_port);
    }
};

// Starts a non-blocking connection to 127.0.0.1:port; true when it
// completed within `wait_ms`.
bool connect_within(zt::Fd &fd, int port, int wait_ms) {
    fd.reset(socket(AF_INET, SOCK_STREAM, 0));
    fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return true;
    pollfd watch{fd.get(), POLLOUT, 0};
    return poll(&watch, 1, wait_ms) == 1;
}

class PingDsHost : public DsPrimary {};

TEST_F(PingDsHost, ListeningPortAnswers) {
    Listener server(5);
    ASSERT_TRUE(server.fd);
    EXPECT_EQ(zt_pingDShost("127.0.0.1", server.port, 5), 0);
    EXPECT_EQ(zt_pingDShost("localhost", server.port, 0), 0);  // no time limit
    EXPECT_EQ(log(), "");
}

TEST_F(PingDsHost, ThisHostNeedsNoConnection) {
    std::string name = local_name();
    for (char &c : name) c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
    EXPECT_EQ(zt_pingDShost(name.c_str(), 0, 0), 0);
    EXPECT_EQ(zt_pingDShost(name.c_str(), -5, 3), 0);
}

TEST_F(PingDsHost, BadArguments) {
    EXPECT_EQ(zt_pingDShost(nullptr, 389, 5), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_pingDShost("127.0.0.1", 389, -1), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_pingDShost("127.0.0.1", 0, 5), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_pingDShost("127.0.0.1", -1, 5), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_pingDShost("127.0.0.1", 65536, 5), ADMIN_ERR_INVALID_ARGS);
}

TEST_F(PingDsHost, UnresolvableHostIsNotFound) {
    EXPECT_EQ(zt_pingDShost("no-such-host.invalid", 389, 5), ADMIN_ERR_NOT_FOUND);
}

TEST_F(PingDsHost, ConnectionRefusedAtOnce) {
    // TCP to a multicast address is refused by the local stack at once.
    EXPECT_EQ(zt_pingDShost("224.0.0.1", 389, 5), ADMIN_ERR_REMOTE_SERVICE);
    EXPECT_EQ(log(), "14 zt_pingDShost(): connect failed (Network is unreachable)\n");
}

TEST_F(PingDsHost, ClosedPortFails) {
    int port;
    {
        Listener gone(1);
        ASSERT_TRUE(gone.fd);
        port = gone.port;
    }
    // Refused either at once or while waiting, depending on the kernel.
    AdminStatus got = zt_pingDShost("127.0.0.1", port, 5);
    if (got == ADMIN_ERR_REMOTE_SERVICE)
        EXPECT_EQ(log(), "14 zt_pingDShost(): connect failed (Connection refused)\n");
    else
        EXPECT_EQ(log(), "14 zt_pingDShost(): internal socket error 111\n");
    EXPECT_TRUE(got == ADMIN_ERR_REMOTE_SERVICE || got == ADMIN_ERR_INTERNAL) << got;
}

TEST_F(PingDsHost, FullBacklogTimesOut) {
    // A listener that never accepts: once its queue is full, new
    // connections get no answer.
    Listener server(0);
    ASSERT_TRUE(server.fd);
    std::vector<zt::Fd> fillers(8);
    size_t filled = 0;
    while (filled < fillers.size() && connect_within(fillers[filled], server.port, 200)) ++filled;
    ASSERT_LT(filled, fillers.size()) << "the queue never filled";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zt_pingDShost("127.0.0.1", server.port, 1), ADMIN_ERR_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(3));
}

}  // namespace
