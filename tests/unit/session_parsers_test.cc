// SPDX-License-Identifier: GPL-3.0-or-later
// session_parsers_test.cc - the session managers' replies as text: line assembly and its limits, record framing, the
// record, login, terminal, group, remote-status and session-manager parsers, and their ordering; and the local policy
// as the policy tool stand-in prints it, its pseudo-token code, and the filter of current logins by that code.
#include <sys/stat.h>

#include <cstdint>
#include <sstream>

#include "session_client.h"
#include "test_support.h"

namespace {

namespace ss = zt::session;
using zt::test::chars;
using zt::test::fields;
using zt::test::Strings;

const char *const kNoExtraKeys[] = {nullptr};

// "CID token index flag" of each record the reply yields.
Strings records(const std::string &reply, int mode, const char *const *keys = kNoExtraKeys,
                const char *filter = nullptr, size_t chunk = 511) {
    KeyValuesNode *list = nullptr;
    std::string wanted = ss::wanted_keys_text(keys);
    ss::RecordFramer framer([&](const char *record) {
        parse_record(&list, record, mode, keys != nullptr ? wanted.c_str() : nullptr, filter);
    });
    ss::feed_reply(reply, chunk, [&](std::string_view line) { return framer.line(line); });
    Strings out;
    for (KeyValuesNode *n = list; n != nullptr; n = n->next)
        out.push_back(fields(n->terminal_CID, n->token_name, n->MHterm_index, n->flag));
    zt_free_KeyValuesNode_list(list);
    return out;
}

std::string rec(const Strings &lines) {
    std::string r = "begin\n";
    for (const auto &l : lines) r += l + "\n";
    return r + "end\n";
}

TEST(RecordReply, KeysFramingOrderAndLineAssembly) {
    const char *const local[] = {"LocalName", nullptr};
    const char *const lower_mh[] = {"multiheadprimary", "MultiheadTerminalIndex", nullptr};
    const char *const annotation[] = {"annotation.x_token", nullptr};
    const std::string one = rec({"terminalId=IEEE802.02000011223a", "tokenName=card.1234"});
    struct Case { const char *what; std::string reply; int mode; const char *const *keys; Strings expected; }
    cases[] = {
        {"plain record", one, 1, kNoExtraKeys, {"IEEE802.02000011223a card.1234 -1 0"}},
        {"no key list wants nothing", one, 1, nullptr, {}},
        {"terminalCID replaces terminalId", rec({"terminalId=a", "terminalCID=b", "tokenName=t"}), 1, kNoExtraKeys,
         {"b t -1 0"}},
        {"terminalId after terminalCID is ignored", rec({"terminalCID=b", "terminalId=a", "tokenName=t"}), 1,
         kNoExtraKeys, {"b t -1 0"}},
        {"no token, or an empty one, drops the record", rec({"terminalId=a", "tokenName="}), 4, kNoExtraKeys, {}},
        {"value comparison of MultiheadPrimary is exact",
         rec({"terminalId=a", "tokenName=t", "MultiheadPrimary=False"}), 1, kNoExtraKeys, {"a t -1 0"}},
        {"keys match ignoring case once wanted as sent",
         rec({"terminalId=a", "tokenName=t", "multiheadprimary=false", "MultiheadTerminalIndex=3"}), 1, lower_mh,
         {"a t 3 1"}},
        {"wanted keys are case-sensitive", rec({"terminalId=a", "tokenName=t", "localname=x"}), 3, local,
         {"a t -1 0"}},
        {"the reader's annotation counts only when wanted", rec({"terminalId=a", "annotation.x_token=ns.card.9"}), 3,
         kNoExtraKeys, {}},
        {"the reader's card", rec({"terminalId=a", "annotation.x_token=ns.card.9", "LocalName=l"}), 3, annotation,
         {"a card.9 -1 2"}},
        {"other modes: the annotation only flags", rec({"terminalId=a", "tokenName=t", "annotation.x_token=x"}), 1,
         annotation, {"a t -1 2"}},
        {"equal keys keep reply order, mode 1 sorts by terminal",
         rec({"terminalId=b", "tokenName=1"}) + rec({"terminalId=a", "tokenName=2"}) +
             rec({"terminalId=b", "tokenName=0"}),
         1, kNoExtraKeys, {"a 2 -1 0", "b 1 -1 0", "b 0 -1 0"}},
        {"other modes sort by token", rec({"terminalId=b", "tokenName=1"}) + rec({"terminalId=a", "tokenName=2"}),
         4, kNoExtraKeys, {"b 1 -1 0", "a 2 -1 0"}},
        {"text outside begin/end, trailing lines and an unended record are ignored",
         "tokenName=stray\n" + one + "terminalId=x\nbegin\nterminalId=y\ntokenName=z\n", 1, kNoExtraKeys,
         {"IEEE802.02000011223a card.1234 -1 0"}},
        {"end without begin parses the kept text again", one + "end\n", 1, kNoExtraKeys,
         {"IEEE802.02000011223a card.1234 -1 0", "IEEE802.02000011223a card.1234 -1 0"}},
    };
    for (const auto &c : cases) EXPECT_EQ(records(c.reply, c.mode, c.keys), c.expected) << c.what;

    // A line arriving over any number of reads is reassembled; the handler's own drops are counted with the assembler's,
    // and text after the last line feed is never handed on.
    std::string two = rec({"terminalId=IEEE802.1", "tokenName=a"}) + rec({"terminalId=IEEE802.2", "tokenName=b"});
    for (size_t chunk : {1, 3, 511})
        EXPECT_EQ(records(two, 1, kNoExtraKeys, "IEEE802.2 IEEE802.3", chunk), Strings{"IEEE802.2 b -1 0"}) << chunk;
    ss::LineAssembler assembler;
    Strings taken;
    std::string longest(511, 'y');  // the longest line taken; one byte more is dropped whole
    assembler.feed(longest + "\n" + std::string(512, 'x') + "\nkeep\nmine\npending", [&](std::string_view line) {
        taken.emplace_back(line);
        return line == "mine" ? ss::LineStatus::kDropped : ss::LineStatus::kTaken;
    });
    EXPECT_EQ(taken, (Strings{longest, "keep", "mine"}));
    EXPECT_EQ(assembler.dropped(), 2);
}

// "terminal token server group flag" of each login.
Strings logins_of(const CurrentEntry *list) {
    Strings out;
    for (; list != nullptr; list = list->next)
        out.push_back(fields(list->terminal_id, list->token_id, list->server, list->group_name, list->flag));
    return out;
}

Strings logins(const std::string &reply, int mode, const char *filter = nullptr) {
    CurrentEntry *list = nullptr;
    ss::RecordFramer framer([&](const char *record) { parse_entry(&list, record, mode, filter); });
    ss::feed_reply(reply, 64, [&](std::string_view line) { return framer.line(line); });
    Strings out = logins_of(list);
    free_linked_list(&list);
    EXPECT_EQ(list, nullptr);
    return out;
}

TEST(CurrentLogins, EntryParsingInsertOrderTermsAndHelpers) {
    struct Case { const char *what; std::string reply; int mode; Strings expected; } cases[] = {
        {"token from LocalName, short forms", rec({"terminalId=IEEE802.0200aa", "LocalName=ns.card.1"}), 2,
         {"0200aa card.1 - - 0"}},
        {"no token, no entry", rec({"terminalId=IEEE802.0200aa"}), 2, {}},
        {"secondary head and group", rec({"terminalId=x.b", "LocalName=t.1", "MultiheadPrimary=false",
                                          "MultiheadGroupName=g"}),
         1, {"b t.1 - g 1"}},
        {"reader mode: token from the annotation, not LocalName",
         rec({"terminalId=x.r", "LocalName=t.1", "annotation.x_token=pseudo.0200aa"}), 3, {"r pseudo.0200aa - - 2"}},
        {"other modes: the annotation only flags", rec({"terminalId=x.r", "LocalName=t.1", "annotation.x_token=c.2"}),
         1, {"r t.1 - - 2"}},
        {"reader without a card", rec({"terminalId=x.r", "LocalName=t.1"}), 3, {}},
    };
    for (const auto &c : cases) EXPECT_EQ(logins(c.reply, c.mode), c.expected) << c.what;
    std::string two = rec({"terminalId=IEEE802.0200aa", "LocalName=t.1"}) + rec({"terminalId=IEEE802.0200ab", "LocalName=t.2"});
    EXPECT_EQ(logins(two, 1, "0200ab"), Strings{"0200ab t.2 - - 0"});

    CurrentEntry *list = nullptr;  // an absent key sorts last
    for (const char *terminal : {"b", static_cast<const char *>(nullptr), "a"})
        add_to_linked_list(&list, terminal, "t", 1, nullptr, nullptr, 0);
    EXPECT_EQ(logins_of(list), (Strings{"a t - - 0", "b t - - 0", "- t - - 0"}));
    free_linked_list(&list);

    for (auto [id, expected] : std::vector<std::pair<const char *, const char *>>{
             {"card.1234", "card.1234"}, {"a.b.c.d", "c.d"}, {"", ""}, {"ns.card.1", "card.1"}, {"..", "."}})
        EXPECT_STREQ(get_short_token_id(id), expected) << id;
    for (auto [seconds, expected] : std::vector<std::pair<const char *, const char *>>{
             {"3725", "1:2:5"}, {"0", "0:0:0"}, {"x", "0:0:0"}, {nullptr, "0:0:0"}})
        EXPECT_EQ(zt::test::take(zt_term_conn_time(seconds)), expected);
    // A terminal record without its terminal has nothing to be listed under.
    TermEntry *terminals = nullptr;
    for (const char *record : {"terminalId=x.b\nterminalPackets=5\nterminalConnectTime=9\n", "terminalPackets=1\n",
                               "terminalId=x.a\n"})
        zt_parse_term_entry(&terminals, record);
    Strings listed;
    for (TermEntry *e = terminals; e != nullptr; e = e->next)
        listed.push_back(fields(e->terminal_id, e->packets, e->connect_time));
    EXPECT_EQ(listed, (Strings{"a - -", "b 5 9"}));
    zt_free_term_list(&terminals);

    TermEntry idle{nullptr, chars("0"), chars("600"), nullptr};
    TermEntry missing{nullptr, nullptr, chars("600"), nullptr};
    EXPECT_EQ((std::vector{zt_term_unowned(&idle, 600), zt_term_unowned(&idle, 601), zt_term_unknown(&missing),
                           zt_term_unowned(&missing, 0)}),
              (std::vector{1, 0, 1, 0}));
}

// "name numifs lastseen period starttime hostaddr TOL [ifname ip mask bcast lastpkt lan]..." per member, numbers
// in hexadecimal.
Strings members(const std::string &reply, bool *stopped = nullptr) {
    HostList *list = nullptr;
    ss::GstatusReader reader(&list);
    bool complete = ss::feed_reply(reply, 13, [&](std::string_view line) { return reader.line(line); });
    if (stopped != nullptr) *stopped = !complete;
    Strings out;
    for (HostList *n = list; n != nullptr; n = n->next) {
        const gm_hoststatus *s = n->host->status;
        std::ostringstream member;
        member << std::hex << s->name << " " << s->numifs << " " << s->lastseen << " " << s->period << " "
               << s->starttime << " " << s->hostaddr << " " << n->host->trusted << n->host->offline
               << n->host->lan_ok;
        for (int i = 0; i < s->numifs; ++i) {
            const gm_interface &f = s->ifs[i];
            member << " [" << f.ifname << " " << f.ifipaddr << " " << f.ifnetmask << " " << f.ifbcastaddr << " "
                   << f.iflastpkt << " " << f.lan << "]";
        }
        out.push_back(member.str());
    }
    free_HostList(&list);
    return out;
}

std::string host(const std::string &name, int numifs, const std::string &words = "") {
    return "host " + name + " lastseen 7 timeoff 1 addr 7f000003 ifs " + std::to_string(numifs) +
           (words.empty() ? "" : " " + words) + "\n";
}
const std::string kIface = "interface eth0 ip c0a80001 mask ffffff00 bcast c0a800ff last 4 lan\n";

const std::string kIfaceRead = "[eth0 c0a80001 ffffff00 c0a800ff 4 1]";

// A reply of `n` members m1, m2, ..., and the first `n` of them as members() shows them.
std::string many_members(int n) {
    std::string reply;
    for (int i = 1; i <= n; ++i) reply += host("m" + std::to_string(i), 1) + kIface;
    return reply + "x\n";
}
Strings many_read(int n) {
    Strings out;
    for (int i = 1; i <= n; ++i) out.push_back("m" + std::to_string(i) + " 1 7 14 0 7f000003 000 " + kIfaceRead);
    return out;
}

TEST(GroupStatus, HostEntries) {
    struct Case { const char *what; std::string reply; Strings expected; bool stopped; } cases[] = {
        {"two interfaces, then a closing line", host("a", 2, "TRUSTED period 30 starttime 99") + kIface + kIface + "end\n",
         {"a 2 7 1e 63 7f000003 100 [eth0 c0a80001 ffffff00 c0a800ff 4 1] [eth0 c0a80001 ffffff00 c0a800ff 4 1]"},
         false},
        {"an entry is only parsed when a line follows it", host("a", 1) + kIface, {}, false},
        {"ten fields: no flags, default period", "host a l 5 t 0 a 0 n 1\ninterface e\nx\n",
         {"a 1 5 14 0 0 000 [e 0 0 0 0 0]"}, false},
        {"period without value, lower-case state words", host("a", 1, "offline lan_ok period") + kIface + "x\n",
         {"a 1 7 14 0 7f000003 011 [eth0 c0a80001 ffffff00 c0a800ff 4 1]"}, false},
        {"a host without interfaces is parsed with the next one, whose values prevail",
         host("a", 0, "TRUSTED") + host("b", 1) + kIface + "x\n",
         {"b 1 7 14 0 7f000003 100 [eth0 c0a80001 ffffff00 c0a800ff 4 1]"}, false},
        {"interface lines beyond the announced count end the query", host("a", 1) + kIface + kIface + "x\n",
         {}, true},
        {"an interface after a host without interfaces ends the query", host("a", 0) + kIface + "x\n", {}, true},
        {"a member that cannot be held is passed over",
         host(std::string(256, 'h'), 1) + kIface + host("b", 1) + kIface + "x\n",  // a name over its field
         {"b 1 7 14 0 7f000003 000 [eth0 c0a80001 ffffff00 c0a800ff 4 1]"}, false},
        {"an interface name is cut to its field", host("a", 1) + "interface " + std::string(40, 'i') + " ip 1\nx\n",
         {"a 1 7 14 0 7f000003 000 [iiiiiiiiiiiiiii 1 0 0 0 0]"}, false},
        {"a member named again is taken once, the first time", host("a", 1) + kIface + host("A", 1, "TRUSTED") +
         kIface + host("b", 1) + kIface + "x\n", {"a 1 7 14 0 7f000003 000 " + kIfaceRead, "b 1 7 14 0 7f000003 000 " +
         kIfaceRead}, false},
        {"members beyond the 64th are not taken", many_members(70), many_read(64), false},
    };
    for (const auto &c : cases) {
        bool stopped = false;
        EXPECT_EQ(members(c.reply, &stopped), c.expected) << c.what;
        EXPECT_EQ(stopped, c.stopped) << c.what;
    }
}

TEST(GroupStatus, EntriesThatCannotBeHeldAndTimeOuts) {
    HostList *list = nullptr;
    parse_host_entry(&list, host("a", 100000).c_str());  // more interfaces than an entry can carry
    parse_host_entry(&list, kIface.c_str());              // no host line
    parse_host_entry(&list, "host\n");                    // no name to reach the member by
    EXPECT_EQ(list, nullptr);
    parse_host_entry(&list, (host("b", 2) + kIface + kIface + kIface).c_str());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->host->status->numifs, 2);
    free_HostList(&list);

