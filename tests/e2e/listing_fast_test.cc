// SPDX-License-Identifier: GPL-3.0-or-later
// The fast listings against the per-token walk, and the bulk logged-in listings against the per-row lookups, on
// generated directories full of awkward links, served by a replica that answers at most 50 entries per plain search:
// both must print the same bytes, log the same lines, and list every user.
#include <chrono>
#include <random>

#include <nlohmann/json.hpp>

#include "directory_fixture.h"
#include "listings.h"
#include "records_common.h"
#include "standin_daemon.h"

namespace zt::test {
namespace {

constexpr int kUsersPerTree = 300;
constexpr unsigned kSeeds[] = {11, 2024, 777};

using Attrs = std::vector<std::pair<std::string, std::string>>;

// One generated subtree: its LDIF, what a correct listing must count (resolvable: the raw tokens whose logical
// token and user are unique), and IDs to log in with: tokens as the directory lists them or in other case and
// blanks, and terminals whose desktop may be missing, doubled, or stored in other case.
struct Generated {
    std::string root, ldif;
    int users = 0, resolvable = 0;
    std::vector<std::string> tokens, terminals;
};

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {
        g_.root = "ztName=gen" + std::to_string(seed) + ",o=ztdata";
        entry(g_.root, {{"objectClass", "ztContainer"}, {"ztName", "gen" + std::to_string(seed)}});
        for (const char *c : {"users", "logicalTokens", "rawTokens", "desktops"})
            entry(std::string("ztName=") + c + "," + g_.root, {{"objectClass", "ztContainer"}, {"ztName", c}});
        tag_ = std::to_string(seed);
    }

