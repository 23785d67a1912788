// SPDX-License-Identifier: GPL-3.0-or-later
// ztuser's directory modes end to end: the real binary against the sandbox
// directory, comparing standard output, standard error and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "directory_fixture.h"

namespace zt::test {
namespace {

// A token ID no other test (or earlier run) uses.
std::string unique_token(const std::string &tag) {
    static std::atomic<int> counter{0};
    return "card." + tag + std::to_string(getpid()) + "n" + std::to_string(counter++) + "t" +
           std::to_string(time(nullptr) % 100000);
}

class Ztuser : public ::testing::Test {
protected:
    void SetUp() override {
        if (sandbox_dir().empty()) GTEST_SKIP() << "no sandbox";
    }

    RunResult ztuser(const std::vector<std::string> &args, const RunOptions &options = {}) {
        return run_ztuser(args, sandbox_dir() + "/root", log_.path() + "/ztadmin.log", options);
    }

    std::string log_text() { return read_file(log_.path() + "/ztadmin.log"); }

    // Adds a user with the given tokens and asserts it worked.
    void add_user(const std::vector<std::string> &tokens, const std::string &name,
                  const std::string &other = "") {
        std::string description;
        for (const auto &t : tokens) description += t + ", ";
        description += "localhost, 7007, " + name;
        if (!other.empty()) description += ", " + other;
        RunResult r = ztuser({"-a", description});
        ASSERT_EQ(r.err, "Added one user.\n");
        ASSERT_EQ(r.status, 0);
    }