    // A member times out after three periods.
    for (auto [lastseen, period, expected] : std::vector<std::tuple<int, int, int>>{
             {60, 20, 0}, {61, 20, 1}, {-1, 20, 1}, {0, 0, 0}, {1, 0, 1}, {INT32_MAX, INT32_MAX, 0}})
        EXPECT_EQ(isTimedOut(lastseen, period), expected) << lastseen << " " << period;
}

TEST(RemoteStatus, DesktopUserAndSessionManagerRecords) {
    DesktopList *desktops = nullptr;
    for (const char *record : {"terminalId=IEEE802.02000011223a\nconnected=TRUE\nfirmware=f\ncreateTime=1\nconnectTime=2\n",
                               "terminalId=plain\nconnected=no\n", "terminalId=x.b\nconnected=false\n",
                               "connected=true\n"})
        parse_desktop_entry(&desktops, record);
    Strings out;
    for (DesktopList *d = desktops; d != nullptr; d = d->next)
        out.push_back(fields(d->desktop->id, d->desktop->model, d->desktop->status, d->desktop->firmware_rev,
                             d->desktop->first_conn_time, d->desktop->last_status_time));
    EXPECT_EQ(out, (Strings{"02000011223a IEEE802 Up f 1 2", "b x Down - - -", "plain - Unknown - - -"}));
    free_DesktopList(&desktops);

    UserList *users = nullptr;
    for (const char *record : {"userId=u2\nstate=INSERT\ncreateTime=5\nlastTime=6\nlastDesktopId=d\n",
                               "userId=u1\nstate=remove\n", "userId=u3\nstate=gone\n", "state=insert\n"})
        parse_user_entry(&users, record);
    out.clear();
    for (UserList *u = users; u != nullptr; u = u->next)
        out.push_back(fields(u->user->id, u->user->status, u->user->create_time, u->user->last_time,
                             u->user->last_desktop));
    EXPECT_EQ(out, (Strings{"u1 2 0 0 -", "u2 1 5 6 d", "u3 3 0 0 -"}));
    free_UserList(&users);

    // The session manager's reply lines.
    struct Case { Strings lines; const char *expected /* "error stime sessions connected auth" */; } cases[] = {
        {{"OK/smstatus stime=100 sessions=3 connected=2 auth=1"}, "- 100 3 2 1"},
        {{"OK/smstatus STIME=7 junk =4 sessions="}, "- 7 0 0 0"},
        {{"ERR/smstatus busy now"}, "busy 0 0 0 0"},
        {{"OK/smstatus auth=1", "ERR/smstatus busy"}, "busy 0 0 0 1"},
        {{"ERR/smstatus", "ok/smstatus stime=1", " OK/smstatus  stime=9"}, "- 9 0 0 0"},
    };
    for (const auto &c : cases) {
        smstatus *status = allocate_smstatus();
        for (const auto &line : c.lines) parse_smstatus_line(&status, line.c_str());
        EXPECT_EQ(fields(status->error, status->stime, status->sessions, status->connected, status->auth), c.expected)
            << c.lines[0];
        free_smstatus(status);
    }
}

