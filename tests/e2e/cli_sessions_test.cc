// SPDX-License-Identifier: GPL-3.0-or-later
// ztuser's modes that ask the authentication managers, end to end: the
// logged-in listings (one server, and a failover group not all of whose
// members may be asked) and the token reader (-r, and the token ID "x" of
// -a, -ai and batch-add lines with their prompts).  The real binary runs
// against the sandbox directory; stand-in managers listen on loopback, the
// configured server's (127.0.0.1) first.
#include <poll.h>
#include <pty.h>

#include <nlohmann/json.hpp>

#include "directory_fixture.h"
#include "standin_daemon.h"

namespace zt::test {
namespace {

using json = nlohmann::json;
using Strings = std::vector<std::string>;
constexpr auto kAuthMgr = StandinDaemon::Service::AuthMgr;
constexpr const char *kServer = "127.0.0.1";  // the sandbox's configured server

// A "status" record: terminal `id` where `token` is logged in, more lines.
json login(const std::string &id, const std::string &token, const Strings &more = {}) {
    json record = json::array({"terminalId=IEEE802." + id, "LocalName=" + token, "tokenName=" + token});
    for (const auto &line : more) record.push_back(line);
    return record;
}

// A manager answering "status" with `records`, "gstatus" with `group`
// (when given), and `rules` before both.
std::string scenario(const json &records, const Strings &group = {}, json rules = json::array()) {
    rules.push_back({{"request", "status\n"}, {"records", records}});
    if (!group.empty()) rules.push_back({{"request", "gstatus\n"}, {"lines", group}});
    return json{{"replies", rules}}.dump();
}

// The manager of the server reader `id` is connected to; `annotation` is
// the token it reports in the reader (none: not a reader).
std::string reader_at(const std::string &id, bool connected, const std::string &annotation) {
    json reader = json::array({"terminalId=IEEE802." + id, "tokenName=TerminalId." + id});
    if (!annotation.empty()) reader.push_back("annotation.x_token=" + annotation);
    json found = connected ? json::array({reader}) : json::array();
    json rule = {{"request", "status tokenName=TerminalId." + id + "\r\n"}, {"records", found}};
    return scenario(json::array({reader}), {}, json::array({rule}));
}

// A group member's host and interface lines (period 20: timed out after 60 s).
Strings member(const std::string &host, const std::string &words = "TRUSTED", int lastseen = 1) {
    return {"host " + host + " lastseen " + std::to_string(lastseen) + " timeoff 0 addr 7f000001 ifs 1 " + words,
            "interface lo ip 7f000001 mask ff000000 bcast 7fffffff last 1 LAN"};
}

std::string read_line(const std::string &token) { return "Read token ID '" + token + "'\n"; }

class SessionModes : public ::testing::Test {
protected:
    void SetUp() override {
        const Sandbox *s = Sandbox::get();
        if (s == nullptr) GTEST_SKIP() << "no sandbox";
        primary_ = std::make_unique<AdminSession>(*s, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*s, kReplicaHost);
    }
    void TearDown() override {
        for (const auto &token : users_) ztuser({"-d", token});
        for (const auto &dn : desktops_) primary_->remove_tree(dn);
    }
    RunResult ztuser(const Strings &args, const std::string &input = "") {
        log_.write("log", "");
        RunOptions options;
        options.input = input;
        return run_ztuser(args, sandbox_dir() + "/root", log_.path() + "/log", options);
    }
    // IDs of this process, of fixed widths: a token ID (sorting by `tag`) and a terminal.
    static std::string token(const std::string &tag) { return tag + process_id("%07d") + ".c"; }
    static std::string terminal(int n) { return process_id("%08x") + process_id("%04x", n); }
    static std::string process_id(const char *format, int n = getpid()) {
        char id[16];
        std::snprintf(id, sizeof id, format, n);
        return id;
    }
    // A logged-in listing kept in tests/e2e/golden/, whose token IDs and terminals are this process's.
    static std::string table(const std::string &name) {
        return golden("ztuser_logged_in_" + name + ".txt",
                      {{"@@PID@@", process_id("%07d")}, {"@@TERM@@", process_id("%08x")}});
    }
    void add_user(const std::string &token, const std::string &name) {
        ztuser({"-d", token});
        ASSERT_EQ(ztuser({"-a", token + ", localhost, 7007, " + name}).err, "Added one user.\n");
        users_.push_back(token);
    }
    void add_desktop(const std::string &id, const std::string &location) {
        std::string dn = "ztID=" + id + ",ztName=desktops," + kSuffix;
        std::vector<std::pair<std::string, std::string>> attrs = {{"objectClass", "ztDesktop"}, {"ztID", id}};
        if (!location.empty()) attrs.emplace_back("ztLocation", location);
        ASSERT_EQ(primary_->add(dn, attrs), LDAP_SUCCESS);
        ASSERT_TRUE(replica_->wait_exists(dn, true));
        desktops_.push_back(dn);
    }
    std::string log_text() const { return read_file(log_.path() + "/log"); }

