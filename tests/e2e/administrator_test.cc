// SPDX-License-Identifier: GPL-3.0-or-later
// administrator_test.cc - setting up, diagnosing and backing up an installation, end to end against the sandbox:
// `ztadmin check` on a good tree and on each fault, `ztadmin init` into an empty root, and the LDIF backup of the
// users with OpenLDAP's own tools.
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "directory_fixture.h"
#include "standin_daemon.h"

namespace zt::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::string kConf = std::string(kEtc) + "/ztadmin.conf";
const std::string kPw = std::string(kEtc) + "/ztadmin.pw";
const std::string kDsConf = std::string(kEtc) + "/qmds/current/ztdsd.conf";

bool has_line_starting(const std::string &text, const std::string &start) {
    return ("\n" + text).find("\n" + start) != std::string::npos;
}

// Every file below `root`: its content (a link's target) and modification time.
std::map<std::string, std::string> snapshot(const std::string &root) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        std::string what = entry.is_symlink() ? fs::read_symlink(entry.path()).string() : read_file(entry.path());
        files[entry.path()] = what + "@" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    return files;
}

class Administrator : public DirectoryTest {
protected:
    void SetUp() override {
        DirectoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const char *container : {"users", "logicalTokens", "rawTokens"}) add(container, base_);
    }

    // A tree that ztuser and `ztadmin check` accept as it is: the test's subtree, `changes` to the keys ("" drops
    // one), the sandbox's data-store configuration, the probe and the policy tool.
    std::unique_ptr<ToolTree> good_tree(std::map<std::string, std::string> changes = {}) {
        changes.insert({"admin.subtree", base_});
        auto tree = std::make_unique<ToolTree>(ToolTree::sandbox_keys(*sandbox_, changes));
        tree->write_password(sandbox_->password);
        tree->dir().write(kDsConf.substr(1), read_file(sandbox_->root + kDsConf));
        tree->dir().write("etc/opt/KRVXzt/policy", "-r card -s both\n");
        tree->dir().link_program("ztprobe", "usr/sbin/ping");
        tree->dir().link_program("ztpolicy", "opt/KRVXzt/sbin/ztpolicy");
        return tree;
    }

    RunResult ztadmin(const Strings &args, const std::string &root, RunOptions options = {}) {
        Strings argv = {build_path("ztadmin")};
        argv.insert(argv.end(), args.begin(), args.end());
        options.env["ZTADMIN_ROOT"] = root;
        return run(argv, options);
    }
};

// Everything ztuser needs, in order, each line naming its file, key, host or port; nothing is written.
TEST_F(Administrator, CheckPassesAGoodSetUpLineByLineAndWritesNothing) {
    StandinDaemon manager(
        StandinDaemon::Service::AuthMgr, kReplicaHost,
        json{{"replies", json::array({{{"request", "gstatus\n"}, {"lines", json::array()}}})}}.dump());
    StandinDaemon sessions(
        StandinDaemon::Service::SessionMgr, kReplicaHost,
        json{{"replies", json::array({{{"request", "smstatus\n"}, {"lines", {"OK/smstatus stime=1 sessions=0"}}}})}}
            .dump());
    auto tree = good_tree();
    auto before = snapshot(tree->root());
    const std::map<std::string, std::string> values = {
        {"@ROOT@", tree->root()}, {"@PORT@", std::to_string(sandbox_->port)}, {"@BASE@", base_}};
    RunResult r = ztadmin({"check"}, tree->root());
    EXPECT_EQ(std::tie(r.out, r.err, r.status), std::tuple(golden("ztadmin_check.txt", values), "", 0));
    EXPECT_EQ(ztadmin({"check", "--quiet"}, tree->root()).out, "");
    // Anyone else checks what their own runs need: no password file, an anonymous bind, read-only status files.
    RunResult user = ztadmin({"check"}, tree->root(), as_nobody());
    EXPECT_EQ(user.status, 0) << user.out;
    for (const std::string &line : lines_of(golden("ztadmin_check_unprivileged.txt", values))) {
        EXPECT_NE(user.out.find(line + "\n"), std::string::npos) << line << user.out;
    }
    EXPECT_EQ(snapshot(tree->root()), before);
}

