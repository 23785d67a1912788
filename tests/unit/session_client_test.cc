// SPDX-License-Identifier: GPL-3.0-or-later
// session_client_test.cc - the session-service clients against the stand-in managers on loopback: requests, the probe,
// refused and silent managers, replies that stall, never end or break their limits, failover groups, the token reader
// and the session manager.
#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "auth_mgr.h"
#include "group_mgr.h"
#include "session_client.h"
#include "standin_daemon.h"
#include "test_support.h"

namespace {

using namespace zt::test;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char *kHost = "127.0.0.3";
const char *const kNoExtraKeys[] = {nullptr};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

json login(const std::string &terminal, const std::string &token) {
    return json::array({"terminalId=IEEE802." + terminal, "tokenName=" + token, "LocalName=" + token});
}

// A scenario answering `request` with `rule`, and nothing else.
std::string answer(const std::string &request, json rule) {
    rule["request"] = request;
    return json{{"replies", json::array({rule})}}.dump();
}

std::string member(const std::string &name, const std::string &words = "TRUSTED", int lastseen = 1) {
    return "host " + name + " lastseen " + std::to_string(lastseen) + " timeoff 0 addr 7f000001 ifs 1 " + words;
}
const std::string kIface = "interface eth0 ip 7f000001 mask ff000000 bcast 7fffffff last 1 LAN";

// A root tree with the probe, and the log mirror; the managers are not in
// the services database, so their fixed ports apply.
class SessionClient : public ::testing::Test {
protected:
    SessionClient() { root_.link_program("ztprobe", "usr/sbin/ping"); }
    std::string probe() const { return root_.path() + "/usr/sbin/ping"; }
    bool logged(const std::string &text) const { return log_.has(text); }
    // A probe that appends each host it is asked about to `probes`, then runs `then`.
    void note_probes(const std::string &then) const {
        fs::remove(probe());
        root_.write("usr/sbin/ping", "#!/bin/sh\necho \"$1\" >> " + root_.path() + "/probes\n" + then + "\n", 0700);
    }
    std::unique_ptr<StandinDaemon> manager(const std::string &address, const std::string &scenario,
                                           StandinDaemon::Service service = StandinDaemon::Service::AuthMgr) {
        return std::make_unique<StandinDaemon>(service, address, scenario);
    }
    RootDir root_;
    LogFile log_;
};

Strings records(KeyValuesNode *list) {
    Strings out;
    for (; list != nullptr; list = list->next) out.push_back(fields(list->terminal_CID, list->token_name));
    return out;
}

// The logins get_current_list finds at `host` in `mode`, and the count it gives.
std::pair<Strings, int> current(const char *host, int mode) {
    int count = 0;
    CurrentEntry *list = get_current_list(host, &count, mode, nullptr);
    Strings rows = zt::test::logins(list);
    free_linked_list(&list);
    return {rows, count};
}

TEST_F(SessionClient, RecordQueriesSendOneRequestEach) {
    auto daemon = manager(kHost, json{{"replies",
                                       {{{"request", "status\n"},
                                         {"records", {login("0200ab", "b.1"), login("0200aa", "a.1")}},
                                         {"chunk_bytes", 3}},
                                        {{"prefix", "status tokenName="}, {"records", {login("0200aa", "a.1")}}},
                                        {{"prefix", "status terminalCid="}, {"records", json::array()}}}}}
                                         .dump());
    const char *const keys[] = {"LocalName", nullptr};
    KeyValuesNode *list = nullptr;
    EXPECT_EQ(zt_getAuthMgrRecords(kHost, 1, nullptr, kNoExtraKeys, &list), 0);
    EXPECT_EQ(records(list), (Strings{"IEEE802.0200aa a.1", "IEEE802.0200ab b.1"}));
    zt_free_KeyValuesNode_list(list);
    list = nullptr;
    EXPECT_EQ(zt_getAuthMgrRecordsForCid(kHost, "IEEE802.0200aa", 1, keys, &list), 0);
    EXPECT_EQ(zt_getAuthMgrRecordsForToken(kHost, "a.1", 1, nullptr, keys, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->local_name, "a.1");
    const std::string longest(108, 't');  // "status tokenName=" + 108 + "\r\n": 127 bytes, the longest request
    EXPECT_EQ(zt_getAuthMgrRecordsForToken(kHost, longest.c_str(), 1, nullptr, keys, &list), 0);
    EXPECT_EQ(zt_getAuthMgrRecordsForToken(kHost, (longest + "t").c_str(), 1, nullptr, keys, &list),
              ADMIN_ERR_NO_MEMORY);
    EXPECT_EQ(zt_getAuthMgrRecordsForToken(kHost, "", 1, nullptr, keys, &list), ADMIN_ERR_INVALID_ARGS);
    zt_free_KeyValuesNode_list(list);
    EXPECT_EQ(daemon->requests(), (Strings{"status\n", "status terminalCid=IEEE802.0200aa\r\n",
                                           "status tokenName=a.1\r\n", "status tokenName=" + longest + "\r\n"}));
    EXPECT_TRUE(logged("getAuthMgrRecords(): Could not find service (ztauthd-cb)"));
    EXPECT_TRUE(logged("getAuthMgrRecords(): Using hard-coded port (7010)"));
    // The login list of the same reply, reassembled from 3-byte pieces.
    EXPECT_EQ(current(kHost, 1), std::pair(Strings{"0200aa a.1 127.0.0.3", "0200ab b.1 127.0.0.3"}, 2));
}

TEST_F(SessionClient, UnreachableOrRefusingManagers) {
    auto daemon = manager(kHost, answer("status\n", {{"records", {login("0200aa", "a.1")}}}));
    KeyValuesNode *list = nullptr;
    int count = 0;
    fs::remove(probe());
    EXPECT_EQ(zt_getAuthMgrRecords(kHost, 1, nullptr, kNoExtraKeys, &list), ADMIN_ERR_SERVER_UNREACHABLE);
    EXPECT_EQ(get_current_list(kHost, &count, 2, nullptr), nullptr);
    EXPECT_EQ(std::pair(count, daemon->requests().size()), std::pair(-1, size_t{0}));
    EXPECT_TRUE(logged("getAuthMgrRecords(): No response from host 127.0.0.3:7010"));
    // The local manager a caller does not name is asked without the probe.
    auto local = manager("127.0.0.1", answer("status\n", {{"records", {login("0200aa", "a.1")}}}));
    EXPECT_EQ(zt_getAuthMgrRecords(nullptr, 1, nullptr, kNoExtraKeys, &list), 0);
    EXPECT_EQ(records(list), Strings{"IEEE802.0200aa a.1"});
    zt_free_KeyValuesNode_list(list);
    list = nullptr;

    root_.link_program("ztprobe", "usr/sbin/ping");
    EXPECT_EQ(zt_getAuthMgrRecords("nohost.invalid", 1, nullptr, kNoExtraKeys, &list), ADMIN_ERR_SERVER_UNREACHABLE);
    // 127.0.0.5 answers the probe by refusing the connection, and so the query.
    EXPECT_EQ(zt_getAuthMgrRecords("127.0.0.5", 1, nullptr, kNoExtraKeys, &list), ADMIN_ERR_SOCKET_OPEN);
    EXPECT_EQ(get_current_list("127.0.0.5", &count, 2, nullptr), nullptr);
    EXPECT_EQ(std::pair(count, list), std::pair(-1, static_cast<KeyValuesNode *>(nullptr)));
    for (const char *line : {"open_socket(): Could not connect - Connection refused",
                             "socket : Error connecting - Connection refused.",
                             "getAuthMgrRecords(): Could not open socket to 127.0.0.5:7010",
                             "get_current_list(): Could not open socket to 127.0.0.5:7010"})
        EXPECT_TRUE(logged(line)) << line;
}

TEST_F(SessionClient, SilentStalledAndEndlessRepliesAreBounded) {
    auto daemon = manager(kHost, answer("status\n", {{"silent", true}}));
    KeyValuesNode *list = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(zt_getAuthMgrRecords(kHost, 1, nullptr, kNoExtraKeys, &list), ADMIN_ERR_AUTHMGR_TIMEOUT);
    EXPECT_NEAR(seconds_since(start), 5.0, 1.0);
    EXPECT_TRUE(logged("getAuthMgrRecords(): poll timed out"));

    // One whole record, half of the next, then nothing and no close.
    daemon->set_scenario(answer("status\n", {{"records", {login("0200aa", "a.1")}},
                                             {"raw", "begin\nterminalId=IEEE802.0200ab\n"},
                                             {"then", "hold"}}));
    start = Clock::now();
    EXPECT_EQ(zt_getAuthMgrRecords(kHost, 1, nullptr, kNoExtraKeys, &list), ADMIN_ERR_AUTHMGR_TIMEOUT);
    EXPECT_EQ(list, nullptr);
    EXPECT_NEAR(seconds_since(start), 5.0, 1.0);
    EXPECT_TRUE(logged("getAuthMgrRecords(): read error - Connection timed out"));
    EXPECT_EQ(current(kHost, 2).first, (Strings{"0200aa a.1 127.0.0.3"}));

    // A reply that never ends stops at its total bound with what it held.
    daemon->set_scenario(answer("status\n", {{"records", {login("0200aa", "a.1")}}, {"then", "endless"}}));
    start = Clock::now();
    EXPECT_EQ(current(kHost, 2).second, 1);
    EXPECT_NEAR(seconds_since(start), 21.0, 1.0);

    // A manager whose listen queue is full drops the connect: the query pays the connect's bound, not the kernel's
    // two minutes of retries.
    FullListenQueue overrun("127.0.0.8", 7010);
    ASSERT_TRUE(overrun.full());
    start = Clock::now();
    int count = 0;
    EXPECT_EQ(get_dstatus(nullptr, "127.0.0.8", &count), nullptr);
    EXPECT_NEAR(seconds_since(start), 5.0, 1.0);
    EXPECT_TRUE(logged("open_socket(): Could not connect - Connection timed out"));
    EXPECT_TRUE(logged("get_remote_status(): could not open socket to 127.0.0.8:7010"));
}

TEST_F(SessionClient, MalformedRepliesNeverReachTheRecords) {
    const std::string good = "begin\nterminalId=IEEE802.0200aa\nLocalName=a.1\nend\n";
    std::string padding;  // 8 lines of 300 bytes: the record reaches its limit after 6
    for (int i = 0; i < 8; ++i) padding += "firmware=" + std::string(290, 'f') + "\n";
    struct Case { const char *what; std::string raw; Strings expected; int dropped; } cases[] = {
        {"line over 511 bytes", "begin\nterminalId=IEEE802.0200ab\nLocalName=" + std::string(600, 'x') + "\nend\n" + good,
         {"0200aa a.1 127.0.0.3"}, 1},
        {"record over 2047 bytes keeps its first lines",
         "begin\nterminalId=IEEE802.0200ab\nLocalName=b.1\n" + padding + "LocalName=late.1\nend\n",
         {"0200ab b.1 127.0.0.3"}, 3},
        // JSON carries bytes over 0x7f as UTF-8: "\u00e9" arrives as 0xc3 0xa9.
        {"binary junk between records", "\x01\x02\xc3\xa9\r\n\x7fjunk=\x1b\n" + good + "\x1b[0m\n",
         {"0200aa a.1 127.0.0.3"}, 0},
        {"NUL byte inside a value", std::string("begin\nterminalId=IEEE802.0200ab\nLocalName=b") + '\0' + ".1\nend\n" + good,
         {"0200aa a.1 127.0.0.3"}, 1},
    };
    auto daemon = manager(kHost, "{\"replies\": []}");
    for (const auto &c : cases) {
        daemon->set_scenario(answer("status\n", {{"raw", c.raw}, {"chunk_bytes", 100}}));
        EXPECT_EQ(current(kHost, 2).first, c.expected) << c.what;
        if (c.dropped > 0) {
            EXPECT_TRUE(logged("get_current_list(): dropped " + std::to_string(c.dropped) +
                               " reply lines too long or not text"))
                << c.what;
        }
    }
}

// An entry with more interface lines than it announced ends the query (the other faults of a reply are the parser's);
// without a host the configured directory server is asked, as the command does.
TEST_F(SessionClient, GroupStatusFaultsAndHosts) {
    auto daemon = manager(kHost, answer("gstatus\n", {{"lines", {member("a"), kIface, kIface, "end"}}}));
    int count = -1;
    EXPECT_EQ(get_gm_hosts(nullptr, kHost, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(logged("get_gstatus(): error: ifcount=1 > numifs=0."));

    daemon->set_scenario(answer("gstatus\n", {{"lines", {member("a"), kIface, "end"}}}));
    AdminConfig *config = allocate_zta();
    set_zta_val(config, "admin.server.name", kHost);
    HostList *hosts = get_gm_hosts(config, nullptr, &count);
    EXPECT_EQ(count, 1);
    free_HostList(&hosts);
    free_zta(config);
    EXPECT_EQ(get_gm_hosts(nullptr, "nohost.invalid", nullptr), nullptr);
    EXPECT_TRUE(logged("get_gstatus(): Unable to resolve host [nohost.invalid]"));
    EXPECT_EQ(get_gm_hosts(nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(logged("get_gm_hosts(): First and second args are NULL pointers"));
}

// Three trusted, alive members of which one is silent, and one not answering the probe (the members that must not be
// asked at all are the global listing's test).
TEST_F(SessionClient, FailoverGroupOfThreeWithOneSilent) {
    // The silent member is named twelve times: it is asked once.
    Strings group = {member("127.0.0.3"), kIface, member("127.0.0.4"), kIface, member("127.0.0.6"), kIface,
                     member("nohost.invalid"), kIface};
    for (int i = 0; i < 11; ++i) group.insert(group.end(), {member("127.0.0.4"), kIface});
    group.push_back("end");
    auto first = manager("127.0.0.3", json{{"replies",
                                            {{{"request", "gstatus\n"}, {"lines", group}},
                                             {{"request", "status\n"},
                                              {"records", {login("0200af", "b.1"), login("0200ad", "pseudo.x"),
                                                           login("0200ab", "b.1")}}}}}}
                                              .dump());
    auto silent = manager("127.0.0.4", answer("status\n", {{"silent", true}}));
    auto third = manager("127.0.0.6", answer("status\n", {{"records", {login("0200ac", "a.1"), login("0200ae", "b.1")}}}));

    // Within one scope each host is probed once, whether it answered (127.0.0.3 for its group and its list) or not.
    note_probes("exec " + build_path("ztprobe") + " \"$@\"");
    int count = 0;
    HostList *hosts = nullptr;
    CurrentEntry *logins = nullptr;
    double took = 0;
    {
        zt::session::ProbeScope scope;
        hosts = get_trusted_alive_gm_hosts(nullptr, "127.0.0.3", &count);
        auto start = Clock::now();
        logins = get_currentHA_list(hosts, 2);
        took = seconds_since(start);
    }
    HostList *again = get_gm_hosts(nullptr, "127.0.0.3", nullptr);  // the scope has ended: probed anew
    free_HostList(&again);
    EXPECT_EQ(zt::test::read_file(root_.path() + "/probes"), "127.0.0.3\n127.0.0.4\n127.0.0.6\nnohost.invalid\n127.0.0.3\n");
    EXPECT_EQ(count, 4);
    EXPECT_TRUE(logged("get_gstatus(): ignored 11 members named before and 0 beyond the first 64"));
    std::cout << "group of three with one silent member: " << took << " s\n";
    // Equal tokens keep their reply order within a member, and the earlier member's come first.
    EXPECT_EQ(zt::test::logins(logins), (Strings{"0200ac a.1 127.0.0.6", "0200af b.1 127.0.0.3", "0200ab b.1 127.0.0.3",
                                                 "0200ae b.1 127.0.0.6", "0200ad pseudo.x 127.0.0.3"}));
    EXPECT_LT(took, 6.5);  // the silent member's 5000 ms wait, the rest on loopback
    free_linked_list(&logins);

    TermEntry *terminals = zt_get_termHA_list(hosts);
    Strings ids;
    for (TermEntry *t = terminals; t != nullptr; t = t->next) ids.push_back(t->terminal_id);
    EXPECT_EQ(ids, (Strings{"0200ab", "0200ac", "0200ad", "0200ae", "0200af"}));
    EXPECT_TRUE(logged("zt_get_termHA_list(): Could not get terminal list from server (127.0.0.4)"));
    EXPECT_TRUE(logged("zt_get_termHA_list(): Could not get terminal list from server (nohost.invalid)"));
    zt_free_term_list(&terminals);
    free_HostList(&hosts);

    // The server a token is at: the first member whose manager has it.
    silent->set_scenario(answer("status tokenName=TerminalId.0200ac\r\n", {{"records", json::array()}}));
    third->set_scenario(answer("status tokenName=TerminalId.0200ac\r\n", {{"records", {login("0200ac", "a.1")}}}));
    char *server = nullptr;
    EXPECT_EQ(zt_get_server_for_token("127.0.0.3", "TerminalId.0200ac", &server), 0);
    EXPECT_STREQ(server, "127.0.0.6");
    std::free(server);
    EXPECT_EQ(zt_get_server_for_token("127.0.0.3", "TerminalId.0200ff", &server), ADMIN_ERR_TOKEN_NOT_FOUND);
    EXPECT_EQ(server, nullptr);
    // A manager that cannot be asked for its group is not probed again for the token.
    fs::remove(root_.path() + "/probes");
    note_probes("exit 1");
    EXPECT_EQ(zt_get_server_for_token("127.0.0.3", "TerminalId.0200ac", &server), ADMIN_ERR_SERVER_UNREACHABLE);
    EXPECT_EQ(zt::test::read_file(root_.path() + "/probes"), "127.0.0.3\n");
}

// What the reader's card says is the command's test (ztuser -r); here only two records for one reader among others.
TEST_F(SessionClient, TokenReader) {
    auto reader = [](const std::string &terminal, const std::string &annotation) {
        return json::array({"terminalId=IEEE802." + terminal, "annotation.x_token=" + annotation, "LocalName=l.1"});
    };
    json records = json::array({reader("0200aa", "c.1"), reader("0200ab", "c.3"), reader("0200aa", "c.2")});
    auto daemon = manager(kHost, answer("status\n", {{"records", records}}));
    EXPECT_EQ(get_token_id_from_reader(kHost, "0200aa"), nullptr);
    EXPECT_TRUE(logged("get_token_id_from_reader(): Got multiple results (2)"));

    EXPECT_EQ(get_token_reader_terminals(), nullptr);  // no terminals file: silently none
    root_.write("etc/opt/KRVXzt/terminals", "# readers\nterminalId=IEEE802.0200ab\nterminalid=x.1\n terminalId = 0200aa\n");
    CurrentEntry *readers = get_token_reader_terminals();
    Strings ids;
    for (CurrentEntry *e = readers; e != nullptr; e = e->next) ids.push_back(e->terminal_id);
    EXPECT_EQ(ids, (Strings{"0200aa", "0200ab"}));
    free_linked_list(&readers);
    EXPECT_EQ(is_token_reader("0200ab"), 1);
    EXPECT_EQ(is_token_reader("IEEE802.0200ab"), 0);
    EXPECT_EQ(is_token_reader("1"), 0);
    // A FIFO in the file's place is refused at once, not waited on.
    const std::string terminals = root_.path() + "/etc/opt/KRVXzt/terminals";
    fs::remove(terminals);
    ASSERT_EQ(mkfifo(terminals.c_str(), 0600), 0);
    EXPECT_EQ(is_token_reader("0200ab"), 0);
    EXPECT_TRUE(logged("is_token_reader(): Could not open terminals file (" + terminals + ")"));
}

TEST_F(SessionClient, RemoteStatusAsksWithoutProbing) {
    fs::remove(probe());
    auto daemon = manager(kHost, json{{"replies",
                                       {{{"request", "status\n"},
                                         {"records", json::array({json::array({"terminalId=IEEE802.0200aa", "connected=true"})})}},
                                        {{"request", "ustatus\n"}, {"records", json::array({json::array({"userId=u1", "state=insert"})})}}}}}
                                         .dump());
    int count = 0;
    DesktopList *desktops = get_dstatus(nullptr, kHost, &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(desktops->desktop->status, "Up");
    free_DesktopList(&desktops);
    UserList *users = get_ustatus(nullptr, kHost, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(users->user->status, USTATUS_LOGGED_IN);
    free_UserList(&users);
    EXPECT_EQ(daemon->requests(), (Strings{"status\n", "ustatus\n"}));
    EXPECT_EQ(get_dstatus(nullptr, nullptr, &count), nullptr);
    EXPECT_TRUE(logged("get_dstatus(): First and second args are NULL pointers"));
}

TEST_F(SessionClient, SessionManagerStatusAndStartTimes) {
    auto sessions = manager(kHost, answer("smstatus\n", {{"lines", {"OK/smstatus stime=100 sessions=3"}}}),
                            StandinDaemon::Service::SessionMgr);
    auto group = manager(kHost, answer("gstatus\n", {{"lines", {member("127.0.0.3", "TRUSTED starttime 77"), kIface,
                                                                "end"}}}));
    smstatus *status = allocate_smstatus();
    EXPECT_EQ(get_smstatus(nullptr, kHost, &status, 0, 0), 0);
    EXPECT_EQ(std::pair(status->stime, status->sessions), std::pair(100, 3));
    free_smstatus(status);
    EXPECT_TRUE(logged("get_smstatus(): Using hard-coded port (7007)"));

    int gm = 0, sm = 0;
    EXPECT_EQ(get_start_times(nullptr, kHost, &gm, &sm), 0);
    EXPECT_EQ(std::pair(gm, sm), std::pair(77, 100));
    group->set_scenario(answer("gstatus\n", {{"lines", {member("127.0.0.9"), kIface, "end"}}}));
    EXPECT_EQ(get_start_times(nullptr, kHost, &gm, &sm), -1);
    EXPECT_TRUE(logged("Error obtaining auth manager status for host 127.0.0.3."));

    sessions->stop();
    status = allocate_smstatus();
    EXPECT_EQ(get_smstatus(nullptr, kHost, &status, 0, 0), -1);
    free_smstatus(status);
    EXPECT_TRUE(logged("get_smstatus(): Could not open socket to 127.0.0.3:7007"));
}

TEST_F(SessionClient, CallbackStream) {
    auto daemon = manager(kHost, answer("status\n", {{"records", {login("0200aa", "a.1")}}}));
    AdminStatus status = -1;
    FILE *stream = zt_openAuthCallback(kHost, &status);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(status, 0);
    std::fputs("status\n", stream);
    std::fflush(stream);
    std::string reply;
    for (int c; (c = std::fgetc(stream)) != EOF;) reply += static_cast<char>(c);
    EXPECT_EQ(reply, "begin\nterminalId=IEEE802.0200aa\ntokenName=a.1\nLocalName=a.1\nend\n");
    EXPECT_EQ(zt_closeAuthCallback(stream), 0);
    EXPECT_EQ(zt_closeAuthCallback(nullptr), -1);
    fs::remove(probe());
    EXPECT_EQ(zt_openAuthCallback(kHost, &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_SERVER_UNREACHABLE);
}

}  // namespace
