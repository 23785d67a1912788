// SPDX-License-Identifier: GPL-3.0-or-later
// StartTLS end to end, against a sandbox whose servers refuse every
// operation but StartTLS itself over a clear connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace zt::test {
namespace {

// A server on 127.0.0.1 that grants StartTLS and then never says another word, for the length of a scope.
class StallingTlsServer {
public:
    StallingTlsServer() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
        socklen_t length = sizeof at;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &length) != 0)
            return;
        port_ = ntohs(at.sin_port);
        thread_ = std::thread([this] { grant_one(); });
    }
    ~StallingTlsServer() {
        shutdown(listener_, SHUT_RDWR);  // ends a pending accept
        if (thread_.joinable()) thread_.join();
        close(peer_);
        close(listener_);
    }
    int port() const { return port_; }

private:
    // Answers the first request (the StartTLS request, message ID 1) with success and keeps the connection open.
    void grant_one() {
        peer_ = accept(listener_, nullptr, nullptr);
        unsigned char request[256];
        if (peer_ < 0 || read(peer_, request, sizeof request) < 5) return;
        const unsigned char granted[] = {0x30, 0x0c, 0x02, 0x01, request[4], 0x78, 0x07,
                                         0x0a, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
        if (write(peer_, granted, sizeof granted) != sizeof granted) return;
    }

    int listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int peer_ = -1;
    int port_ = 0;
    std::thread thread_;
};

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        const char *dir = std::getenv("ZT_SANDBOX_TLS");
        if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "no TLS sandbox";
        sandbox_ = dir;
    }
    // A tool tree like the TLS sandbox's, its configuration followed by
    // `overrides` (the last occurrence of a key counts), and no log yet.
    void configure(const std::string &overrides) {
        std::remove((log_.path() + "/log").c_str());
        const std::string etc = "etc/opt/KRVXzt/";
        for (const char *file : {"ztadmin.conf", "ztadmin.pw", "qmds/current/ztdsd.conf"})
            tree_.write(etc + file, read_file(sandbox_ + "/root/" + etc + file), 0600);
        tree_.write(etc + "ztadmin.conf", read_file(sandbox_ + "/root/" + etc + "ztadmin.conf") + overrides);
        chmod((tree_.path() + "/" + etc + "ztadmin.pw").c_str(), 0600);
    }
    RunResult ztuser(const Strings &args) { return run_ztuser(args, tree_.path(), log_.path() + "/log"); }

    std::string sandbox_;
    TempDir tree_, log_;
};

// The primary, too, refuses clear text: the referred write shows that the
// session opened after the referral ran StartTLS as well.
TEST_F(Tls, SimpleBindsAndTheReferredWriteRunOverTls) {
    configure("admin.server.authmech=SIMPLE\n");
    std::string token = "card.tls" + std::to_string(getpid());
    RunResult add = ztuser({"-a", token + ", localhost, 7007, Over Tls"});
    EXPECT_EQ(add.err, "Added one user.\n") << read_file(log_.path() + "/log");
    EXPECT_EQ(add.status, 0);
    // A listing reads its containers on further sessions: those too must
    // run StartTLS, or the server refuses their binds.
    std::remove((log_.path() + "/log").c_str());
    RunResult list = ztuser({"-L"});
    EXPECT_NE(list.out.find(token), std::string::npos);
    EXPECT_EQ(read_file(log_.path() + "/log").find("Could not bind"), std::string::npos);
    EXPECT_EQ(ztuser({"-d", token}).status, 0);
}

