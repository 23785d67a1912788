/* SPDX-License-Identifier: GPL-3.0-or-later */
// directory_fixture.h - what the directory tests share: the sandbox, the log mirror, tool trees of their own, an
// administrator session that bypasses the library, and a stale read-only server that never catches up.
#ifndef ZT_TESTS_DIRECTORY_FIXTURE_H
#define ZT_TESTS_DIRECTORY_FIXTURE_H

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>

#include "admin_private.h"
#include "records_common.h"
#include "test_support.h"

namespace zt::test {

inline constexpr const char *kPrimaryHost = "127.0.0.2";
inline constexpr const char *kReplicaHost = "127.0.0.1";
inline constexpr const char *kSuffix = "o=ztdata";
inline constexpr const char *kAdminDn = "cn=admin,o=ztdata";
inline constexpr const char *kEtc = "/etc/opt/KRVXzt";

// The running sandbox of this test run; null when ZT_SANDBOX is not set.
struct Sandbox {
    std::string root;
    int port = 0;
    std::string password;  // the administrator's, read back from its file

    static const Sandbox *get() {
        static const Sandbox *sandbox = []() -> Sandbox * {
            std::string dir = sandbox_dir();
            if (dir.empty()) return nullptr;
            AdminStatus status = 0;
            char *clear = read_passwd_file((dir + "/root" + kEtc + "/ztadmin.pw").c_str(), &status);
            auto *s = new Sandbox{dir + "/root", std::atoi(read_file(dir + "/port").c_str()), clear ? clear : ""};
            std::free(clear);
            return s;
        }();
        return sandbox;
    }
};

// A tree for ZTADMIN_ROOT: a configuration of `keys`, the status files named.
class ToolTree {
public:
    // The sandbox's configuration keys, `changes` replacing ("" drops).
    static std::map<std::string, std::string> sandbox_keys(const Sandbox &s,
                                                           std::map<std::string, std::string> changes = {}) {
        std::map<std::string, std::string> keys = {
            {"admin.server.name", kReplicaHost}, {"admin.server.port", std::to_string(s.port)},
            {"admin.user.name", kAdminDn},       {"admin.subtree", kSuffix},
            {"admin.server.authmech", "CRAM_MD5"}};
        for (auto &[k, v] : changes) keys[k] = v;
        return keys;
    }

    explicit ToolTree(const std::map<std::string, std::string> &keys,
                      const std::vector<std::string> &dbms = {"dstatus", "ustatus"}) {
        std::string conf = "admin.dstatus.dbfile=" + dbm_path("dstatus") + "\nadmin.ustatus.dbfile=" +
                           dbm_path("ustatus") + "\n";
        for (const auto &[k, v] : keys) conf += v.empty() ? "" : k + "=" + v + "\n";
        dir_.write(std::string(kEtc).substr(1) + "/ztadmin.conf", conf);
        dir_.write("var/.keep", "");
        for (const auto &name : dbms) {
            if (DBM *db = dbm_open(const_cast<char *>(dbm_path(name).c_str()), O_RDWR | O_CREAT, 0644)) dbm_close(db);
        }
    }

    const std::string &root() const { return dir_.path(); }
    std::string config_path() const { return root() + kEtc + "/ztadmin.conf"; }
    std::string dbm_path(const std::string &name) const { return root() + "/var/" + name; }
    // Writes the password file holding `clear` (scrambled as the tools read it), mode 0600.
    void write_password(const std::string &clear) const {
        char *scrambled = scramble_text(clear.c_str());
        dir_.write(std::string(kEtc).substr(1) + "/ztadmin.pw", std::string(scrambled) + "\n", 0600);
        std::free(scrambled);
    }
    void use() const { setenv("ZTADMIN_ROOT", root().c_str(), 1); }
    const TempDir &dir() const { return dir_; }

private:
    TempDir dir_;
};

inline zt::ModList container_mods(const std::string &name) {
    zt::ModList m;
    m.push(LDAP_MOD_ADD, "objectClass", {"ztContainer"});
    m.push(LDAP_MOD_ADD, "ztName", {name});
    return m;
}

// The administrator's own session, to set up and inspect entries.
class AdminSession {
public:
    AdminSession(const Sandbox &s, const std::string &host) {
        berval cred{s.password.size(), const_cast<char *>(s.password.c_str())};
        int version = LDAP_VERSION3;
        bound_ = ldap_initialize(&ld_, ("ldap://" + host + ":" + std::to_string(s.port)).c_str()) == LDAP_SUCCESS &&
                 ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_SUCCESS &&
                 ldap_sasl_bind_s(ld_, kAdminDn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) == LDAP_SUCCESS;
    }
    ~AdminSession() { ldap_unbind_ext_s(ld_, nullptr, nullptr); }
    AdminSession(const AdminSession &) = delete;
    AdminSession &operator=(const AdminSession &) = delete;