    Generated make(int count) {
        for (int i = 0; i < count; ++i) user(i);
        for (int i = 0; i < count; ++i) desktop(i);
        return g_;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    void entry(const std::string &dn, const Attrs &attrs) {
        g_.ldif += "dn: " + dn + "\n";
        for (const auto &[k, v] : attrs) g_.ldif += k + ": " + v + "\n";
        g_.ldif += "\n";
    }
    std::string dn(const std::string &id, const char *container) const {
        return "ztID=" + id + ",ztName=" + container + "," + g_.root;
    }
    std::string name() {
        static const char *const kParts[] = {"ann", "Ann", "bo", "Zed", "o'neil", "smith, j", "back\\slash", "eve"};
        std::string n = kParts[pick(8)];
        if (pick(2)) n += std::string(" ") + kParts[pick(8)];
        return n;
    }
    void raw(const std::string &id, const char *type = "user") {
        entry(dn(id, "rawTokens"), {{"objectClass", "ztRawToken"}, {"ztID", id}, {"ztTokenType", type}});
        g_.tokens.push_back(id);
        if (pick(4) == 0) g_.tokens.push_back(variant(id));
    }
    // `id` in other case, with an inner blank doubled.
    std::string variant(std::string id) {
        for (char &c : id) {
            auto u = static_cast<unsigned char>(c);
            c = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
        }
        size_t dot = id.find('.');
        return dot == std::string::npos ? id : id.insert(dot + 1, pick(2) ? "" : "  ");
    }
    // The desktop of terminal `i`: missing, without a location, claimed by a second entry too, or listing the
    // terminal in capitals.
    void desktop(int i) {
        char id[32];
        std::snprintf(id, sizeof id, "%04lx%08x", std::stoul(tag_) & 0xffffu, static_cast<unsigned>(i));
        g_.terminals.push_back(id);
        std::string second = std::string(id) + "-2", room = "Room " + std::to_string(i % 7) + ", desk";
        Attrs a = {{"objectClass", "ztDesktop"}, {"ztID", id}, {"ztLocation", room}};
        switch (pick(6)) {
            case 0: return;
            case 1: a.pop_back(); break;
            case 2:
                entry(dn(second, "desktops"), {{"objectClass", "ztDesktop"}, {"ztID", second}, {"ztID", id}});
                break;
            case 3: a[1].second = variant(id); break;
            default: break;
        }
        entry(dn(a[1].second, "desktops"), a);
    }
    void logical(const std::string &id, const std::vector<std::string> &raws, Attrs extra = {}) {
        Attrs a = {{"objectClass", "ztLogicalToken"}, {"ztID", id}};
        for (const auto &r : raws) a.emplace_back("ztRawTokenIDs", r);
        if (extra.empty()) extra = {{"ztServerName", "srv" + std::to_string(pick(3))}, {"ztServerPort", "7007"}};
        a.insert(a.end(), extra.begin(), extra.end());
        entry(dn(id, "logicalTokens"), a);
    }
    void person(const std::string &id, const std::vector<std::string> &lts, Attrs names) {
        Attrs a = {{"objectClass", "ztUser"}, {"ztID", id}};
        a.insert(a.end(), names.begin(), names.end());
        for (const auto &l : lts) a.emplace_back("ztLogicalTokenIDs", l);
        // Another tool's control characters (ESC, BEL, DEL) are shown as "?" by both listings.
        static const char *const kOthers[] = {"room 4, desk\\2", "", "esc\x1b[2J bel\x07 del\x7f"};
        if (pick(3) == 0) a.emplace_back("ztOtherInfo", kOthers[pick(3)]);
        entry(dn(id, "users"), a);
        ++g_.users;
    }

    // One user with one of the anomalies the listings must live with.
    void user(int i) {
        std::string n = tag_ + "_" + std::to_string(i), uid = "u" + n, lt = "user.u" + n;
        std::string r1 = "card." + n + "a", r2 = "Card." + n + "b";
        Attrs names = {{"ztName", name()}};
        switch (pick(14)) {
            case 0:  // a raw token nobody lists, and a user without tokens
                raw(r1); person(uid, {}, names); return;
            case 1:  // a logical token without a user
                raw(r1); logical(lt, {r1}); person(uid, {}, names); return;
            case 2:  // a logical token claimed by two users
                raw(r1); logical(lt, {r1}); person(uid, {lt}, names); person(uid + "x", {lt}, {{"ztName", name()}});
                return;
            case 3:  // a raw token claimed by two logical tokens
                raw(r1); logical(lt, {r1}); logical(lt + "x", {r1}); person(uid, {lt}, names); return;
            case 4:  // references differing in case and inner blanks
                raw("Card." + n + "  X"); logical(lt, {"CARD." + n + " x"}); person(uid, {"USER.U" + n}, names);
                ++g_.resolvable;
                return;
            case 5:  // a logical token that does not exist
                person(uid, {lt + "-gone"}, names); return;
            case 6:  // not a user token, and an ID too long to look up
                raw(r1, "other"); raw(r2 + std::string(120, 'z')); logical(lt, {r1, r2 + std::string(120, 'z')});
                person(uid, {lt}, names);
                return;
            case 7:  // no server, a port of letters, no name, two names
                raw(r1); logical(lt, {r1}, {{"ztServerPort", "abc"}});
                person(uid, {lt}, pick(2) ? Attrs{} : Attrs{{"ztName", "Zed"}, {"ztName", "ann"}});
                ++g_.resolvable;
                return;
            default: {  // plain: one or two raw tokens, sometimes a second logical token
                raw(r1);
                std::vector<std::string> raws = {r1};
                if (pick(2)) raw(raws.emplace_back(r2));
                logical(lt, raws);
                std::vector<std::string> lts = {lt};
                if (pick(4) == 0) {
                    raw(r1 + "2");
                    logical(lts.emplace_back(lt + "-2"), {r1 + "2"});
                    ++g_.resolvable;  // the second logical token's raw token
                }
                person(uid, lts, names);
                g_.resolvable += static_cast<int>(raws.size());
            }
        }
    }

    std::mt19937 rng_;
    Generated g_;
    std::string tag_;
};

// A sandbox of its own whose replica keeps the size limit `limit`, loaded
// with `ldif` (`up` once the replica has its last entry).
class LimitedSandbox {
public:
    LimitedSandbox(const std::string &ldif, const std::string &limit) {
        std::string file = dir_.write("load.ldif", ldif);
        // Through the shell, not run(): the servers outlive the script and would hold its output pipes open.
        std::string command = "ZT_SANDBOX_SIZELIMIT='" + limit + "' ZT_SANDBOX_LOAD='" + file + "' '" +
                              source_path("scripts/sandbox") + "' up '" + dir_.path() + "/sb' > '" + dir_.path() +
                              "/up.log' 2>&1";
        up = std::system(command.c_str()) == 0;
        error = read_file(dir_.path() + "/up.log");
        port = std::atoi(read_file(dir_.path() + "/sb/port").c_str());
        std::string last = ldif.substr(ldif.rfind("dn: ") + 4);
        last.resize(last.find('\n'));
        for (int i = 0; up && plain_count(last) != 1; ++i, usleep(50000)) up = i < 600;
    }
    ~LimitedSandbox() { std::system(("'" + source_path("scripts/sandbox") + "' down '" + dir_.path() + "/sb'").c_str()); }
    // Entries below `base` on the replica, through one plain anonymous
    // search; minus the result code when the search fails.
    int plain_count(const std::string &base) const {
        RunOptions options;
        options.env["LDAPNOINIT"] = "1";  // no ldap.conf of the machine
        RunResult r = run({"/usr/bin/ldapsearch", "-x", "-LLL", "-H", "ldap://127.0.0.1:" + std::to_string(port),
                           "-b", base, "1.1"}, options);
        int n = 0;
        for (size_t at = 0; (at = r.out.find("dn: ", at)) != std::string::npos; ++at) ++n;
        return r.status == 0 ? n : -r.status;
    }