// One fault at a time: the line that names it, and the exit status (1 when anything FAILED).  No manager listens
// here, so every run also warns about both.
TEST_F(Administrator, CheckNamesEachFaultOnALineOfItsOwn) {
    std::string partial = add("partial", base_);
    add("users", partial);
    add("logicalTokens", partial);
    // A server that accepts connections and never answers.
    Fd silent(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr *>(&address), length) | listen(silent.get(), 8) |
                  getsockname(silent.get(), reinterpret_cast<sockaddr *>(&address), &length),
              0);
    const std::string port = std::to_string(sandbox_->port), silent_port = std::to_string(ntohs(address.sin_port));
    const std::string ds = read_file(sandbox_->root + kDsConf);

    using Spoil = std::function<void(const ToolTree &)>;
    auto file = [](const std::string &relative, const std::string &content, mode_t mode = 0644) {
        return Spoil([=](const ToolTree &t) { chmod(t.dir().write(relative.substr(1), content).c_str(), mode); });
    };
    auto chmod_to = [](const std::string &relative, mode_t mode) {
        return Spoil([=](const ToolTree &t) { chmod((t.root() + relative).c_str(), mode); });
    };
    auto removed = [](const std::string &relative) {
        return Spoil([=](const ToolTree &t) { fs::remove(t.root() + relative); });
    };
    // With no fault only the managers warn, and a warning alone leaves the status 0.
    auto unspoilt = good_tree();
    RunResult quiet = ztadmin({"check", "--quiet"}, unspoilt->root());
    EXPECT_EQ(std::tie(quiet.out, quiet.status), std::tuple(golden("ztadmin_check_managers.txt"), 0));
    // Each fault's line, in the order of the table, begins with the line of ztadmin_check_faults.txt.
    struct Fault {
        std::map<std::string, std::string> keys;
        Spoil spoil;
    } faults[] = {
        {{}, removed(kConf)},
        {{}, [](const ToolTree &t) { fs::remove(t.config_path()), fs::create_directory(t.config_path()); }},
        {{}, chmod_to(kConf, 0664)},
        {{{"admin.subtree", ""}}, {}},
        {{{"admin.server.port", "389x"}}, {}},
        {{{"admin.server.tls", "startls"}}, {}},
        {{{"admin.server.tsl", "starttls"}}, {}},
        {{}, removed(kPw)},
        {{}, chmod_to(kPw, 0640)},
        {{}, chmod_to(kPw, 0400)},
        {{}, [](const ToolTree &t) { chown((t.root() + kPw).c_str(), 65534, 65534); }},
        {{}, file(kPw, " \nsecond line\n", 0600)},
        {{}, [](const ToolTree &t) { t.write_password("wrong"); }},
        {{}, removed("/var/ustatus.pag")},
        {{}, removed(kDsConf)},
        {{}, file(kDsConf, "database mdb\nsuffix\n")},
        {{}, file(kDsConf, "database mdb\nsuffix o=other\n")},
        {{}, file(kDsConf, std::regex_replace(ds, std::regex(":" + port), ":1"))},
        {{{"admin.server.name", "nohost.invalid"}}, {}},
        {{{"admin.server.port", "1"}}, {}},
        {{{"admin.server.tls", "starttls"}}, {}},
        {{{"admin.server.port", silent_port}}, {}},
        {{{"admin.subtree", partial}}, {}},
        {{}, removed("/opt/KRVXzt/sbin/ztpolicy")},
    };
    const Strings lines = lines_of(golden("ztadmin_check_faults.txt", {{"@PORT@", port}, {"@SILENT@", silent_port},
                                                                        {"@PARTIAL@", partial}}));
    ASSERT_EQ(lines.size(), std::size(faults));
    for (size_t i = 0; i < lines.size(); ++i) {
        auto tree = good_tree(faults[i].keys);
        if (faults[i].spoil) faults[i].spoil(*tree);
        std::string line = replaced(lines[i], {{"@ROOT@", tree->root()}});
        SCOPED_TRACE(line);
        RunResult r = ztadmin({"check", "--quiet"}, tree->root());
        EXPECT_EQ(r.status, line.starts_with("FAILED") ? 1 : 0) << r.out;
        EXPECT_TRUE(has_line_starting(r.out, line)) << r.out;
    }
}