    TempDir log_;
};

TEST_F(Ztuser, ConnectsAtEitherAccessLevelOrSaysItCannot) {
    for (const RunOptions &options : {RunOptions{}, as_nobody()}) {
        RunResult r = ztuser({}, options);
        EXPECT_TRUE(r.err.starts_with("usage:\n")) << r.err;
        EXPECT_EQ(r.status, 255);
    }
    struct {
        std::vector<std::string> args;
        std::string err_start;
        int status;
    } after_connect[] = {
        {{"-o", "extra"}, "Error: extra argument found\nusage:\n", 1},
        {{"-e"}, "usage:\n", 1},
        {{"-e", "a, b", "c"}, "usage:\n", 1},
        {{"-e", "card.1, localhost, 7007"}, "usage:\n", 255},
        {{"-d"}, "usage:\n", 255},
        {{"-a", "card.1, localhost"}, "usage:\n", 255},
        {{"-k"}, "*** Deprecated ***\n", 255},
    };
    for (const auto &c : after_connect) {
        RunResult r = ztuser(c.args);
        EXPECT_TRUE(r.err.starts_with(c.err_start)) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
    // The same tree with the directory's port closed.
    TempDir down;
    std::string conf = read_file(sandbox_dir() + "/root/etc/opt/KRVXzt/ztadmin.conf");
    down.write("etc/opt/KRVXzt/ztadmin.conf", conf + "admin.server.port=1\n");
    down.write("etc/opt/KRVXzt/ztadmin.pw", read_file(sandbox_dir() + "/root/etc/opt/KRVXzt/ztadmin.pw"), 0600);
    RunResult r = run_ztuser({"-l"}, down.path());
    EXPECT_EQ(std::tie(r.err, r.status), std::tuple("Error: could not connect to admin server\n", 255));
    // A configuration others may write: root does not connect through it, a user still does.
    TempDir loose;
    loose.write("etc/opt/KRVXzt/ztadmin.conf", conf, 0666);
    loose.write("etc/opt/KRVXzt/ztadmin.pw", read_file(sandbox_dir() + "/root/etc/opt/KRVXzt/ztadmin.pw"), 0600);
    r = run_ztuser({"-li", "no-such-token"}, loose.path());
    EXPECT_EQ(std::tie(r.err, r.status), std::tuple("Error: could not connect to admin server\n", 255));
    EXPECT_EQ(run_ztuser({"-li", "no-such-token"}, loose.path(), "", as_nobody()).out, "\n0 tokens total.\n");
}

TEST_F(Ztuser, AddShowListAndDeleteOneUser) {
    std::string t1 = unique_token("a"), t2 = unique_token("b");
    add_user({t1, t2}, "Jane Doe");

    RunResult props = ztuser({"-p", t1});
    EXPECT_EQ(std::tie(props.err, props.status), std::tuple("", 0));
    EXPECT_TRUE(props.out.starts_with(golden("ztuser_properties_head.txt", {{"@NAME@", "Jane Doe"}, {"@INFO@", ""}})))
        << props.out;
    EXPECT_NE(props.out.find(golden("ztuser_properties_tokens.txt")), std::string::npos);
    EXPECT_NE(props.out.find("  " + t1 + std::string(40 - t1.size(), ' ') + "  Yes\n"), std::string::npos);
    EXPECT_NE(props.out.find("  " + t2 + std::string(40 - t2.size(), ' ') + "  Yes\n"), std::string::npos);
    EXPECT_TRUE(props.out.ends_with("\nNever Logged In\n\n")) << props.out;

    RunResult list = ztuser({"-li", t1});
    char row[256];
    snprintf(row, sizeof row, "%-30s %-30s %-15s", t1.c_str(), "Jane Doe", "");
    EXPECT_EQ(std::tie(list.out, list.status), std::tuple(golden("ztuser_list_by_id.txt", {{"@ROW@", row}}), 0));

    RunResult del = ztuser({"-d", t2});
    EXPECT_EQ(std::tie(del.err, del.status), std::tuple("\nDeleted one user.\n", 0));
    EXPECT_EQ(ztuser({"-p", t1}).err, "Error: Token ID '" + t1 + "' not in admin database.\n");
    EXPECT_NE(log_text().find("142 user : User (Jane Doe) successfully added."), std::string::npos);
}

TEST_F(Ztuser, SingleCommandFailures) {
    std::string taken = unique_token("c");
    add_user({taken}, "Taken User", "Room 5");
    std::string fresh = unique_token("d");
    struct Case {
        std::vector<std::string> args;
        std::string err;
        int status;
    } cases[] = {
        {{"-a", taken + ", localhost, 7007, Someone"}, "Token '" + taken + "' already in administration database.\n",
         255},
        {{"-a", "bad..id, localhost, 7007, Someone"}, "Error: Invalid token ID specification\n", 255},
        {{"-a", fresh + ", no-such-host.invalid, 7007, Someone"}, "Error: Invalid server name specified.\n", 255},
        {{"-a", fresh + ", localhost, 7007, "}, "Error: No user name specified\n", 255},
        {{"-a", fresh + ", localhost, port, Someone"}, "Invalid Port specification\n", 255},
        {{"-a", "x, localhost, 7007, Someone"}, "Error: No token reader specified.\n", 255},
        {{"-e", fresh + ", localhost, 7007, Someone"},
         "Error: Token ID '" + fresh + "' not in admininstration database.\n", 255},
        {{"-e", taken + ", localhost, 7007, Taken User, Room 5"}, "No modifications necessary.\n", 0},
        {{"-d", "card.*"}, "Wildcard is not supported.\n", 255},
        {{"-d", fresh}, "\nUser not found.\n", 0},
        {{"-di", taken}, "Error: Token ID '" + taken + "' is user's only token.\n", 255},
        {{"-di", fresh}, "Error: Token ID '" + fresh + "' not in admin database.\n", 255},
        {{"-ai", fresh, unique_token("e")}, "Error: Token ID '" + fresh + "' not in admin database.\n", 255},
        {{"-ai", taken, "bad"}, "Error: Token ID 'bad' is not a valid token ID specification\n", 255},
        {{"-ai", taken, taken}, "Error: Token ID '" + taken + "' already exists.\n", 255},
        {{"-ei", fresh, "enable"}, "Error: Token ID '" + fresh + "' not in admin database.\n", 255},
    };
    for (const Case &c : cases) {
        RunResult r = ztuser(c.args);
        EXPECT_EQ(std::tie(r.out, r.err, r.status), std::tuple("", c.err, c.status)) << c.args[0] << " " << c.args[1];
    }
    // A keyword that is not one is followed by the usage text.
    RunResult keyword = ztuser({"-ei", taken, "enabled"});
    EXPECT_TRUE(keyword.err.starts_with("enabled: Please specify 'enable' or'disable'.\n")) << keyword.err;
    EXPECT_NE(keyword.err.find("usage:\n"), std::string::npos);
    EXPECT_EQ(std::tie(keyword.out, keyword.status), std::tuple("", 255));
}

TEST_F(Ztuser, TokensAreAddedToggledAndRemoved) {
    std::string first = unique_token("f"), second = unique_token("g");
    add_user({first}, "Token Owner");
    RunResult add = ztuser({"-ai", first, second});
    EXPECT_EQ(std::tie(add.err, add.status), std::tuple("\nOne Token ID added to user.\n", 0));

    EXPECT_EQ(ztuser({"-ei", second, "disable"}).err, "\n1 Token ID disabled.\n");
    std::string props = ztuser({"-p", second}).out;
    EXPECT_NE(props.find("  " + second + std::string(40 - second.size(), ' ') + "  No\n"), std::string::npos);
    EXPECT_EQ(ztuser({"-e", "-i", second, "enable"}).err, "\n1 Token ID enabled.\n");
    EXPECT_EQ(ztuser({"-ei", second, "enable"}).err, "\n1 Token ID enabled.\n");

    RunResult edit = ztuser({"-e", first + ", localhost, 7008, Token Owner"});
    EXPECT_EQ(edit.err, "One user modified.\n");
    EXPECT_NE(ztuser({"-p", first}).out.find("  Server Port        = 7008\n"), std::string::npos);

    EXPECT_EQ(ztuser({"-di", second}).err, "\n1 Token ID removed from user.\n");
    EXPECT_EQ(ztuser({"-d", first}).err, "\nDeleted one user.\n");
}

TEST_F(Ztuser, WithoutSuperUserRightsChangesAreRefused) {
    std::string token = unique_token("h");
    add_user({token}, "Read Only");
    const std::string refused = "You must be root to perform this operation";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-a", unique_token("i") + ", localhost, 7007, X"}, refused},
        {{"-e", token + ", localhost, 7007, X"}, refused},
        {{"-d", token}, refused},
        {{"-k", "-tokenid", token}, golden("ztuser_kill_deprecated.txt") + refused + "\n"},
    };
    for (const Case &c : cases) {
        RunResult r = ztuser(c.args, as_nobody());
        EXPECT_EQ(std::tie(r.err, r.status), std::tuple(c.err, 255)) << c.args[0];
    }
    RunResult list = ztuser({"-li", token}, as_nobody());
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(token), std::string::npos);
}

TEST_F(Ztuser, DumpRecreatesUsersThroughBatchAdd) {
    std::string token = unique_token("j");
    add_user({token}, "Doe\\, Jane", "Room 5\\, floor 2");
    RunResult dump = ztuser({"-o"});
    ASSERT_EQ(dump.status, 0);
    std::string line = token + ",localhost,7007,Doe\\, Jane,Room 5\\, floor 2\n";
    ASSERT_NE(dump.out.find(line), std::string::npos) << dump.out;

    EXPECT_EQ(ztuser({"-d", token}).status, 0);
    TempDir dir;
    std::string file = dir.write("users.csv", line);
    RunResult batch = ztuser({"-af", file});
    EXPECT_EQ(batch.err, "Added Doe, Jane\n\n1 user added, 0 lines skipped due to errors.\n");
    EXPECT_NE(ztuser({"-o"}).out.find(line), std::string::npos);
    ztuser({"-d", token});
}

TEST_F(Ztuser, BatchAddReportsEachBadLineAndGoesOn) {
    std::string a = unique_token("k"), b = unique_token("l"), c = unique_token("m");
    TempDir dir;
    std::string file = dir.write("add.csv",
                                 a + ", " + b + ", localhost, 7007, Two Tokens\n"  // 1: two tokens
                                     "\n"                                          // 2: blank
                                     "# comment\n"                                 // 3
                                     + c + ", localhost, port, Nobody, x\n"          // 4: no port
                                     + c + ", nohost.invalid, 7007, Nobody\n"        // 5
                                     "x, localhost, 7007, Reader Less\n"          // 6
                                     "bad..id, localhost, 7007, Bad\n"            // 7
                                     + a + ", localhost, 7007, Again\n"              // 8: taken
                                     + c + ", localhost, 7007, Last Line");          // 9: no line feed
    RunResult r = ztuser({"-af", file});
    EXPECT_EQ(std::tie(r.out, r.err, r.status),
              std::tuple("Invalid data line 4\nSkipping......\n", golden("ztuser_batch_add.txt", {{"@A@", a}}), 0));
    EXPECT_NE(ztuser({"-p", b}).out.find("User Name          = Two Tokens\n"), std::string::npos);

    std::string edits = dir.write("edit.csv", a + ", localhost, 7007, Two Tokens\n" + c +
                                                  ", localhost, 7009, Last Line, note\nshort, line\n");
    EXPECT_EQ(ztuser({"-ef", edits}).err, golden("ztuser_batch_edit.txt"));

    std::string deletes = dir.write("delete.csv", a + "\n\n" + c + ", extra\ncard.*\n" + unique_token("n") + "\n");
    RunResult d = ztuser({"-df", deletes});
    EXPECT_EQ(std::tie(d.err, d.status), std::tuple(golden("ztuser_batch_delete.txt", {{"@A@", a}, {"@C@", c}}), 0));
}

// A name, other information, server name or token ID holding a control character is refused before anything is
// written, with the message an invalid value of that field gets; a batch line holding a NUL is an invalid line.
TEST_F(Ztuser, ControlCharactersInAFieldAreRefusedWithNothingWritten) {
    std::string kept = unique_token("v"), fresh = unique_token("w");
    add_user({kept}, "Kept Name", "Kept Info");
    const std::string add_failed = "Internal Error: Could not add user.\n";
    struct Case { std::vector<std::string> args; std::string err; } cases[] = {
        {{"-a", fresh + ", localhost, 7007, Jane\nDoe"}, add_failed},
        {{"-a", fresh + ", localhost, 7007, Jane\xc2\x85 Doe"}, add_failed},  // NEL, a C1 control in UTF-8
        {{"-a", fresh + ", localhost, 7007, Jane Doe, Room\x1b[2J"}, add_failed},
        {{"-a", fresh + ", localhost, 7007, Jane Doe, Room\x7f"}, add_failed},
        {{"-a", fresh + ", local\rhost, 7007, Jane Doe"}, "Error: Invalid server name specified.\n"},
        {{"-a", fresh + "\x1b, localhost, 7007, Jane Doe"}, "Error: Invalid token ID specification\n"},
        {{"-ai", kept, fresh + "\t"}, "Error: Token ID '" + fresh + "?' is not a valid token ID specification\n"},
        {{"-e", kept + ", localhost, 7008, Kept\tName"}, "Internal Error: Could not modify user.\n"},
        {{"-e", kept + ", localhost, 7008, Kept Name, Info\r\nMore"}, "Internal Error: Could not modify user.\n"},
    };
    for (const Case &c : cases) {
        RunResult r = ztuser(c.args);
        EXPECT_EQ(std::tie(r.err, r.status), std::tuple(c.err, 255)) << c.args[1];
    }
    EXPECT_NE(log_text().find("14 add_simple_user2(): ztName value holds a control character; nothing written.\n"),
              std::string::npos);

    TempDir dir;
    std::string t[] = {unique_token("x"), unique_token("y"), unique_token("z"), unique_token("za")};
    const std::string nul(1, '\0');
    std::string adds = dir.write("add.csv", t[0] + ", localhost, 7007, Esc\x1bName\n" +             //
                                                t[1] + ", localhost, 7007, Cut" + nul + "Here, Room\n" +  //
                                                t[2] + ", localhost, 7007, Fine, Info\x07\n" +            //
                                                t[3] + ", localhost, 7007, Fine Four\n");
    EXPECT_EQ(ztuser({"-af", adds}).err, golden("ztuser_control_add.txt"));
    std::string edits =
        dir.write("edit.csv", kept + ", localhost, 7008, A\x1b" "B\n" + kept + ", localhost, 7008" + nul + ", New\n");
    EXPECT_EQ(ztuser({"-ef", edits}).err, golden("ztuser_control_edit.txt"));
    std::string deletes = dir.write("delete.csv", t[3] + nul + "junk\n" + t[3] + "\n");
    EXPECT_EQ(ztuser({"-df", deletes}).err, "Error: line 1 is not complete....skipping\nDeleted " + t[3] +
                                                "\n\n1 user deleted\n1 user skipped due to errors\n");
    for (const std::string &token : {fresh, t[0], t[1], t[2]})
        EXPECT_EQ(ztuser({"-p", token}).err, "Error: Token ID '" + token + "' not in admin database.\n");
    RunResult props = ztuser({"-p", kept});
    const std::string head = golden("ztuser_properties_head.txt", {{"@NAME@", "Kept Name"}, {"@INFO@", "Kept Info"}});
    EXPECT_TRUE(props.out.starts_with(head)) << props.out;
    ztuser({"-d", kept});
}

// Whatever another tool stored, the listings, the dump and the property display show it without control bytes; the
// per-token walk and the fast listings alike (the differential test holds them to the same bytes).
TEST_F(Ztuser, ValuesFromTheDirectoryReachTheTerminalWithoutControlBytes) {
    const Sandbox *sandbox = Sandbox::get();
    AdminSession primary(*sandbox, kPrimaryHost), replica(*sandbox, kReplicaHost);
    ASSERT_TRUE(primary.bound() && replica.bound());
    std::string token = unique_token("ctl"), tag = token.substr(5);
    add_user({token}, "Name " + tag);
    std::string lt_id = ztuser({"-p", token}).out;
    lt_id = lt_id.substr(lt_id.find("Logical Token      = ") + 21);
    lt_id.resize(lt_id.find('\n'));
    std::string user_id = lt_id.substr(5);
    auto set = [&](const std::string &dn, const char *attr, const std::string &value) {
        zt::ModList change;
        change.replace(attr, value.c_str());
        ASSERT_EQ(ldap_modify_ext_s(primary.get(), dn.c_str(), change.mods(), nullptr, nullptr), LDAP_SUCCESS);
        for (int i = 0; i < 2500 && replica.values(dn, attr) != Strings{value}; ++i) usleep(2000);
    };
    set("ztID=" + user_id + ",ztName=users," + kSuffix, "ztName", "Esc\x1b[2J " + tag + "\r");
    set("ztID=" + user_id + ",ztName=users," + kSuffix, "ztOtherInfo", "osc\x1b]52;c;eA==\x07\xc2\x9b\x9b");
    set("ztID=" + lt_id + ",ztName=logicalTokens," + kSuffix, "ztServerName", "srv\bx");
    const std::string name = "Esc?[2J " + tag + "?", other = "osc?]52;c;eA==???", server = "srv?x";
    auto clean = [](const std::string &out) {
        return std::none_of(out.begin(), out.end(), [](char c) {
            auto b = static_cast<unsigned char>(c);
            return (b < 0x20 && b != '\n') || (b >= 0x7f && b <= 0x9f);
        });
    };
    struct Case { std::vector<std::string> args; std::string shows; } cases[] = {
        {{"-li", token}, token + std::string(30 - token.size() + 1, ' ') + name},
        {{"-Li", token}, server},
        {{"-ln", tag}, other},
        {{"-Ln", tag}, server},
        {{"-o"}, token + "," + server + ",7007," + name + "," + other + "\n"},
        {{"-p", token}, "User Name          = " + name + "\n  Other Info         = " + other +
                            "\n  Server Name        = " + server + "\n"},
    };
    for (const Case &c : cases) {
        RunResult r = ztuser(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_TRUE(clean(r.out)) << c.args[0];
        EXPECT_NE(r.out.find(c.shows), std::string::npos) << c.args[0] << ": " << r.out;
    }
    ztuser({"-d", token});
}

// The command seeds the ID generator: adds in a row, and some at once, all get IDs of their own.
// A batch connects to the primary twice, for the first add's reachability probe and session: every later step takes
// the session an earlier one left, and that session answers the later probes.
TEST_F(Ztuser, TwentyAddsInARowAtOnceAndInOneBatchAllSucceed) {
    TempDir dir;
    std::string tokens, batch;
    auto fresh = [&tokens](const char *tag) {  // a new token ID, for the batch delete at the end
        std::string token = unique_token(tag);
        tokens += token + "\n";
        return token;
    };
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ztuser({"-a", fresh("seq") + ", localhost, 7007, In A Row"}).err, "Added one user.\n") << i;
    }
    std::vector<std::future<RunResult>> at_once;
    for (int i = 0; i < 4; ++i) {
        at_once.push_back(std::async(std::launch::async, [this, token = fresh("par")] {
            return ztuser({"-a", token + ", localhost, 7007, At Once"});
        }));
    }
    for (auto &r : at_once) EXPECT_EQ(r.get().err, "Added one user.\n");
    for (int i = 0; i < 20; ++i) batch += fresh("bat") + ", localhost, 7007, In A Batch\n";
    AdminSession primary(*Sandbox::get(), kPrimaryHost);
    int accepted = primary.connections();
    RunResult added = ztuser({"-af", dir.write("batch.csv", batch)});
    EXPECT_TRUE(added.err.ends_with("\n20 users added, 0 lines skipped due to errors.\n")) << added.err;
    EXPECT_EQ(primary.connections() - accepted, 2);
    accepted = primary.connections();
    RunResult removed = ztuser({"-df", dir.write("all.csv", tokens)});
    EXPECT_TRUE(removed.err.ends_with("\n44 users deleted\n")) << removed.err;
    EXPECT_EQ(primary.connections() - accepted, 1);
}