// Each fault is a bind failure that says why in the log (`lines`), at once: the CA file is read as a configuration file
// is, before libldap sees it (what is no regular file of bounded size fails the connection), and a handshake that
// stalls costs the answer bound.  `check`, where given, is the start of the line of `ztadmin check` naming the fault.
TEST_F(Tls, FailedHandshakesChecksAndCaFilesAreBindFailuresThatSayWhy) {
    const std::string port = std::to_string(std::atoi(read_file(sandbox_ + "/port").c_str()));
    const std::string fifo = tree_.path() + "/fifo", large = tree_.write("large.pem", std::string(1 << 21, 'x'));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    StallingTlsServer stalling;
    const std::string bind = "open_connection(): Could not bind to DS server ", ca = "admin.server.tls.cacert=",
                      unreadable = "open_connection(): Could not read CA file (",
                      untrusted = "StartTLS with DS server 127.0.0.1 failed - Connect error (TLS: peer cert untrusted";
    const struct { std::string overrides; Strings lines; std::string check; } cases[] = {
        {ca + sandbox_ + "/tls/other-ca.pem", {untrusted + " or revoked", bind + "127.0.0.1 - Connect error"},
         "FAILED  StartTLS with 127.0.0.1 port " + port + ": open_connection(): " + untrusted + " or revoked"},
        {"admin.server.name=localhost",
         {"does not match common name in certificate (127.0.0.1).)", bind + "localhost - Connect error"},
         "FAILED  StartTLS with localhost port " + port + ": open_connection(): StartTLS with DS server localhost "
         "failed - Connect error (TLS: hostname ("},
        {"admin.server.tls=StartTLS",
         {"14 invalid TLS mode specified in /etc/opt/KRVXzt/ztadmin.conf\n"
          "14 open_connection(): invalid TLS mode (=-1)\n",
          bind + "127.0.0.1 - Bad parameter to an ldap routine"},
         "FAILED  configuration key admin.server.tls: \"StartTLS\" is neither"},
        // Without TLS the server refuses the bind itself.
        {"admin.server.tls=none", {bind + "127.0.0.1 - Confidentiality required"},
         "FAILED  bind as cn=admin,o=ztdata at 127.0.0.1 port " + port + ": " + bind + "127.0.0.1 - Confidentiality "
         "required"},
        {ca + "/dev/zero", {unreadable + "/dev/zero) - Invalid argument"}, ""},
        {ca + fifo, {unreadable + fifo + ") - Invalid argument"}, ""},
        {ca + large, {unreadable + large + ") - File too large"}, ""},
        {"admin.server.port=" + std::to_string(stalling.port()) + "\nadmin.server.optimeout=1",
         {"open_connection(): StartTLS with DS server 127.0.0.1 failed - Connect error"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.overrides);
        configure(c.overrides + "\n");
        auto start = std::chrono::steady_clock::now();
        RunResult r = ztuser({"-li", "x"});
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 4.0);
        EXPECT_EQ(r.err, "Error: could not connect to admin server\n");
        EXPECT_EQ(r.status, 255);
        std::string log = read_file(log_.path() + "/log");
        for (const auto &line : c.lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        if (c.check.empty()) continue;
        EXPECT_EQ(log.find("StartTLS") != std::string::npos, c.overrides.find("tls=") == std::string::npos) << log;
        RunOptions in_tree;
        in_tree.env["ZTADMIN_ROOT"] = tree_.path();
        RunResult check = run({build_path("ztadmin"), "check", "--quiet"}, in_tree);
        EXPECT_NE(("\n" + check.out).find("\n" + c.check), std::string::npos) << check.out;
        EXPECT_EQ(check.status, 1);
    }
}

// Without "admin.server.tls.cacert" the CA is the one the LDAP library's own configuration names (ldap.conf, which
// fills libldap's process-wide options): here set in-process, first to a CA that did not sign the servers.
TEST_F(Tls, WithoutACaFileTheLibrarysDefaultCaIsTrusted) {
    configure("");
    std::string conf = tree_.path() + "/etc/opt/KRVXzt/ztadmin.conf", text = read_file(conf);
    tree_.write("etc/opt/KRVXzt/ztadmin.conf", text.substr(0, text.find("admin.server.tls.cacert=")));
    setenv("ZTADMIN_ROOT", tree_.path().c_str(), 1);
    for (auto [ca, connects] : {std::pair{"/tls/other-ca.pem", false}, {"/tls/ca.pem", true}}) {
        std::string path = sandbox_ + ca;
        ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, path.c_str()), LDAP_OPT_SUCCESS);
        AdminConfig *conn = open_connection(3, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(conn != nullptr, connects) << ca;
        close_connection(conn);
    }
    unsetenv("ZTADMIN_ROOT");
}

}  // namespace
}  // namespace zt::test