// The debug dumps, byte for byte: absent texts left out or "(nil)".
TEST(DebugDumps, RecordsMembersAndStatus) {
    KeyValuesNode node{};
    node.token_name = chars("t.1");
    node.terminal_lost_packets = chars("3");
    node.MHterm_index = -1;
    node.flag = 3;
    gm_host *member = allocate_gm_host();
    member->trusted = member->lan_ok = 1;
    std::snprintf(member->status->name, GM_NAME_SIZE, "a");
    smstatus failed{chars("busy"), 0, 0, 0, 0};
    CurrentEntry login{chars("0200aa"), nullptr, nullptr, nullptr, 2, nullptr};
    testing::internal::CaptureStderr();
    print_KeyValuesNode(&node);
    print_KeyValuesNode(nullptr);
    print_gm_host(member);
    print_smstatus(&failed);
    print_linked_list(&login);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              zt::test::read_file(zt::test::source_path("tests/unit/golden/debug_dumps.txt")));
    free_gm_host(member);
}

// A root tree with the policy tool stand-in and a policy file.
class PolicyTree : public zt::test::RootDir {
public:
    PolicyTree() { link_program("ztpolicy", kTool); }
    void set(const std::string &policy) const {
        std::filesystem::remove(path() + "/" + kPolicy);
        write(kPolicy, policy);
    }
    void remove_tool() const { std::filesystem::remove(path() + "/" + kTool); }
    void fifo() const {
        std::filesystem::remove(path() + "/" + kPolicy);
        ASSERT_EQ(mkfifo((path() + "/" + kPolicy).c_str(), 0600), 0);
    }

private:
    static constexpr const char *kTool = "opt/KRVXzt/sbin/ztpolicy";
    static constexpr const char *kPolicy = "etc/opt/KRVXzt/policy";
};