// A sandbox of the test's own, whose primary may be stopped and killed.
class OwnSandbox {
public:
    OwnSandbox() : dir_(tmp_.path() + "/sb") {
        RunOptions options;
        options.env["ZT_BUILD_DIR"] = ZT_BUILD_DIR;
        up_ = run({source_path("scripts/sandbox"), "up", dir_}, options).status == 0;
        if (up_) sandbox_ = {dir_ + "/root", std::atoi(read_file(dir_ + "/port").c_str()), "Sandbox-Secret42"};
    }
    ~OwnSandbox() { run({source_path("scripts/sandbox"), "down", dir_}); }
    OwnSandbox(const OwnSandbox &) = delete;
    OwnSandbox &operator=(const OwnSandbox &) = delete;

    bool up() const { return up_; }
    const Sandbox &sandbox() const { return sandbox_; }
    pid_t primary() const { return std::atoi(read_file(dir_ + "/primary.pid").c_str()); }
    // Kills the primary and waits until its port refuses connections.
    void kill_primary() const {
        kill(primary(), SIGKILL);
        for (int i = 0; i < 500 && AdminSession(sandbox_, kPrimaryHost).bound(); ++i) usleep(10000);
    }

private:
    TempDir tmp_;
    std::string dir_;
    bool up_ = false;
    Sandbox sandbox_;
};

