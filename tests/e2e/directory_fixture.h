// directory_fixture.h - what the connection, executor and query tests share:
// the sandbox's coordinates, a log file to assert on, tool trees with their
// own configuration, an administrator session that bypasses the library,
// and a stale read-only server that never catches up with the primary.
#ifndef ZT_TESTS_DIRECTORY_FIXTURE_H
#define ZT_TESTS_DIRECTORY_FIXTURE_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <list>
#include <memory>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_private.h"
#include "test_support.h"
#include "utils.h"

namespace zt::test {

inline constexpr const char *kPrimaryHost = "127.0.0.2";
inline constexpr const char *kReplicaHost = "127.0.0.1";
inline constexpr const char *kSuffix = "o=ztdata";
inline constexpr const char *kAdminDn = "cn=admin,o=ztdata";
inline constexpr const char *kEtc = "/etc/opt/KRVXzt";

// The running sandbox of this test run.
struct Sandbox {
    std::string dir;
    std::string root;
    int port = 0;
    std::string password;  // the administrator's, read back from its file

    std::string config_path() const { return root + kEtc + "/ztadmin.conf"; }

    // Null when ZT_SANDBOX is not set (the test is then skipped).
    static const Sandbox *get() {
        static Sandbox *sandbox = load();
        return sandbox;
    }

private:
    static Sandbox *load() {
        std::string dir = sandbox_dir();
        if (dir.empty()) return nullptr;
        auto *s = new Sandbox;
        s->dir = dir;
        s->root = dir + "/root";
        s->port = std::atoi(read_file(dir + "/port").c_str());
        AdminStatus status = 0;
        char *clear = read_passwd_file((s->root + kEtc + "/ztadmin.pw").c_str(), &status);
        s->password = clear != nullptr ? clear : "";
        std::free(clear);
        return s;
    }
};

#define ZT_REQUIRE_SANDBOX()                                                   \
    const ::zt::test::Sandbox *sandbox = ::zt::test::Sandbox::get();           \
    if (sandbox == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";           \
    setenv("ZTADMIN_ROOT", sandbox->root.c_str(), 1)

// A fresh $ZTADMIN_LOG for one test; lines() gives the texts without their
// priority.
class LogFile {
public:
    LogFile() : path_(dir_.path() + "/ztadmin.log") { setenv("ZTADMIN_LOG", path_.c_str(), 1); }
    ~LogFile() { unsetenv("ZTADMIN_LOG"); }

    std::vector<std::string> lines() const {
        std::vector<std::string> texts;
        std::istringstream in(read_file(path_));
        for (std::string line; std::getline(in, line);) {
            size_t blank = line.find(' ');
            texts.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
        }
        return texts;
    }
    bool has(const std::string &text) const {
        for (const auto &line : lines()) {
            if (line == text) return true;
        }
        return false;
    }
    int count_prefix(const std::string &prefix) const {
        int n = 0;
        for (const auto &line : lines()) n += line.rfind(prefix, 0) == 0;
        return n;
    }
    std::string all() const { return read_file(path_); }
    const std::string &path() const { return path_; }
    void clear() const { std::ofstream(path_, std::ios::trunc); }

private:
    TempDir dir_;
    std::string path_;
};

// A tool tree of its own (for ZTADMIN_ROOT): a configuration file made from
// `keys`, an optional password file and fresh status DBM files.
class ToolTree {
public:
    // The sandbox's configuration keys with the given ones replaced; an
    // empty value drops the key.
    static std::map<std::string, std::string> sandbox_keys(const Sandbox &s,
                                                           std::map<std::string, std::string> changes = {}) {
        std::map<std::string, std::string> keys = {
            {"admin.server.name", kReplicaHost},
            {"admin.server.port", std::to_string(s.port)},
            {"admin.user.name", kAdminDn},
            {"admin.subtree", kSuffix},
            {"admin.server.authmech", "CRAM_MD5"},
        };
        for (auto &[k, v] : changes) keys[k] = v;
        return keys;
    }

    explicit ToolTree(const std::map<std::string, std::string> &keys, bool with_dbm = true) {
        std::string conf;
        for (const auto &[k, v] : keys) {
            if (!v.empty()) conf += k + "=" + v + "\n";
        }
        conf += "admin.dstatus.dbfile=" + dbm_path("dstatus") + "\n";
        conf += "admin.ustatus.dbfile=" + dbm_path("ustatus") + "\n";
        config_path_ = dir_.write(std::string(kEtc).substr(1) + "/ztadmin.conf", conf);
        if (with_dbm) {
            create_dbm("dstatus");
            create_dbm("ustatus");
        }
    }

    const std::string &root() const { return dir_.path(); }
    const std::string &config_path() const { return config_path_; }
    std::string password_path() const { return root() + kEtc + "/ztadmin.pw"; }
    std::string dbm_path(const std::string &name) const { return root() + "/var/" + name; }

    // Writes the password file holding `clear` (scrambled as the tools read it).
    void write_password(const std::string &clear) const {
        char *scrambled = scramble_text(clear.c_str());
        dir_.write(std::string(kEtc).substr(1) + "/ztadmin.pw", std::string(scrambled) + "\n");
        std::free(scrambled);
    }
    void write_raw_password_file(const std::string &content) const {
        dir_.write(std::string(kEtc).substr(1) + "/ztadmin.pw", content);
    }
    void create_dbm(const std::string &name) const {
        dir_.write("var/.keep", "");
        DBM *db = dbm_open(const_cast<char *>(dbm_path(name).c_str()), O_RDWR | O_CREAT, 0644);
        if (db != nullptr) dbm_close(db);
    }
    void use() const { setenv("ZTADMIN_ROOT", root().c_str(), 1); }

private:
    TempDir dir_;
    std::string config_path_;
};

// A session bound as the administrator with a simple bind, for setting up
// and inspecting entries behind the library's back.
class AdminSession {
public:
    AdminSession(const Sandbox &s, const std::string &host) {
        std::string uri = "ldap://" + host + ":" + std::to_string(s.port);
        if (ldap_initialize(&ld_, uri.c_str()) != LDAP_SUCCESS) return;
        int version = LDAP_VERSION3;
        ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
        berval cred{s.password.size(), const_cast<char *>(s.password.c_str())};
        bound_ = ldap_sasl_bind_s(ld_, kAdminDn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) ==
                 LDAP_SUCCESS;
    }
    ~AdminSession() {
        if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
    }
    AdminSession(const AdminSession &) = delete;
    AdminSession &operator=(const AdminSession &) = delete;

    bool bound() const { return bound_; }
    LDAP *get() const { return ld_; }

    // Adds an entry; attributes as (type, value) pairs.
    int add(const std::string &dn, const std::vector<std::pair<std::string, std::string>> &attrs) {
        std::map<std::string, std::vector<std::string>> grouped;
        std::vector<std::string> order;
        for (const auto &[t, v] : attrs) {
            if (!grouped.count(t)) order.push_back(t);
            grouped[t].push_back(v);
        }
        std::vector<LDAPMod> mods(order.size());
        std::vector<std::vector<char *>> values(order.size());
        std::vector<LDAPMod *> pointers;
        for (size_t i = 0; i < order.size(); ++i) {
            for (auto &v : grouped[order[i]]) values[i].push_back(v.data());
            values[i].push_back(nullptr);
            mods[i].mod_op = LDAP_MOD_ADD;
            mods[i].mod_type = order[i].data();
            mods[i].mod_values = values[i].data();
            pointers.push_back(&mods[i]);
        }
        pointers.push_back(nullptr);
        return ldap_add_ext_s(ld_, dn.c_str(), pointers.data(), nullptr, nullptr);
    }
    int add_container(const std::string &dn, const std::string &name) {
        return add(dn, {{"objectClass", "ztContainer"}, {"ztName", name}});
    }
    int replace(const std::string &dn, const std::string &type, const std::string &value) {
        std::string t = type, v = value;
        char *vals[] = {v.data(), nullptr};
        LDAPMod mod{LDAP_MOD_REPLACE, t.data(), {vals}};
        LDAPMod *mods[] = {&mod, nullptr};
        return ldap_modify_ext_s(ld_, dn.c_str(), mods, nullptr, nullptr);
    }
    int remove(const std::string &dn) { return ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr); }
    // Deletes the subtree below and including `dn`, deepest entries first.
    void remove_tree(const std::string &dn) {
        LDAPMessage *res = nullptr;
        char none[] = "1.1";
        char *attrs[] = {none, nullptr};
        if (ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=*)", attrs, 0, nullptr,
                              nullptr, nullptr, LDAP_NO_LIMIT, &res) == LDAP_SUCCESS) {
            for (LDAPMessage *e = ldap_first_entry(ld_, res); e; e = ldap_next_entry(ld_, e)) {
                char *child = ldap_get_dn(ld_, e);
                remove_tree(child);
                ldap_memfree(child);
            }
        }
        ldap_msgfree(res);
        remove(dn);
    }
    bool exists(const std::string &dn) const {
        LDAPMessage *res = nullptr;
        char none[] = "1.1";
        char *attrs[] = {none, nullptr};
        int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                                   nullptr, nullptr, LDAP_NO_LIMIT, &res);
        bool found = rc == LDAP_SUCCESS && ldap_count_entries(ld_, res) == 1;
        ldap_msgfree(res);
        return found;
    }
    // The values of `type` in the entry `dn`.
    std::vector<std::string> values(const std::string &dn, const std::string &type) const {
        std::vector<std::string> out;
        LDAPMessage *res = nullptr;
        std::string t = type;
        char *attrs[] = {t.data(), nullptr};
        if (ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                              nullptr, nullptr, LDAP_NO_LIMIT, &res) == LDAP_SUCCESS) {
            if (LDAPMessage *e = ldap_first_entry(ld_, res)) {
                if (berval **v = ldap_get_values_len(ld_, e, t.c_str())) {
                    for (berval **p = v; *p; ++p) out.emplace_back((*p)->bv_val, (*p)->bv_len);
                    ldap_value_free_len(v);
                }
            }
        }
        ldap_msgfree(res);
        return out;
    }
    // Waits up to `seconds` until the entry's presence is `present`.
    bool wait_exists(const std::string &dn, bool present, int seconds = 10) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (exists(dn) == present) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return exists(dn) == present;
    }