TEST(PseudoPolicy, CodeOfThePolicyText) {
    PolicyTree tree;
    struct Case { const char *policy; int code; } cases[] = {
        {"-r card -s both", ZT_PSEUDO_NOT_LOCAL}, {"-r both", ZT_PSEUDO_REGISTERED_ONLY},
        {"-r both -s pseudo", ZT_PSEUDO_ALLOWED}, {"-r card -z both", ZT_PSEUDO_ALLOWED},
        {"", ZT_PSEUDO_ALLOWED},                  {"-z card -r pseudo\n", ZT_PSEUDO_REGISTERED_ONLY},
        {"-r pseudo -r card", ZT_PSEUDO_REGISTERED_ONLY},
        {"# written by hand\n-r\ncard\n# -s both\n", ZT_PSEUDO_NOT_LOCAL},
        {"-s both -r", ZT_PSEUDO_ALLOWED},
    };
    for (const auto &c : cases) {
        tree.set(c.policy);
        EXPECT_EQ(pseudo_allowed(), c.code) << c.policy;
    }
    // A FIFO in the policy file's place is no policy, refused at once.
    tree.fifo();
    EXPECT_EQ(pseudo_allowed(), -1);
    tree.set("# comment\n-r card -s both\n\n");
    char *text = get_local_policy();
    EXPECT_STREQ(text, "-r card -s both\n");
    std::free(text);

    // Without a tool that runs there is no policy.
    tree.remove_tool();
    EXPECT_EQ(get_local_policy(), nullptr);
    EXPECT_EQ(pseudo_allowed(), -1);
}