// One line of a batch fed through a pipe: written, then, once the log holds `until` (and the replica the user's
// name, when `replicated` is given), `then` runs before the next line is written.
struct FedLine {
    std::string line, until, replicated;
    std::function<void()> then;
};

// ztuser MODE on the pipe `fifo`, fed `lines` one by one.
RunResult feed_batch(const std::string &mode, const std::string &fifo, const std::string &root, const std::string &log,
                     const Sandbox &sandbox, const std::vector<FedLine> &lines) {
    mkfifo(fifo.c_str(), 0600);
    auto done = std::async(std::launch::async, [&] { return run_ztuser({mode, fifo}, root, log); });
    int fd = -1;
    for (int i = 0; i < 3000 && fd < 0; ++i) {
        if ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) usleep(10000);
    }
    AdminSession replica(sandbox, kReplicaHost);
    for (const FedLine &l : lines) {
        std::string text = l.line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        auto replicated = [&] {
            Strings names = replica.values("ztName=users,o=ztdata", "ztName", LDAP_SCOPE_ONELEVEL);
            return l.replicated.empty() || std::find(names.begin(), names.end(), l.replicated) != names.end();
        };
        for (int i = 0; i < 3000 && read_file(log).find(l.until) == std::string::npos; ++i) usleep(10000);
        for (int i = 0; i < 3000 && !replicated(); ++i) usleep(10000);
        if (l.then) l.then();
    }
    close(fd);
    return done.get();
}