    // The replica's process, to stop and go on.
    pid_t replica() const { return std::atoi(read_file(dir_.path() + "/sb/replica.pid").c_str()); }

    TempDir dir_;
    bool up = false;
    std::string error;
    int port = 0;
};

std::vector<Generated> &trees() {
    static std::vector<Generated> all = [] {
        std::vector<Generated> out;
        for (unsigned seed : kSeeds) out.push_back(Generator(seed).make(kUsersPerTree));
        return out;
    }();
    return all;
}

class FastListing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string ldif;
        for (const auto &t : trees()) ldif += t.ldif;
        // Plain searches stop at 50 entries; paged ones may go on, in pages of at most 100.
        sandbox_ = new LimitedSandbox(ldif, "50 size.pr=100 size.prtotal=unlimited");
    }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(sandbox_->up) << sandbox_->error;
        log_ = std::make_unique<LogFile>();
    }

    // A connection (lowest access level) to the replica with `root` as subtree.
    Connection connect(const std::string &root, const LimitedSandbox *sandbox = sandbox_,
                       const std::string &answer_seconds = "") {
        tree_ = std::make_unique<ToolTree>(std::map<std::string, std::string>{
            {"admin.server.name", kReplicaHost}, {"admin.server.port", std::to_string(sandbox->port)},
            {"admin.subtree", root}, {"admin.server.authmech", "SIMPLE"},
            {"admin.server.optimeout", answer_seconds}});
        tree_->use();
        return Connection(open_connection(1, nullptr, nullptr, nullptr, nullptr));
    }

    struct Output {
        int status;
        std::string out, err, log;
        auto all() const { return std::tie(status, out, err, log); }  // compared whole
    };
    template <typename List>
    Output capture(List list) {
        log_->clear();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = list();
        std::fflush(stdout);
        std::fflush(stderr);
        return {status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), log_->all()};
    }

    static LimitedSandbox *sandbox_;
    std::unique_ptr<LogFile> log_;
    std::unique_ptr<ToolTree> tree_;
};

LimitedSandbox *FastListing::sandbox_ = nullptr;

struct Mode { bool by_name; const char *substring; int format; };

// The fast rows alone, with the filter the listing would pass.
listing::Fast read_fast(AdminConfig *conn, const Mode &m) {
    std::string sub = m.substring ? zt::filter_escape(m.substring) : "";
    if (m.by_name) {
        listing::NameCounts counts;
        std::string filter = "ztName=*" + sub + "*";
        return listing::fast_rows_by_name(conn, m.substring ? filter.c_str() : nullptr, m.format, counts);
    }
    listing::TokenRows rows(m.format);
    std::string filter = "(zttokentype=user)" + (m.substring ? "(ztid=*" + sub + "*)" : std::string());
    return listing::fast_rows_by_token(conn, filter.c_str(), rows);
}