// `ztadmin init` into an empty root gives ztuser all it needs; the password reaches only its file, never a child's
// arguments or environment; nothing is replaced without --force, and status files never.
TEST_F(Administrator, InitSetsUpAnEmptyRootAndReplacesOnlyWithForce) {
    TempDir root;
    const std::string r = root.path(), calls = r + "/calls";
    // The directory server's file is the directory's own; the platform's programs note how they were called.
    root.write(kDsConf.substr(1), read_file(sandbox_->root + kDsConf));
    for (const auto &[program, place] :
         {std::pair{"ztprobe", "usr/sbin/ping"}, {"ztpolicy", "opt/KRVXzt/sbin/ztpolicy"}}) {
        chmod(root.write(place, "#!/bin/sh\n{ echo \"$0\" \"$@\"; env; } >> " + calls + "\nexec " +
                                    build_path(program) + " \"$@\"\n")
                  .c_str(),
              0755);
    }
    const Strings args = {"init",       "--server", kReplicaHost, "--port", std::to_string(sandbox_->port),
                          "--admin-dn", kAdminDn,   "--subtree",  base_,    "--password-stdin"};
    RunOptions typed;
    typed.input = sandbox_->password + "\n";
    RunResult init = ztadmin(args, r, typed);
    EXPECT_EQ(init.status, 0) << init.out << init.err;
    EXPECT_TRUE(init.out.starts_with("wrote " + r + kPw + "\nwrote " + r + kConf + "\ncreated " + r +
                                     "/var/opt/KRVXzt/ustatus\ncreated " + r + "/var/opt/KRVXzt/dstatus\nok "))
        << init.out;
    EXPECT_EQ(init.out.find("FAILED"), std::string::npos) << init.out;
    EXPECT_EQ(read_file(r + kConf), golden("ztadmin_init.conf", {{"@PREFIX@", ZT_INSTALL_PREFIX}, {"@ROOT@", r},
                                                                 {"@PORT@", std::to_string(sandbox_->port)},
                                                                 {"@BASE@", base_}}));
    Opt scrambled = take(scramble_text(sandbox_->password.c_str()));
    EXPECT_EQ(read_file(r + kPw), *scrambled + "\n");
    for (const auto &[file, mode] : {std::pair{kPw, 0600}, {kConf, 0644}, {"/var/opt/KRVXzt/ustatus.pag", 0644}}) {
        EXPECT_EQ(fs::status(r + file).permissions(), static_cast<fs::perms>(mode)) << file;
    }

    std::string token = "card.init" + std::to_string(getpid());
    EXPECT_EQ(run_ztuser({"-a", token + ", localhost, 7007, Init User"}, r).err, "Added one user.\n");
    EXPECT_NE(run_ztuser({"-l"}, r).out.find(token), std::string::npos);
    std::string called = read_file(calls);
    EXPECT_NE(called.find("ping"), std::string::npos);
    EXPECT_EQ(called.find(sandbox_->password), std::string::npos);
    EXPECT_EQ(called.find(*scrambled), std::string::npos);

    auto before = snapshot(r + "/etc");
    RunResult again = ztadmin(args, r, typed);
    const std::string exists = " exists; --force replaces it\n";
    EXPECT_EQ(std::tie(again.err, again.status),
              std::tuple("ztadmin init: " + r + kConf + exists + "ztadmin init: " + r + kPw + exists, 1));
    EXPECT_EQ(snapshot(r + "/etc"), before);

    auto status_files = snapshot(r + "/var");
    Strings forced = args;
    forced.insert(forced.end(), {"--force", "--mech", "SIMPLE", "--quiet"});
    RunResult force = ztadmin(forced, r, typed);
    EXPECT_EQ(force.status, 0) << force.out << force.err;
    EXPECT_NE(read_file(r + kConf).find("\nadmin.server.authmech=SIMPLE\n"), std::string::npos);
    EXPECT_EQ(snapshot(r + "/var"), status_files);

    // Values that would add a line of their own, and a password on the command line, are refused before anything
    // is written.
    TempDir empty;
    for (const auto &[extra, message] : {std::pair<Strings, std::string>{{"--subtree", "o=x\nadmin.user.name=cn=evil"},
                                                                         "--subtree holds a control character"},
                                         {{"--password", "secret"}, "unknown option --password"}}) {
        Strings bad = args;
        bad.insert(bad.end(), extra.begin(), extra.end());
        RunResult refused = ztadmin(bad, empty.path(), typed);
        EXPECT_TRUE(refused.err.starts_with("ztadmin init: " + message + "\nusage:\n")) << refused.err;
        EXPECT_EQ(refused.status, 2);
        EXPECT_TRUE(fs::is_empty(empty.path()));
    }
}