// A primary that stops, comes back or dies between the lines of a batch gives the messages, statuses and log records
// it always gave (texts of a run before sessions were kept): a kept session that does not answer at once is dropped
// and the step opens one as it always did.
TEST_F(Ztuser, BatchesWhosePrimaryGoesDownSayWhatTheyAlwaysSaid) {
    OwnSandbox own;
    ASSERT_TRUE(own.up());
    const Sandbox &sb = own.sandbox();
    std::string conf = sb.root + "/etc/opt/KRVXzt/ztadmin.conf";
    std::ofstream(conf, std::ios::app) << "admin.server.optimeout=1\n";
    TempDir dir;
    std::optional<Stopped> stopped;
    auto stop = [&] { stopped.emplace(own.primary()); };
    auto resume = [&] { stopped.reset(); };
    auto added = [](const std::string &name) { return "User (" + name + ") successfully added."; };
    auto edited = [](const std::string &name) { return "User properties for (" + name + ") modified."; };
    const std::string unreachable = "the primary datastore.", lt_failed = "Modify LDAP logical token failed.";
    RunResult add = feed_batch("-af", dir.path() + "/add", sb.root, dir.path() + "/add.log", sb,
                               {{"down.1, localhost, 7007, Down One", added("Down One"), "Down One", nullptr},
                                {"down.2, localhost, 7007, Down Two", added("Down Two"), "Down Two", stop},
                                {"down.3, localhost, 7007, Down Three", unreachable, "", resume},
                                {"down.4, localhost, 7007, Down Four", added("Down Four"), "Down Four", nullptr}});
    RunResult edit = feed_batch(
        "-ef", dir.path() + "/edit", sb.root, dir.path() + "/edit.log", sb,
        {{"down.1, localhost, 7008, Down One, edited", edited("Down One"), "", stop},
         {"down.2, localhost, 7008, Down Two, edited", lt_failed, "", resume},
         {"down.4, localhost, 7008, Down Four, edited", edited("Down Four"), "", [&] { own.kill_primary(); }},
         {"down.1, localhost, 7009, Down One, edited again", lt_failed, "", nullptr}});
    auto log_of = [&](const std::string &log) {
        return std::regex_replace(read_file(log), std::regex(":" + std::to_string(sb.port) + "\\b"), ":PORT");
    };
    for (const auto &[r, mode] : {std::pair{add, "add"}, {edit, "edit"}}) {
        EXPECT_EQ(std::tuple(r.out, r.err, r.status, log_of(dir.path() + "/" + mode + ".log")),
                  std::tuple("", golden("ztuser_primary_down_" + std::string(mode) + "_err.txt"), 0,
                             golden("ztuser_primary_down_" + std::string(mode) + "_log.txt")));
    }
}