TEST_F(FastListing, PrintsWhatThePerTokenWalkPrintsForEveryModeAndListsEveryUser) {
    const Mode modes[] = {{false, nullptr, FORMAT_SHORT}, {false, nullptr, FORMAT_LONG}, {false, nullptr, FORMAT_CSV},
                          {false, "1", FORMAT_LONG},      {false, "*", FORMAT_SHORT},   {false, nullptr, 99},
                          {true, nullptr, FORMAT_SHORT},  {true, nullptr, FORMAT_LONG}, {true, "AN", FORMAT_SHORT},
                          {true, ", j", FORMAT_LONG}};
    for (const Generated &tree : trees()) {
        Connection conn = connect(tree.root);
        ASSERT_NE(conn, nullptr);
        std::map<std::string, std::string> printed;  // by mode
        for (const Mode &m : modes) {
            auto list = m.by_name ? list_users_by_name : list_users_by_id;
            auto reference = m.by_name ? listing::list_users_by_name_reference : listing::list_users_by_id_reference;
            Output fast = capture([&] { return list(conn.get(), m.substring, m.format); });
            Output ref = capture([&] { return reference(conn.get(), m.substring, m.format); });
            std::string mode = fields(m.by_name, m.substring, m.format);
            EXPECT_EQ(fast.all(), ref.all()) << mode;
            printed[mode] = fast.out;
            EXPECT_EQ(fast.out.find_first_of("\x1b\x07\x7f"), std::string::npos) << mode;
            // The listing must not have fallen back to the walk.
            Output bare = capture([&] { return static_cast<int>(read_fast(conn.get(), m)); });
            EXPECT_NE(bare.status, static_cast<int>(listing::Fast::kUnavailable)) << mode;
        }
        // Every user is listed, past the replica's limit for plain searches.
        ASSERT_LT(sandbox_->plain_count(tree.root), 0) << "the replica should refuse a plain search this large";
        const std::string &csv = printed[fields(false, nullptr, FORMAT_CSV)];
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), tree.resolvable) << tree.root;
        const std::string &by_name = printed[fields(true, nullptr, FORMAT_SHORT)];
        EXPECT_NE(by_name.find(", " + std::to_string(tree.users) + " users total.\n"), std::string::npos) << by_name;
    }
}

TEST_F(FastListing, FailsLoudlyWhenTheLimitAlsoCapsPagedSearches) {
    const Generated &tree = trees().front();
    LimitedSandbox strict(tree.ldif, "50");
    ASSERT_TRUE(strict.up) << strict.error;
    Connection conn = connect(tree.root, &strict);
    ASSERT_NE(conn, nullptr);
    Output o = capture([&] { return list_users_by_id(conn.get(), nullptr, FORMAT_SHORT); });
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("ldap_search_s() failed: Size limit exceeded", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("\nInternal error: could not get user list from administration server.\n"), std::string::npos);
}

// A directory that took the bind and then answers nothing: the listing fails after one wait, without the per-token
// walk waiting again after it.
TEST_F(FastListing, GivesUpWithoutTheWalkWhenTheDirectoryStopsAnswering) {
    const Generated &tree = trees().front();
    Connection conn = connect(tree.root, sandbox_, "1");
    ASSERT_NE(conn, nullptr);
    pid_t replica = sandbox_->replica();
    ASSERT_GT(replica, 0);
    struct {
        int (*list)(AdminConfig *, const char *, int);
        const char *message;
    } listings[] = {{list_users_by_id, "Internal error: could not get user list from administration server.\n"},
                    {list_users_by_name, "Internal Error: Could not get list from administration server\n"}};
    for (const auto &l : listings) {
        ASSERT_EQ(kill(replica, SIGSTOP), 0);
        auto start = std::chrono::steady_clock::now();
        Output o = capture([&] { return l.list(conn.get(), nullptr, FORMAT_SHORT); });
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        kill(replica, SIGCONT);
        EXPECT_EQ(o.status, -1);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find(l.message), std::string::npos) << o.err;
        EXPECT_LT(took.count(), 1.8) << o.log;  // one wait of 1 s; the walk would add its own
    }
}

// ------------------------------------------------------------- logins

using json = nlohmann::json;

// Logins at `count` terminals of `tree`, from record `first` on (the tokens taken in turn):
// now and then a stranger's token, a secondary head, or a token that is in at two terminals.
json login_records(const Generated &tree, size_t first, size_t count) {
    json records = json::array();
    for (size_t k = first; k < first + count; ++k) {
        std::string token = k % 9 == 4 ? "nobody." + std::to_string(k) : tree.tokens[k % tree.tokens.size()];
        if (k % 13 == 6) token = tree.tokens[(k - 1) % tree.tokens.size()];
        json r = json::array({"terminalId=IEEE802." + tree.terminals[k % tree.terminals.size()], "LocalName=" + token,
                              "tokenName=" + token});
        if (k % 11 == 3) r.push_back("MultiheadPrimary=false");
        records.push_back(r);
    }
    return records;
}