    bool bound() const { return bound_; }
    LDAP *get() const { return ld_; }

    // Adds an entry; attributes as (type, value) pairs, a type may repeat.
    int add(const std::string &dn, const std::vector<std::pair<std::string, std::string>> &attrs) {
        std::map<std::string, Strings> grouped;
        for (const auto &[t, v] : attrs) grouped[t].push_back(v);
        zt::ModList mods;
        for (auto &[t, values] : grouped) mods.push(LDAP_MOD_ADD, t.c_str(), values);
        return ldap_add_ext_s(ld_, dn.c_str(), mods.mods(), nullptr, nullptr);
    }
    int add_container(const std::string &dn, const std::string &name) {
        return add(dn, {{"objectClass", "ztContainer"}, {"ztName", name}});
    }
    // The values of `type` in the entries that a search of `scope` at `dn` finds.
    std::vector<std::string> values(const std::string &dn, std::string type, int scope = LDAP_SCOPE_BASE) const {
        std::vector<std::string> out;
        LDAPMessage *res = nullptr;
        char *attrs[] = {type.data(), nullptr};
        ldap_search_ext_s(ld_, dn.c_str(), scope, "(objectClass=*)", attrs, 0, nullptr, nullptr, nullptr,
                          LDAP_NO_LIMIT, &res);
        for (LDAPMessage *e = res ? ldap_first_entry(ld_, res) : nullptr; e != nullptr; e = ldap_next_entry(ld_, e)) {
            berval **v = ldap_get_values_len(ld_, e, type.c_str());
            for (berval **p = v; p != nullptr && *p != nullptr; ++p) out.emplace_back((*p)->bv_val, (*p)->bv_len);
            ldap_value_free_len(v);
        }
        ldap_msgfree(res);
        return out;
    }
    bool exists(const std::string &dn) const { return !values(dn, "objectClass").empty(); }
    // The primary's cn=Monitor counter of connections `kind` ("Total": accepted so far, "Current": open now).
    int connections(const std::string &kind = "Total") const {
        Strings v = values("cn=" + kind + ",cn=Connections,cn=Monitor", "monitorCounter");
        return v.empty() ? -1 : std::atoi(v[0].c_str());
    }
    // Waits up to `seconds` until the entry's presence is `present`.
    bool wait_exists(const std::string &dn, bool present, int seconds = 10) const {
        for (int i = 0; i < seconds * 500 && exists(dn) != present; ++i) usleep(2000);
        return exists(dn) == present;
    }
    // Deletes the subtree below and including `dn`, deepest entries first.
    void remove_tree(const std::string &dn) {
        for (const auto &child : values(dn, "entryDN", LDAP_SCOPE_ONELEVEL)) remove_tree(child);
        ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr);
    }

private:
    LDAP *ld_ = nullptr;
    bool bound_ = false;
};