TEST_F(Ztuser, BatchFilesThatCannotBeReadEndTheRun) {
    TempDir dir;
    std::string keep = unique_token("o");
    std::string too_long = dir.write("long.csv", keep + ", localhost, 7007, Kept\n" + std::string(1023, 'a') + "\n");
    RunResult r = ztuser({"-af", too_long});
    EXPECT_EQ(std::tie(r.err, r.status),
              std::tuple("Added Kept\nError: Line '2' in file '" + too_long + "' too long\n", 255));
    std::string edit_long = dir.write("edit.csv", std::string(127, 'b') + "\n");
    EXPECT_EQ(ztuser({"-ef", edit_long}).err, "Error: Line '1' in file '" + edit_long + "' too long\n");
    RunResult missing = ztuser({"-df", dir.path() + "/none.csv"});
    EXPECT_EQ(std::tie(missing.err, missing.status),
              std::tuple("Error: could not open file '" + dir.path() + "/none.csv' for reading.\n", 255));
    EXPECT_EQ(ztuser({"-d", keep}).status, 0);

    std::string empty = dir.write("empty.csv", "");
    EXPECT_EQ(ztuser({"-af", empty}).err, "\n0 users added, 0 lines skipped due to errors.\n");
    EXPECT_EQ(ztuser({"-ef", empty}).err, "\n0 users modified\n");
    EXPECT_EQ(ztuser({"-df", empty}).err, "\n0 users deleted\n");
}