private:
    LDAP *ld_ = nullptr;
    bool bound_ = false;
};

// A name no other test process uses at the same time.
inline std::string unique_name(const std::string &stem) {
    static int serial = 0;
    return stem + "-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

// A read-only copy that never catches up: a slapd whose replication source
// does not exist, listening on an address of its own with the sandbox's
// port.  It holds only the root entry of three suffixes, each referring
// writes elsewhere:
//   o=ztdata  to the sandbox's primary (the write lands there, but never here);
//   o=selfref to itself (a primary that answers with a referral);
//   o=badref  to an "ldaps:" URL (no usable primary).
class StaleShadow {
public:
    explicit StaleShadow(const Sandbox &s) {
        pid_t me = getpid();
        address_ = "127.77." + std::to_string((me / 250) % 250) + "." + std::to_string(me % 250 + 2);
        write_config(s);
        std::string ldif = dir_.write("base.ldif", "dn: o=ztdata\nobjectClass: organization\no: ztdata\n");
        RunResult added = run({"/usr/sbin/slapadd", "-q", "-f", config_, "-b", kSuffix, "-l", ldif});
        if (added.status != 0) return;
        start(s.port);
    }
    ~StaleShadow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    StaleShadow(const StaleShadow &) = delete;
    StaleShadow &operator=(const StaleShadow &) = delete;

    bool running() const { return ready_; }
    const std::string &address() const { return address_; }

private:
    void write_config(const Sandbox &s) {
        std::string d = dir_.path();
        std::string referral_target[3] = {
            std::string("ldap://") + kPrimaryHost + ":" + std::to_string(s.port),
            "ldap://" + address_ + ":" + std::to_string(s.port),
            std::string("ldaps://") + kPrimaryHost + ":" + std::to_string(s.port),
        };
        const char *suffixes[3] = {"o=ztdata", "o=selfref", "o=badref"};
        std::string conf = "include /etc/ldap/schema/core.schema\n"
                           "include " + source_path("schema/ztadmin.schema") + "\n"
                           "pidfile " + d + "/slapd.pid\nargsfile " + d + "/slapd.args\n"
                           "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
                           "sizelimit unlimited\nallow bind_anon_dn update_anon\n"
                           "access to * by * read\n";
        for (int i = 0; i < 3; ++i) {
            std::string db = d + "/db" + std::to_string(i);
            dir_.write("db" + std::to_string(i) + "/.keep", "");
            conf += std::string("\ndatabase mdb\nsuffix \"") + suffixes[i] + "\"\n" +
                    "rootdn \"cn=admin," + suffixes[i] + "\"\nrootpw " + s.password + "\n" +
                    "directory " + db + "\nmaxsize 10485760\n" +
                    "syncrepl rid=00" + std::to_string(i + 1) +
                    " provider=ldap://127.0.0.2:1 type=refreshOnly interval=01:00:00:00"
                    " searchbase=\"" + suffixes[i] + "\" bindmethod=simple binddn=\"cn=nobody\""
                    " credentials=none retry=\"3600 +\"\n" +
                    "updateref " + referral_target[i] + "\n";
        }
        config_ = dir_.write("slapd.conf", conf);
    }

    void start(int port) {
        std::string url = "ldap://" + address_ + ":" + std::to_string(port) + "/";
        std::string log = dir_.path() + "/slapd.log";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            setsid();
            execl("/usr/sbin/slapd", "slapd", "-f", config_.c_str(), "-h", url.c_str(), "-d", "none",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !ready_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ready_ = answers(url);
        }
    }

    static bool answers(const std::string &url) {
        LDAP *ld = nullptr;
        if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS) return false;
        int version = LDAP_VERSION3;
        ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        LDAPMessage *res = nullptr;
        int rc = ldap_search_ext_s(ld, kSuffix, LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0, nullptr,
                                   nullptr, nullptr, LDAP_NO_LIMIT, &res);
        ldap_msgfree(res);
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return rc == LDAP_SUCCESS;
    }

    TempDir dir_;
    std::string address_;
    std::string config_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Runs `body` in a freshly started copy of the test program (the primary
// server's name is cached for the life of a process) and expects it to
// end with `status`.  What the child logs goes to `log`; the child re-runs
// the test up to this point, so state it needs must be made there again.
#define ZT_EXPECT_STATUS_IN_FRESH_PROCESS(log, status, body)                        \
    do {                                                                           \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                            \
        setenv("ZT_TEST_PARENT_LOG", (log).path().c_str(), 0);                     \
        EXPECT_EXIT(                                                               \
            {                                                                      \
                setenv("ZTADMIN_LOG", std::getenv("ZT_TEST_PARENT_LOG"), 1);       \
                _exit(-(body) & 0xff);                                             \
            },                                                                     \
            ::testing::ExitedWithCode(-(status) & 0xff), "");                      \
    } while (0)

// Releases a connection at the end of a scope.
struct ConnectionCloser {
    void operator()(AdminConfig *c) const { close_connection(c); }
};
using Connection = std::unique_ptr<AdminConfig, ConnectionCloser>;

// LDAPMod lists for the library's write calls, kept alive by the object.
class Mods {
public:
    Mods &add(int op, const std::string &type, std::vector<std::string> vals) {
        auto &slot = slots_.emplace_back();
        slot.type = type;
        slot.values = std::move(vals);
        for (auto &v : slot.values) slot.pointers.push_back(v.data());
        slot.pointers.push_back(nullptr);
        slot.mod.mod_op = op;
        slot.mod.mod_type = slot.type.data();
        slot.mod.mod_values = slot.pointers.data();
        return *this;
    }
    LDAPMod **get() {
        array_.clear();
        for (auto &s : slots_) array_.push_back(&s.mod);
        array_.push_back(nullptr);
        return array_.data();
    }

private:
    struct Slot {
        LDAPMod mod{};
        std::string type;
        std::vector<std::string> values;
        std::vector<char *> pointers;
    };
    std::list<Slot> slots_;
    std::vector<LDAPMod *> array_;
};

// A container entry's attributes for zt_addDsEntry.
inline Mods container_mods(const std::string &name) {
    Mods m;
    m.add(LDAP_MOD_ADD, "objectClass", {"ztContainer"}).add(LDAP_MOD_ADD, "ztName", {name});
    return m;
}

}  // namespace zt::test

#endif  // ZT_TESTS_DIRECTORY_FIXTURE_H