// The lossless backup the manual page shows: the users' entries dumped from the primary with ldapsearch, wiped,
// reloaded with ldapadd; every listing and every user's properties come back byte for byte, a second token and a
// disabled one included (which the dump of -o cannot carry).
TEST_F(Administrator, LdifBackupOfTheUsersRestoresEveryListingByteForByte) {
    auto tree = good_tree();
    auto ztuser = [&](const Strings &args) { return run_ztuser(args, tree->root()); };
    const std::string id = std::to_string(getpid()), a = "card.ldifa" + id, b = "card.ldifb" + id,
                      c = "card.ldifc" + id;
    ASSERT_EQ(ztuser({"-a", a + ", " + b + ", localhost, 7007, Doe\\, Jane, Room 5\\, floor 2"}).status, 0);
    ASSERT_EQ(ztuser({"-a", c + ", localhost, 7010, Ann Other"}).status, 0);
    ASSERT_EQ(ztuser({"-ei", b, "disable"}).status, 0);
    auto listings = [&] {
        std::string all;
        for (const Strings &args : {Strings{"-l"}, {"-L"}, {"-o"}, {"-p", a}, {"-p", b}, {"-p", c}})
            all += ztuser(args).out;
        return all;
    };
    // What the listings show once the replica has what the primary has (within 5 s).
    auto settled = [&](const std::function<std::string()> &show, const std::string &wanted) {
        std::string now;
        for (int i = 0; i < 100 && (now = show()) != wanted; ++i) usleep(50000);
        return now;
    };
    const std::string before = listings();

    TempDir dir;
    std::string password = dir.write("admin.pw", sandbox_->password), dump = dir.path() + "/users.ldif";
    chmod(password.c_str(), 0600);
    const std::string primary = "ldap://" + std::string(kPrimaryHost) + ":" + std::to_string(sandbox_->port);
    RunOptions no_ldap_conf;
    no_ldap_conf.env["LDAPNOINIT"] = "1";
    RunResult dumped =
        run({"/bin/sh", "-c",
             "ldapsearch -LLL -o ldif-wrap=no -E pr=1000/noprompt -x -H \"$1\" -D \"$2\" -y \"$3\" -b \"$4\" "
             "'(|(objectClass=ztUser)(objectClass=ztLogicalToken)(objectClass=ztRawToken))' > \"$5\"",
             "sh", primary, kAdminDn, password, base_, dump},
            no_ldap_conf);
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_EQ(read_file(dump).find("entryUUID"), std::string::npos);

    for (const char *container : {"users", "logicalTokens", "rawTokens"}) {
        for (const auto &entry :
             primary_->values(std::string("ztName=") + container + "," + base_, "entryDN", LDAP_SCOPE_ONELEVEL))
            primary_->remove_tree(entry);
    }
    EXPECT_EQ(settled([&] { return ztuser({"-o"}).out; }, ""), "");

    RunResult loaded =
        run({"/usr/bin/ldapadd", "-x", "-H", primary, "-D", kAdminDn, "-y", password, "-f", dump}, no_ldap_conf);
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(settled(listings, before), before);
}

}  // namespace
}  // namespace zt::test