// A batch file saved with Windows line ends adds, edits and deletes exactly what the same file with Unix line ends
// does: the carriage return before each line feed, and at the end of a last line without one, is not data.
TEST_F(Ztuser, BatchFilesWithWindowsLineEndsGiveTheSameEntries) {
    const std::string stem = unique_token("crlf"), a = stem + "a", c = stem + "c";
    const std::string add = a + ", localhost, 7007, Jane Doe, Room 5|" + c + ", localhost, 7010, Ann Other";
    const std::string edit = a + ", localhost, 7009, Jane Doe|" + c + ", localhost, 7010, Ann Other, note";
    const std::string del = a + "|" + c;
    TempDir dir;
    std::vector<std::string> seen;
    for (const std::string end : {"\n", "\r\n"}) {
        auto batch = [&](const char *mode, const std::string &lines) {  // the last line without its line feed
            std::string text = std::regex_replace(lines, std::regex("\\|"), end) + end.substr(0, end.size() - 1);
            RunResult r = ztuser({mode, dir.write("batch.csv", text)});
            RunResult listed = ztuser({"-Li", stem});
            const std::regex differs("(Logical Token|User Created) .*");  // the user's ID and time of creation
            std::string props = std::regex_replace(ztuser({"-p", a}).out, differs, "");
            return r.out + r.err + std::to_string(r.status) + listed.out + props;
        };
        std::string outcome = batch("-af", add);
        outcome += batch("-ef", edit);
        seen.push_back(outcome + batch("-df", del));
    }
    EXPECT_EQ(seen[1], seen[0]);
    for (const char *expected : {"Added Jane Doe\nAdded Ann Other\n", "\n2 users modified\n",
                                 "Deleted " , "\n2 users deleted\n"}) {
        EXPECT_NE(seen[0].find(expected), std::string::npos) << expected << "\n" << seen[0];
    }
}

