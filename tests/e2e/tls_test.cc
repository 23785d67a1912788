// StartTLS end to end, against a sandbox whose servers refuse every
// operation but StartTLS itself over a clear connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace zt::test {
namespace {

constexpr const char *kEtc = "etc/opt/KRVXzt/";

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        const char *dir = std::getenv("ZT_SANDBOX_TLS");
        if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "no TLS sandbox";
        sandbox_ = dir;
    }

    // A tool tree like the TLS sandbox's, with configuration keys replaced
    // ("" drops one); run() uses it.
    void use_configuration(const std::map<std::string, std::string> &changes) {
        std::string conf;
        for (std::string line : split(read_file(sandbox_ + "/root/" + kEtc + "ztadmin.conf"))) {
            std::string key = line.substr(0, line.find('='));
            if (changes.count(key) == 0) conf += line + "\n";
        }
        for (const auto &[key, value] : changes) conf += value.empty() ? "" : key + "=" + value + "\n";
        tree_.write(std::string(kEtc) + "ztadmin.conf", conf);
        for (const char *file : {"ztadmin.pw", "qmds/current/ztdsd.conf"})
            tree_.write(std::string(kEtc) + file, read_file(sandbox_ + "/root/" + kEtc + file));
    }
    RunResult run_ztuser(std::vector<std::string> args, bool unprivileged = false) {
        args.insert(args.begin(), ztuser_path());
        RunOptions options;
        options.env = {{"ZTADMIN_ROOT", tree_.path()}, {"ZTADMIN_LOG", log_.path() + "/ztadmin.log"}};
        options.unprivileged = unprivileged;
        return run(args, options);
    }
    std::string log() const { return read_file(log_.path() + "/ztadmin.log"); }
    std::string ca(const char *name) const { return sandbox_ + "/tls/" + name; }

    static std::vector<std::string> split(const std::string &text) {
        std::vector<std::string> lines;
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

    std::string sandbox_;
    TempDir tree_, log_;
};

// The primary, too, refuses clear text: the referred write shows that the
// session opened after the referral ran StartTLS as well.
TEST_F(Tls, SimpleBindsAndTheReferredWriteRunOverTls) {
    use_configuration({{"admin.server.authmech", "SIMPLE"}});
    std::string token = "card.tls" + std::to_string(getpid());
    RunResult add = run_ztuser({"-a", token + ", localhost, 7007, Over Tls"});
    EXPECT_EQ(add.err, "Added one user.\n") << log();
    EXPECT_EQ(add.status, 0);
    RunResult show = run_ztuser({"-p", token}, true);
    EXPECT_NE(show.out.find("User Name          = Over Tls\n"), std::string::npos) << show.err << log();
    EXPECT_EQ(run_ztuser({"-d", token}).status, 0);
}

TEST_F(Tls, AFailedHandshakeOrCheckIsABindFailureThatSaysWhy) {
    const std::string start = "14 open_connection(): StartTLS with DS server ";
    const struct {
        std::map<std::string, std::string> changes;
        std::string host, reason, bind_error;
    } cases[] = {
        {{{"admin.server.tls.cacert", ca("other-ca.pem")}}, "127.0.0.1",
         start + "127.0.0.1 failed - Connect error (TLS: peer cert untrusted or revoked", "Connect error"},
        {{{"admin.server.name", "localhost"}}, "localhost",
         "does not match common name in certificate (127.0.0.1).)", "Connect error"},
        {{{"admin.server.tls.cacert", ca("none.pem")}}, "127.0.0.1",
         "(TLS: could not use CA certificate file `" + ca("none.pem") + "'", "Local error"},
        {{{"admin.server.tls", "StartTLS"}}, "127.0.0.1",
         "14 invalid TLS mode specified in /etc/opt/KRVXzt/ztadmin.conf\n14 open_connection(): invalid TLS mode (=-1)\n",
         "Bad parameter to an ldap routine"},
        // Without TLS the server refuses the bind itself.
        {{{"admin.server.tls", "none"}}, "127.0.0.1", "", "Confidentiality required"},
    };
    for (const auto &c : cases) {
        use_configuration(c.changes);
        std::remove((log_.path() + "/ztadmin.log").c_str());
        RunResult r = run_ztuser({"-li", "x"});
        EXPECT_EQ(r.err, "Error: could not connect to admin server\n");
        EXPECT_EQ(r.status, 255);
        std::string text = log();
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
        EXPECT_EQ(text.find("StartTLS") != std::string::npos, c.changes.count("admin.server.tls") == 0) << text;
        EXPECT_NE(text.find("14 open_connection(): Could not bind to DS server " + c.host + " - " + c.bind_error),
                  std::string::npos)
            << text;
    }
}

}  // namespace
}  // namespace zt::test