// A name no other test process uses.
inline std::string unique_name(const std::string &stem) {
    static int serial = 0;
    return stem + "-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

// A read-only slapd with an unreachable replication source, on an address of its own.  It holds only the entry
// o=ztdata and what `ldif` adds below it; writes are referred below o=ztdata to the sandbox's primary (they land there,
// never here), below o=selfref to itself, below o=badref to an "ldaps:" URL.
class StaleShadow {
public:
    explicit StaleShadow(const Sandbox &s, const std::string &ldif = "") {
        address_ = "127.77." + std::to_string(getpid() / 250 % 250) + "." + std::to_string(getpid() % 250 + 2);
        std::string port = ":" + std::to_string(s.port);
        std::string conf = "include /etc/ldap/schema/core.schema\ninclude " + source_path("schema/ztadmin.schema") +
                           "\nmodulepath /usr/lib/ldap\nmoduleload back_mdb\naccess to * by * read\n";
        const std::pair<std::string, std::string> dbs[] = {{"o=ztdata", "ldap://" + std::string(kPrimaryHost) + port},
                                                           {"o=selfref", "ldap://" + address_ + port},
                                                           {"o=badref", "ldaps://" + std::string(kPrimaryHost) + port}};
        int rid = 0;
        for (const auto &[suffix, referral] : dbs) {
            dir_.write(suffix + "/.keep", "");
            conf += "database mdb\nsuffix \"" + suffix + "\"\nrootdn \"cn=admin," + suffix + "\"\nrootpw " +
                    s.password + "\ndirectory " + dir_.path() + "/" + suffix + "\nsyncrepl rid=" +
                    std::to_string(++rid) + " provider=ldap://127.0.0.2:1 searchbase=\"" + suffix +
                    "\" retry=\"3600 +\"\nupdateref " + referral + "\n";
        }
        std::string config = dir_.write("slapd.conf", conf);
        std::string base = dir_.write("base.ldif", "dn: o=ztdata\nobjectClass: organization\no: ztdata\n\n" + ldif);
        if (run({"/usr/sbin/slapadd", "-q", "-f", config, "-b", kSuffix, "-l", base}).status != 0) return;
        std::string url = "ldap://" + address_ + port + "/";
        if ((pid_ = fork()) == 0) {
            execl("/usr/sbin/slapd", "slapd", "-f", config.c_str(), "-h", url.c_str(), "-d", "0", nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100 && !running_; ++i) {
            usleep(100000);
            running_ = AdminSession(s, address_).bound();
        }
    }
    ~StaleShadow() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
    }
    StaleShadow(const StaleShadow &) = delete;
    StaleShadow &operator=(const StaleShadow &) = delete;

    bool running() const { return running_; }
    const std::string &address() const { return address_; }
    pid_t pid() const { return pid_; }

private:
    TempDir dir_;
    std::string address_;
    pid_t pid_ = -1;
    bool running_ = false;
};

// The state letter of process `pid` ("T" once stopped).
inline std::string process_state(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(") ");
    return end == std::string::npos ? "" : stat.substr(end + 2, 1);
}

// Stops a server for the length of a scope (returning once it has stopped); it runs again afterwards whatever the
// test did.
class Stopped {
public:
    explicit Stopped(pid_t pid) : pid_(pid) {
        kill(pid_, SIGSTOP);
        for (int i = 0; i < 200 && process_state(pid_) != "T"; ++i) usleep(5000);
    }
    ~Stopped() { kill(pid_, SIGCONT); }
    Stopped(const Stopped &) = delete;
    Stopped &operator=(const Stopped &) = delete;

private:
    pid_t pid_;
};

// Releases a connection at the end of a scope.
struct ConnectionCloser {
    void operator()(AdminConfig *c) const { close_connection(c); }
};
using Connection = std::unique_ptr<AdminConfig, ConnectionCloser>;

// A container of its own below the suffix (removed at the end) that is the
// subtree of the test's connection, sessions on both servers, the log.
class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        primary_ = std::make_unique<AdminSession>(*sandbox_, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*sandbox_, kReplicaHost);
        base_ = add(unique_name("dir"), kSuffix);
        tree_ = std::make_unique<ToolTree>(ToolTree::sandbox_keys(*sandbox_, {{"admin.subtree", base_}}));
        tree_->write_password(sandbox_->password);
        tree_->use();
        conn_.reset(open_connection(3, nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(conn_, nullptr);
        log_ = std::make_unique<LogFile>();
    }
    void TearDown() override {
        conn_.reset();
        if (primary_ && !base_.empty()) primary_->remove_tree(base_);
        unsetenv("ZTADMIN_ROOT");
    }
    // Adds the container `name` below `parent`; waits until the replica has it.
    std::string add(const std::string &name, const std::string &parent) {
        std::string dn = "ztName=" + zt::dn_escape(name) + "," + parent;
        EXPECT_EQ(primary_->add_container(dn, name), LDAP_SUCCESS) << dn;
        EXPECT_TRUE(replica_->wait_exists(dn, true));
        return dn;
    }
    // A connection (level 2, simple bind, the test's subtree, further `keys`)
    // whose configured server is a stale server of its own (holding `ldif`),
    // stale_; null if none.
    Connection connect_stale(std::map<std::string, std::string> keys = {}, const std::string &ldif = "") {
        stale_ = std::make_unique<StaleShadow>(*sandbox_, ldif);
        if (!stale_->running()) return nullptr;
        keys.insert({{"admin.server.name", stale_->address()}, {"admin.server.authmech", "SIMPLE"},
                     {"admin.subtree", base_}});
        stale_tree_ = std::make_unique<ToolTree>(ToolTree::sandbox_keys(*sandbox_, keys));
        return Connection(
            open_connection(2, nullptr, sandbox_->password.c_str(), stale_tree_->config_path().c_str(), nullptr));
    }

    const Sandbox *sandbox_ = nullptr;
    std::unique_ptr<AdminSession> primary_, replica_;
    std::string base_;
    std::unique_ptr<ToolTree> tree_, stale_tree_;
    std::unique_ptr<StaleShadow> stale_;
    Connection conn_;
    std::unique_ptr<LogFile> log_;
};

// `text` with each key of `values` (an "@NAME@") replaced by its value.
inline std::string replaced(std::string text, const std::map<std::string, std::string> &values) {
    for (const auto &[from, to] : values) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

// An expected text kept in tests/e2e/golden/, with `values` in place of their keys.
inline std::string golden(const std::string &name, const std::map<std::string, std::string> &values = {}) {
    return replaced(read_file(source_path("tests/e2e/golden/" + name)), values);
}

// The lines of `text`, without their line ends.
inline Strings lines_of(const std::string &text) {
    Strings lines;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// Options that run a program as the user "nobody".
inline RunOptions as_nobody() {
    RunOptions options;
    options.unprivileged = true;
    return options;
}

}  // namespace zt::test

#endif  // ZT_TESTS_DIRECTORY_FIXTURE_H