TEST_F(Ztuser, ListingsByNameCountTokensAndUsers) {
    std::string tag = unique_token("p").substr(5);
    std::string t1 = unique_token("q"), t2 = unique_token("r");
    add_user({t1, t2}, "Name" + tag);
    RunResult r = ztuser({"-Ln", tag});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with("\n2 tokens, 1 user total.\n")) << r.out;
    char row[256];
    snprintf(row, sizeof row, "%-30s %-15s %-5d %-30s %s\n", t1.c_str(), "localhost", 7007, ("Name" + tag).c_str(),
             "");
    EXPECT_NE(r.out.find(row), std::string::npos) << r.out;
    RunResult none = ztuser({"-ln", "no-such-name-" + tag});
    EXPECT_EQ(none.out, "\n0 tokens, 0 users total.\n");
    RunResult star = ztuser({"-li", "*"});
    EXPECT_TRUE(star.out.ends_with("\n0 tokens total.\n")) << "a '*' is matched literally";
    RunResult too_long = ztuser({"-li", std::string(202, 'a')});
    const std::string filter_error = "Internal Error: Problem constructing search filter for ztuser -li operation. ";
    EXPECT_EQ(std::tie(too_long.err, too_long.status), std::tuple(filter_error + "Filter string too long\n", 255));
    EXPECT_EQ(ztuser({"-li", std::string(201, 'a')}).status, 0);
    ztuser({"-d", t1});
}

TEST_F(Ztuser, KillRunsTheSessionKillProgram) {
    const std::string notice = golden("ztuser_kill_deprecated.txt");
    std::string token = unique_token("s");
    std::string hostile = "a';touch /tmp/zt-pwned;'";
    {
        std::ofstream sessions(sandbox_dir() + "/root/var/opt/KRVXzt/sessions", std::ios::app);
        sessions << "token " << token << "\ndisplay " << hostile << "\n";
    }
    RunResult r = ztuser({"-k", "-tokenid", token});
    EXPECT_EQ(std::tie(r.err, r.status),
              std::tuple(notice + "Session associated with token '" + token + "' killed.\n", 0));
    EXPECT_NE(log_text().find("142 user : Session associated with token '" + token + "' killed."), std::string::npos);

    RunResult again = ztuser({"-k", "-tokenid", token});
    EXPECT_EQ(std::tie(again.err, again.status),
              std::tuple(notice + "Error: Could not kill session associated with token '" + token + "'.\n", 255));

    RunResult quoted = ztuser({"-xdisplay", hostile, "-k"});
    EXPECT_EQ(quoted.status, 0) << quoted.err;
    EXPECT_NE(access("/tmp/zt-pwned", F_OK), 0);

    RunResult too_long = ztuser({"-k", "-xdisplay", std::string(120, 'd')});
    EXPECT_EQ(std::tie(too_long.err, too_long.status), std::tuple(notice + "Error: line too long.\n", 255));
}

TEST_F(Ztuser, KillRefusesABaseDirectoryTheShellWouldReadAsCommands) {
    TempDir tree, marker_dir;
    const std::string etc = "/etc/opt/KRVXzt/", marker = marker_dir.path() + "/ran";
    for (const char *file : {"ztadmin.conf", "ztadmin.pw"})
        tree.write(etc.substr(1) + file, read_file(sandbox_dir() + "/root" + etc + file), 0600);
    for (const std::string &base : std::vector<std::string>{"/x;touch " + marker + ";", "/x$(touch " + marker + ")",
                                                            "/with space", "relative/opt"}) {
        tree.write("var/sadm/pkg/KRVXzta/pkginfo", "PKG=KRVXzta\nBASEDIR=" + base + "\n");
        RunResult r = run_ztuser({"-k", "-tokenid", "card.1"}, tree.path(), log_.path() + "/ztadmin.log");
        EXPECT_TRUE(r.err.ends_with("\n\nError: Could not find package KRVXzta.\n")) << base << ": " << r.err;
        EXPECT_EQ(r.status, 255) << base;
        EXPECT_NE(log_text().find("14 kill_user_session(): base directory (" + base +
                                  ") of package KRVXzta is not a plain absolute path"),
                  std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace zt::test