std::string manager(const json &records, const std::vector<std::string> &group = {}) {
    json rules = json::array({{{"request", "status\n"}, {"records", records}}});
    if (!group.empty()) rules.push_back({{"request", "gstatus\n"}, {"lines", group}});
    return json{{"replies", rules}}.dump();
}

// The group of the configured server: three trusted members, the last of which runs no manager.
std::vector<std::string> three_members() {
    std::vector<std::string> lines;
    for (const char *host : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        lines.push_back(std::string("host ") + host + " lastseen 1 timeoff 0 addr 7f000001 ifs 1 TRUSTED");
        lines.push_back("interface lo ip 7f000001 mask ff000000 bcast 7fffffff last 1 LAN");
    }
    lines.push_back("end");
    return lines;
}

TEST_F(FastListing, BulkLoginsPrintWhatThePerRowLookupsPrint) {
    constexpr auto kAuthMgr = StandinDaemon::Service::AuthMgr;
    struct Scenario {
        const char *what;
        size_t logins;  // 0: as many as the tree has tokens (the containers are read whole)
        bool group;
    };
    const Scenario scenarios[] = {{"every token, one server", 0, false},
                                  {"a few (searched by ID), one server", 15, false},
                                  {"every token, three members", 0, true},
                                  {"a few, three members", 15, true}};
    const int formats[] = {FORMAT_SHORT, FORMAT_LONG, LIST_GLOBAL};
    // As tuned, and never reading a container whole: a few IDs at a time (an entry then answers several searches),
    // or a hundred (a search then finds more entries than the replica's limit for plain searches).
    const listing::BulkTuning tunings[] = {{}, {0, 7, 3}, {0, 100, 2}};
    StandinDaemon head(kAuthMgr, kReplicaHost, manager(json::array()));
    StandinDaemon first(kAuthMgr, "127.0.0.3", manager(json::array()));
    StandinDaemon second(kAuthMgr, "127.0.0.4", manager(json::array()));
    for (const Generated &tree : trees()) {
        Connection conn = connect(tree.root);
        ASSERT_NE(conn, nullptr);
        tree_->dir().write("usr/sbin/.keep", "");
        ASSERT_EQ(symlink(ZT_BUILD_DIR "/ztprobe", (tree_->root() + "/usr/sbin/ping").c_str()), 0);
        for (const Scenario &sc : scenarios) {
            size_t n = sc.logins > 0 ? sc.logins : tree.tokens.size();
            if (sc.group) {
                // Each member has half the logins and a few of the other's: equal tokens across members.
                head.set_scenario(manager(json::array(), three_members()));
                first.set_scenario(manager(login_records(tree, 0, n / 2 + 3)));
                second.set_scenario(manager(login_records(tree, n / 2, n - n / 2)));
            } else {
                head.set_scenario(manager(login_records(tree, 0, n)));
            }
            for (int format : formats) {
                Output ref = capture([&] { return listing::list_current_users_reference(conn.get(), format); });
                EXPECT_NE(ref.out.find(" currently logged in.\n"), std::string::npos) << sc.what;
                for (const listing::BulkTuning &tuning : tunings) {
                    Output bulk = capture([&] { return listing::list_current_users_bulk(conn.get(), format, tuning); });
                    auto tuned = static_cast<long long>(tuning.entries_per_id * 1000 + tuning.ids_per_filter);
                    std::string what = fields(tree.root.c_str(), sc.what, format, tuned);
                    EXPECT_EQ(bulk.all(), ref.all()) << what;
                }
            }
        }
        // The listings above must not have fallen back to the per-row lookups.
        std::vector<CurrentEntry> entries(tree.tokens.size());
        std::vector<const CurrentEntry *> rows;
        for (size_t i = 0; i < entries.size(); ++i) {
            entries[i].token_id = const_cast<char *>(tree.tokens[i].c_str());
            entries[i].terminal_id = const_cast<char *>(tree.terminals[i % tree.terminals.size()].c_str());
            rows.push_back(&entries[i]);
        }
        for (size_t few : {rows.size(), size_t{15}}) {
            rows.resize(few);
            for (const listing::BulkTuning &tuning : tunings)
                EXPECT_NE(listing::bulk_login_lookups(conn.get(), rows, true, tuning), nullptr) << tree.root << few;
        }
    }
}

}  // namespace
}  // namespace zt::test