    std::unique_ptr<AdminSession> primary_, replica_;
    Strings users_, desktops_;
    TempDir log_;
};

TEST_F(SessionModes, LoggedInListingsOfOneServer) {
    const std::string a = token("a"), b = token("b"), c = token("c"), d = token("d");
    add_user(a, "Ada Lovelace");
    add_user(c, "Multi Head");
    add_desktop(terminal(1), "Lab 1");
    add_desktop(terminal(3), "");
    // b's user and desktop are unknown; c's second head is skipped, but not
    // d's, which is a token reader as well as a secondary head.
    StandinDaemon manager(kAuthMgr, kServer,
                          scenario(json::array({login(terminal(1), a), login(terminal(2), b),
                                    login(terminal(3), c, {"MultiheadPrimary=true"}),
                                    login(terminal(4), c, {"MultiheadPrimary=false"}),
                                    login(terminal(5), d, {"MultiheadPrimary=false", "annotation.x_token=r.1"})})));
    RunResult short_form = ztuser({"-lc"}), long_form = ztuser({"-Lc"});
    EXPECT_EQ(short_form.out, table("short"));
    EXPECT_EQ(long_form.out, table("long"));
    for (const RunResult &r : {short_form, long_form}) EXPECT_EQ(std::tie(r.err, r.status), std::tuple("", 0));
    // The group view is asked first; without members the server alone answers.
    EXPECT_EQ(manager.requests(), (Strings{"gstatus\n", "status\n", "gstatus\n", "status\n"}));

    struct {
        json records;
        std::string out;
    } quiet[] = {
        {json::array(), "No users are currently logged in.\n"},
        {json::array({login(terminal(4), c, {"MultiheadPrimary=false"})}), ""},
        {json::array({login(terminal(1), a), login(terminal(4), c, {"MultiheadPrimary=false"})}), table("one")},
    };
    for (const auto &q : quiet) {
        manager.set_scenario(scenario(q.records));
        RunResult r = ztuser({"-lc"});
        EXPECT_EQ(std::tie(r.out, r.err, r.status), std::tuple(q.out, "", 0));
    }
    manager.stop();  // the port stays ours: nobody answers there
    for (const Strings &args : {Strings{"-lc"}, Strings{"-L", "-g"}, Strings{"-G"}}) {
        RunResult r = ztuser(args);
        EXPECT_EQ(std::tie(r.out, r.err, r.status),
                  std::tuple(args[0] == "-G" ? "Warning: this command is deprecated, use '-L -g'\n" : "",
                             "Error: unable to get user list from administration server.\n", 255));
        EXPECT_NE(log_text().find("14 Internal Error: couldn't get current user list\n"), std::string::npos);
    }
}

// Members untrusted, timed out or not answering the probe are not asked;
// the configured server's own logins count only as a member's.
TEST_F(SessionModes, GlobalListingGathersTheLiveTrustedMembers) {
    const std::string a = token("a"), b = token("b"), c = token("c");
    add_user(a, "Ada Lovelace");
    Strings group;
    for (const auto &m : {member("127.0.0.3"), member("127.0.0.4"), member("127.0.0.6", "LAN_OK"),
                          member("127.0.0.7", "TRUSTED", 61), member("nohost.invalid")})
        group.insert(group.end(), m.begin(), m.end());
    group.push_back("end");
    StandinDaemon head(kAuthMgr, kServer, scenario(json::array({login(terminal(9), token("h"))}), group));
    StandinDaemon first(kAuthMgr, "127.0.0.3", scenario(json::array({login(terminal(3), c), login(terminal(1), a)})));
    StandinDaemon second(kAuthMgr, "127.0.0.4", scenario(json::array({login(terminal(2), b)})));
    StandinDaemon untrusted(kAuthMgr, "127.0.0.6", scenario(json::array({login(terminal(6), token("u"))})));
    StandinDaemon timed_out(kAuthMgr, "127.0.0.7", scenario(json::array({login(terminal(7), token("t"))})));

    const std::string global = table("global");
    struct {
        Strings args;
        std::string out;
    } cases[] = {
        {{"-L", "-g"}, global},
        {{"-G"}, "Warning: this command is deprecated, use '-L -g'\n" + global},
    };
    for (const auto &c : cases) {
        RunResult r = ztuser(c.args);
        EXPECT_EQ(std::tie(r.out, r.err, r.status), std::tuple(c.out, "", 0)) << c.args[0];
    }
    EXPECT_EQ(head.requests(), (Strings(2, "gstatus\n")));
    EXPECT_TRUE(untrusted.requests().empty());
    EXPECT_TRUE(timed_out.requests().empty());
}

TEST_F(SessionModes, TokenReaderSaysWhatItFound) {
    const std::string r = terminal(8), card = "card." + std::to_string(getpid());
    const std::string reader_error = golden("ztuser_reader_unknown.txt", {{"@R@", r}});
    const std::string server_error = golden("ztuser_reader_unconnected.txt", {{"@R@", r}});
    StandinDaemon manager(kAuthMgr, kServer, scenario(json::array()));
    struct {
        std::string reader, input;
        bool connected;
        std::string annotation, read, err;
    } cases[] = {
        {"IEEE802." + r, "\n", true, "ns." + card, card, ""},
        {r, "\n", true, card, card, ""},
        {r, "\n", true, "pseudo." + r, "", "Error: No token currently inserted in reader '" + r + "'.\n"},
        {r, "\n", true, "unknown.unknown", "", "Error: Unknown token from token reader '" + r + "'.\n"},
        {r, "\n", true, "", "", reader_error},
        {r, "\n", false, card, "", server_error},
        {r, "", true, card, "", ""},
        {"IEEE802.0123456789abc", "\n", true, card, "", "Internal Error: Buffer Overflow\n"},
    };
    for (const auto &c : cases) {
        manager.set_scenario(reader_at(r, c.connected, c.annotation));
        RunResult got = ztuser({"-r", c.reader}, c.input);
        const std::string prompt = "Insert token into token reader '" + c.reader + "' and press return. ";
        EXPECT_EQ(std::tie(got.out, got.err, got.status),
                  std::tuple(prompt + (c.read.empty() ? "" : read_line(c.read)), c.err, 0)) << c.annotation;
    }

    const std::string first = token("r"), second = token("s");
    manager.set_scenario(reader_at(r, true, first));
    RunResult add = ztuser({"-a", "x, localhost, 7007, Read Card", "-r", r}, "\n");
    EXPECT_EQ(std::tie(add.out, add.err),
              std::tuple("Insert token into token reader '" + r + "' and press return. " + read_line(first),
                         "Added one user.\n"));
    users_.push_back(first);
    manager.set_scenario(reader_at(r, true, second));
    EXPECT_EQ(ztuser({"-ai", first, "x", "-r", r}, "\n").err, "\nOne Token ID added to user.\n");
    EXPECT_NE(ztuser({"-p", second}).out.find("User Name          = Read Card\n"), std::string::npos);
    manager.set_scenario(reader_at(r, true, "pseudo." + r));
    RunResult none = ztuser({"-a", "x, localhost, 7007, No Card", "-r", r}, "\n");
    EXPECT_EQ(std::tie(none.err, none.status),
              std::tuple("Error: No token currently inserted in reader '" + r + "'.\n", 255));
}

// What a manager or a reader reports is data: its control bytes reach the terminal as "?", and a token ID read from a
// reader passes the syntax rule of a typed one, so DN syntax in it writes nothing.
TEST_F(SessionModes, ManagersAndReadersAreHeardAsData) {
    const std::string a = token("a"), victim = token("v"), r = terminal(8);
    add_user(a, "Ada Lovelace");
    add_user(victim, "Victim");
    add_desktop(terminal(1), "Lab\x1b[2J 1");
    const std::string hostile_terminal = terminal(2) + "\x1b]52;c;eA==\x07";
    StandinDaemon manager(kAuthMgr, kServer,
                          scenario(json::array({login(terminal(1), a), login(hostile_terminal, "card.\x1b[2J\rx\b")})));
    RunResult short_form = ztuser({"-lc"}), long_form = ztuser({"-Lc"});
    EXPECT_EQ(short_form.out, table("hostile_short"));
    EXPECT_EQ(long_form.out, table("hostile_long"));

    manager.set_scenario(reader_at(r, true, "card.\x1b[2Jx"));
    EXPECT_EQ(ztuser({"-r", r}, "\n").out,
              "Insert token into token reader '" + r + "' and press return. " + read_line("card.?[2Jx"));
    const std::string injected = "a,ztID=" + victim;
    manager.set_scenario(reader_at(r, true, injected));
    TempDir dir;
    std::string file = dir.write("x.csv", "x, localhost, 7007, Hostile\n");
    struct {
        Strings args;
        std::string err;
    } cases[] = {
        {{"-a", "x, localhost, 7007, Hostile", "-r", r}, "Error: Invalid token ID specification\n"},
        {{"-ai", victim, "x", "-r", r}, "Error: Token ID '" + injected + "' is not a valid token ID specification\n"},
        {{"-af", file, "-r", r},
         "Error: line 1 has invalid  token ID specification....skipping\n"
         "\n0 users added, 1 line skipped due to errors.\n"},
    };
    for (const auto &c : cases) {
        RunResult got = ztuser(c.args, "\n");
        EXPECT_EQ(std::tie(got.err, got.status), std::tuple(c.err, c.args[0] == "-af" ? 0 : 255)) << c.args[0];
    }
    const std::string victim_dn = "ztID=" + victim + ",ztName=rawTokens," + kSuffix;
    EXPECT_EQ(primary_->values(victim_dn, "entryDN", LDAP_SCOPE_SUBTREE).size(), 1u) << "nothing below it";
    EXPECT_EQ(ztuser({"-o"}).out.find(injected), std::string::npos);
}

TEST_F(SessionModes, BatchAddReadsXAndAsksWhenTheReaderGivesNone) {
    const std::string r = terminal(8), taken = token("t"), fresh = token("f"), later = token("l");
    add_user(taken, "Taken");
    TempDir dir;
    std::string file =
        dir.write("reader.csv", "x, localhost, 7007, Via Reader\n" + later + ", x, localhost, 7007, Later\n");
    StandinDaemon manager(kAuthMgr, kServer, scenario(json::array()));
    const std::string labelled = "Insert token for 'Via Reader' into token reader '" + r + "'\n and press return. ";
    const std::string plain = "Insert token into token reader '" + r + "' and press return. ";
    const std::string refused = "Error: Token '" + taken + "' is already in the administration database.\n" +
                                "Try again? (yes/no) ";
    const std::string skip = "Skipping line 1...\nContinue with batch add? (yes/no) ";
    const std::string taken_again = "Error: Token ID '" + taken + "' already exists.\nAdded Later\n";
    const std::string stopped = "\n0 users added, 1 line skipped due to errors.\n";
    // The second token of line 2 is read without a name and without a retry.
    struct {
        std::string card, answers, out, err;
    } cases[] = {
        {fresh, "\n\n", labelled + read_line(fresh) + plain + read_line(fresh),
         "Added Via Reader\nError: Token ID '" + fresh + "' already exists.\nAdded Later\n"
         "\n2 users added, 0 lines skipped due to errors.\n"},
        {taken, "\ny\n\nn\nyes\n\n",
         labelled + read_line(taken) + labelled + read_line(taken) + plain + read_line(taken),
         refused + refused + skip + taken_again + "\n1 user added, 1 line skipped due to errors.\n"},
        {taken, "\nno\nn\n", labelled + read_line(taken), refused + skip + stopped},
        // The end of input answers "no" everywhere and never loops.
        {taken, "", labelled, "Try again? (yes/no) " + skip + stopped},
    };
    for (const auto &c : cases) {
        manager.set_scenario(reader_at(r, true, c.card));
        RunResult got = ztuser({"-af", file, "-r", r}, c.answers);
        EXPECT_EQ(std::tie(got.out, got.err, got.status), std::tuple(c.out, c.err, 0)) << c.answers;
        ztuser({"-d", later});
        ztuser({"-d", fresh});
    }
}

// On a terminal, text typed at the reader's prompt (which takes only one
// character) is no answer to the "Try again?" that follows.
TEST_F(SessionModes, TextTypedAheadOnATerminalIsNoAnswer) {
    TempDir dir;
    const std::string file = dir.write("one.csv", "x, localhost, 7007, Via Reader\n"), program = ztuser_path();
    const std::string root = sandbox_dir() + "/root";
    StandinDaemon manager(kAuthMgr, kServer, scenario(json::array()));
    int fd = -1;
    pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("ZTADMIN_ROOT", root.c_str(), 1);
        execl(program.c_str(), "ztuser", "-af", file.c_str(), "-r", "0200aa000001", static_cast<char *>(nullptr));
        _exit(127);
    }
    // True once the terminal showed `text`; false after `ms` without output.
    auto shows = [fd](const std::string &text, int ms = 5000) {
        std::string seen;
        char buf[512];
        pollfd p{fd, POLLIN, 0};
        for (ssize_t n; seen.find(text) == std::string::npos && poll(&p, 1, ms) > 0 &&
                        (n = read(fd, buf, sizeof buf)) > 0;)
            seen.append(buf, n);
        return seen.find(text) != std::string::npos;
    };
    EXPECT_TRUE(shows("press return. "));
    ASSERT_EQ(write(fd, "abc\n", 4), 4);
    EXPECT_TRUE(shows("Try again? (yes/no) "));
    EXPECT_FALSE(shows("Insert token", 500));
    ASSERT_EQ(write(fd, "n\nn\n", 4), 4);
    bool finished = shows("\n0 users added, 1 line skipped due to errors.");
    if (!finished) kill(pid, SIGKILL);  // still asking: it took the typed text as answers
    int status = -1;
    waitpid(pid, &status, 0);
    close(fd);
    EXPECT_TRUE(finished && status == 0);
}

}  // namespace
}  // namespace zt::test