TEST(PseudoPolicy, FilterModes) {
    PolicyTree tree;
    AdminConfig *config = allocate_zta();
    set_zta_val(config, "admin.server.name", "srv");
    CurrentEntry *logins = nullptr;
    add_to_linked_list(&logins, "t3", "pseudo.c", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "t1", "card.a", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "t2", "pseudo.b", 2, "other", nullptr, 0);

    struct Case { const char *policy; int mode; Strings expected; } cases[] = {
        {"-r card", 1, {"t1 card.a srv", "t2 pseudo.b other", "t3 ??? srv"}},
        {"-r card", 2, {"t1 card.a srv", "t2 pseudo.b other"}},
        {"-r card", 3, {}},
        {"-z both", 2, {"t1 card.a srv", "t2 pseudo.b other", "t3 pseudo.c srv"}},
    };
    for (const auto &c : cases) {
        tree.set(c.policy);
        CurrentEntry *filtered = filter_pseudo_entries(config, logins, c.mode);
        EXPECT_EQ(zt::test::logins(filtered), c.expected) << c.policy << " mode " << c.mode;
        free_linked_list(&filtered);
    }
    EXPECT_EQ(zt::test::logins(logins), (Strings{"t1 card.a srv", "t2 pseudo.b other", "t3 pseudo.c srv"}));

    set_zta_val(config, "admin.server.name", std::string(256, 's').c_str());
    EXPECT_EQ(filter_pseudo_entries(config, logins, 1), nullptr);
    free_linked_list(&logins);
    free_zta(config);
}

}  // namespace
