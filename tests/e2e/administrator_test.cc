// SPDX-License-Identifier: GPL-3.0-or-later
// administrator_test.cc - setting up, diagnosing and backing up an installation, end to end against the sandbox:
// `ztadmin check` on a good tree and on each fault, `ztadmin init` into an empty root, and the LDIF backup of the
// users with OpenLDAP's own tools.
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "directory_fixture.h"
#include "standin_daemon.h"

namespace zt::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::string kConf = std::string(kEtc) + "/ztadmin.conf";
const std::string kPw = std::string(kEtc) + "/ztadmin.pw";
const std::string kDsConf = std::string(kEtc) + "/qmds/current/ztdsd.conf";

std::string replaced(std::string text, const std::map<std::string, std::string> &values) {
    for (const auto &[from, to] : values) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

bool has_line_starting(const std::string &text, const std::string &start) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(start)) return true;
    }
    return false;
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
    RunResult r = ztadmin({"check"}, tree->root());
    EXPECT_EQ(r.out,
              replaced(read_file(source_path("tests/e2e/golden/ztadmin_check.txt")),
                       {{"@ROOT@", tree->root()}, {"@PORT@", std::to_string(sandbox_->port)}, {"@BASE@", base_}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ztadmin({"check", "--quiet"}, tree->root()).out, "");
    // Anyone else checks what their own runs need: no password file, an anonymous bind, read-only status files.
    RunOptions as_nobody;
    as_nobody.unprivileged = true;
    RunResult user = ztadmin({"check"}, tree->root(), as_nobody);
    EXPECT_EQ(user.status, 0) << user.out;
    const std::string root = tree->root(), port = std::to_string(sandbox_->port);
    for (const std::string &line : {"ok      password file " + root + kPw + ": not read: unprivileged runs bind "
                                    "anonymously\n",
                                    "ok      user status file " + root + "/var/ustatus: opens read-only\n",
                                    "ok      bind as cn=anonymous at 127.0.0.1 port " + port + ": accepted\n"}) {
        EXPECT_NE(user.out.find(line), std::string::npos) << line << user.out;
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
    const std::string manager_warnings =
        "warning authentication manager at 127.0.0.1 port 7010: open_socket(): Could not connect - Connection refused; "
        "get_gstatus(): Could not open socket to 127.0.0.1:7010; logged-in listings and token readers need it, the "
        "directory commands do not\n"
        "warning session manager at 127.0.0.1 port 7007: open_socket(): Could not connect - Connection refused; "
        "get_smstatus(): Could not open socket to 127.0.0.1:7007; the directory commands do not need it\n";
    // The line that names the fault begins with `line` ("" for none: only the managers warn); a warning alone
    // leaves the status 0.
    struct Fault {
        std::map<std::string, std::string> keys;
        Spoil spoil;
        std::string line;
    } faults[] = {
        {{}, {}, ""},
        {{}, removed(kConf), "FAILED  configuration file @ROOT@" + kConf + ": No such file or directory"},
        {{}, [](const ToolTree &t) { fs::remove(t.config_path()), fs::create_directory(t.config_path()); },
         "FAILED  configuration file @ROOT@" + kConf + ": not a regular file"},
        {{}, chmod_to(kConf, 0664), "FAILED  configuration file @ROOT@" + kConf + ": is writable by group or "
                                    "others (owner uid 0, mode 0664)"},
        {{{"admin.subtree", ""}}, {}, "FAILED  configuration key admin.subtree: missing"},
        {{{"admin.server.port", "389x"}}, {},
         "FAILED  configuration key admin.server.port: \"389x\" is not a port number (1 to 65535)"},
        {{{"admin.server.tls", "startls"}}, {},
         "FAILED  configuration key admin.server.tls: \"startls\" is neither none nor starttls"},
        {{{"admin.server.tsl", "starttls"}}, {}, "warning configuration key admin.server.tsl: not a key ztuser reads"},
        {{}, removed(kPw), "FAILED  password file @ROOT@" + kPw + ": No such file or directory"},
        {{}, chmod_to(kPw, 0640), "FAILED  password file @ROOT@" + kPw + ": is readable by group or others (owner uid 0, "
                                  "mode 0640)"},
        {{}, chmod_to(kPw, 0400), "warning password file @ROOT@" + kPw + ": mode 0400, expected 0600"},
        {{}, [](const ToolTree &t) { chown((t.root() + kPw).c_str(), 65534, 65534); },
         "FAILED  password file @ROOT@" + kPw + ": is not owned by root (owner uid 65534, mode 0600)"},
        {{}, file(kPw, " \nsecond line\n", 0600), "FAILED  password file @ROOT@" + kPw + ": its first line is empty"},
        {{}, [](const ToolTree &t) { t.write_password("wrong"); },
         "FAILED  bind as cn=admin,o=ztdata at 127.0.0.1 port " + port +
             ": open_connection(): Could not bind to DS server 127.0.0.1 - Invalid credentials"},
        {{}, removed("/var/ustatus.pag"), "FAILED  user status file @ROOT@/var/ustatus: No such file or directory"},
        {{}, removed(kDsConf), "FAILED  data-store configuration file @ROOT@" + kDsConf + ": No such file"},
        {{}, file(kDsConf, "database mdb\nsuffix\n"), "FAILED  data-store configuration file @ROOT@" + kDsConf +
             ": read_ds_config(): [line 2] missing dn in \"suffix <dn>\" line in @ROOT@" + kDsConf + " file."},
        {{}, file(kDsConf, "database mdb\nsuffix o=other\n"),
         "FAILED  primary server: no database with the suffix o=ztdata in @ROOT@" + kDsConf},
        {{}, file(kDsConf, std::regex_replace(ds, std::regex(":" + port), ":1")),
         "FAILED  primary server 127.0.0.2 port 1: zt_pingDShost(): internal socket error 111 (Connection refused)"},
        {{{"admin.server.name", "nohost.invalid"}}, {}, "FAILED  directory server nohost.invalid: does not resolve ("},
        {{{"admin.server.port", "1"}}, {}, "FAILED  directory server 127.0.0.1 port 1: Connection refused"},
        {{{"admin.server.tls", "starttls"}}, {}, "FAILED  StartTLS with 127.0.0.1 port " + port +
             ": open_connection(): StartTLS with DS server 127.0.0.1 failed - "},
        {{{"admin.server.port", silent_port}}, {}, "FAILED  bind as cn=admin,o=ztdata at 127.0.0.1 port " +
             silent_port + ": await_result(): DS server 127.0.0.1:" + silent_port +
             " did not answer the bind of (cn=admin,o=ztdata) within 10 seconds"},
        {{{"admin.subtree", partial}}, {}, "FAILED  entry ztName=rawTokens, " + partial + ": No such object"},
        {{}, removed("/opt/KRVXzt/sbin/ztpolicy"), "warning policy tool @ROOT@/opt/KRVXzt/sbin/ztpolicy: Error "
                                                 "obtaining local policy! policy tool failed"},
    };
    for (const Fault &f : faults) {
        auto tree = good_tree(f.keys);
        if (f.spoil) f.spoil(*tree);
        std::string line = replaced(f.line, {{"@ROOT@", tree->root()}});
        SCOPED_TRACE(line);
        RunResult r = ztadmin({"check", "--quiet"}, tree->root());
        EXPECT_EQ(r.status, f.line.starts_with("FAILED") ? 1 : 0) << r.out;
        if (line.empty()) {
            EXPECT_EQ(r.out, manager_warnings);
        } else {
            EXPECT_TRUE(has_line_starting(r.out, line)) << r.out;
        }
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
    EXPECT_EQ(read_file(r + kConf),
              "# Administration configuration, written by ztadmin init.\n# Every key is described in " ZT_INSTALL_PREFIX
              "/share/ztadmin/ztadmin.conf.example.\nadmin.server.name=127.0.0.1\nadmin.server.port=" +
                  std::to_string(sandbox_->port) + "\nadmin.user.name=cn=admin,o=ztdata\nadmin.subtree=" + base_ +
                  "\nadmin.dstatus.dbfile=" + r + "/var/opt/KRVXzt/dstatus\nadmin.ustatus.dbfile=" + r +
                  "/var/opt/KRVXzt/ustatus\nadmin.server.authmech=CRAM_MD5\nadmin.server.tls=none\n");
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
    EXPECT_EQ(again.err, "ztadmin init: " + r + kConf + " exists; --force replaces it\nztadmin init: " + r + kPw +
                             " exists; --force replaces it\n");
    EXPECT_EQ(again.status, 1);
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
