// records_fixture.h - what the record tests share: a connection to the
// sandbox (configured server = the replica) with status files of its own, an
// administrator's session on the primary to set up and inspect entries, the
// log mirror, and IDs no other test process uses.
#ifndef ZT_RECORDS_FIXTURE_H
#define ZT_RECORDS_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_private.h"
#include "directory_fixture.h"
#include "test_support.h"
#include "utils.h"

namespace zt::test {

inline constexpr const char *kUsers = "ztName=users";
inline constexpr const char *kLogical = "ztName=logicalTokens";
inline constexpr const char *kRaw = "ztName=rawTokens";

// The sandbox's tool tree with status files of its own, so that what these
// tests store and delete there meets no other process.
class PrivateTree {
public:
    explicit PrivateTree(const Sandbox &s) {
        const std::string etc = std::string(kEtc).substr(1);
        std::string conf = read_file(s.config_path());
        std::string rewritten;
        for (size_t at = 0; at < conf.size();) {
            size_t end = conf.find('\n', at);
            std::string line = conf.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? conf.size() : end + 1;
            if (line.rfind("admin.ustatus.dbfile=", 0) == 0 || line.rfind("admin.dstatus.dbfile=", 0) == 0) continue;
            rewritten += line + "\n";
        }
        rewritten += "admin.ustatus.dbfile=" + dbm_path("ustatus") + "\n";
        rewritten += "admin.dstatus.dbfile=" + dbm_path("dstatus") + "\n";
        dir_.write(etc + "/ztadmin.conf", rewritten);
        dir_.write(etc + "/ztadmin.pw", read_file(s.root + kEtc + "/ztadmin.pw"));
        dir_.write(etc + "/qmds/current/ztdsd.conf", read_file(s.root + kEtc + "/qmds/current/ztdsd.conf"));
        dir_.write("var/.keep", "");
        for (const char *name : {"ustatus", "dstatus"}) {
            DBM *db = dbm_open(const_cast<char *>(dbm_path(name).c_str()), O_RDWR | O_CREAT, 0644);
            if (db != nullptr) dbm_close(db);
        }
    }
    const std::string &root() const { return dir_.path(); }
    std::string dbm_path(const std::string &name) const { return dir_.path() + "/var/" + name; }

private:
    TempDir dir_;
};

// Compact DN of an entry in one of the record containers.
inline std::string dn_of(const char *container, const std::string &id) {
    return "ztID=" + id + "," + container + "," + kSuffix;
}

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        // Unseeded, every process draws the same user IDs: tests running in
        // parallel (or one after another in one process) within one second
        // would race for the same ID.
        srandom(std::random_device{}());
        tree_ = std::make_unique<PrivateTree>(*sandbox_);
        setenv("ZTADMIN_ROOT", tree_->root().c_str(), 1);
        log_ = std::make_unique<LogFile>();
        AdminStatus status = 0;
        conn_ = open_connection(3, nullptr, nullptr, nullptr, &status);
        ASSERT_NE(nullptr, conn_) << "open_connection: " << status << "\n" << log_->all();
        primary_ = std::make_unique<AdminSession>(*sandbox_, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*sandbox_, kReplicaHost);
        ASSERT_TRUE(primary_->bound());
        ASSERT_TRUE(replica_->bound());
        log_->clear();
    }
    void TearDown() override {
        if (conn_ != nullptr) close_connection(conn_);
        unsetenv("ZTADMIN_ROOT");
    }

    // An ID (with a period, as token IDs need) that no other test uses.
    static std::string uid(const std::string &stem) { return stem + "." + unique_name("rec"); }

    bool on_primary(const char *container, const std::string &id) const {
        return primary_->exists(dn_of(container, id));
    }
    std::vector<std::string> values(const char *container, const std::string &id, const std::string &type) const {
        std::vector<std::string> v = primary_->values(dn_of(container, id), type);
        std::sort(v.begin(), v.end());
        return v;
    }
    std::string value(const char *container, const std::string &id, const std::string &type) const {
        std::vector<std::string> v = values(container, id, type);
        return v.empty() ? "<absent>" : v.front();
    }
    // Every attribute type the entry holds on the primary, lower-cased and sorted.
    std::vector<std::string> types(const char *container, const std::string &id) const {
        std::vector<std::string> out;
        LDAPMessage *res = nullptr;
        if (ldap_search_ext_s(primary_->get(), dn_of(container, id).c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                              nullptr, 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &res) == LDAP_SUCCESS) {
            if (LDAPMessage *e = ldap_first_entry(primary_->get(), res)) {
                BerElement *ber = nullptr;
                for (char *a = ldap_first_attribute(primary_->get(), e, &ber); a != nullptr;
                     a = ldap_next_attribute(primary_->get(), e, ber)) {
                    std::string t = a;
                    std::transform(t.begin(), t.end(), t.begin(), ::tolower);
                    out.push_back(t);
                    ldap_memfree(a);
                }
                ber_free(ber, 0);
            }
        }
        ldap_msgfree(res);
        std::sort(out.begin(), out.end());
        return out;
    }
    // Waits until the configured server (the replica) shows the entry.
    void await_replica(const char *container, const std::string &id, bool present = true) const {
        ASSERT_TRUE(replica_->wait_exists(dn_of(container, id), present)) << id;
    }

    // Waits until the replica holds the same values of `type` as the primary.
    void await_same(const char *container, const std::string &id, const std::string &type) const {
        std::string dn = dn_of(container, id);
        auto sorted = [&](const AdminSession &s) {
            std::vector<std::string> v = s.values(dn, type);
            std::sort(v.begin(), v.end());
            return v;
        };
        for (int i = 0; i < 2500 && sorted(*replica_) != sorted(*primary_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(sorted(*primary_), sorted(*replica_)) << dn << " " << type;
    }

    // Entries made behind the library's back, on the primary, then awaited on the replica.
    void make_raw(const std::string &id) {
        ASSERT_EQ(LDAP_SUCCESS, primary_->add(dn_of(kRaw, id), {{"objectClass", "ztRawToken"}, {"ztID", id}}));
        await_replica(kRaw, id);
    }
    void make_logical(const std::string &id, const std::vector<std::string> &raw_ids) {
        std::vector<std::pair<std::string, std::string>> attrs = {{"objectClass", "ztLogicalToken"}, {"ztID", id}};
        for (const auto &r : raw_ids) attrs.emplace_back("ztRawTokenIDs", r);
        ASSERT_EQ(LDAP_SUCCESS, primary_->add(dn_of(kLogical, id), attrs));
        await_replica(kLogical, id);
    }
    void make_user(const std::string &id, const std::string &name, const std::vector<std::string> &lt_ids) {
        std::vector<std::pair<std::string, std::string>> attrs = {
            {"objectClass", "ztUser"}, {"ztID", id}, {"ztName", name}};
        for (const auto &l : lt_ids) attrs.emplace_back("ztLogicalTokenIDs", l);
        ASSERT_EQ(LDAP_SUCCESS, primary_->add(dn_of(kUsers, id), attrs));
        await_replica(kUsers, id);
    }

    // The log lines of the administration log ("user : ...") in order.
    std::vector<std::string> user_log() const {
        std::vector<std::string> out;
        for (const auto &line : log_->lines())
            if (line.rfind("user : ", 0) == 0) out.push_back(line.substr(7));
        return out;
    }

    const Sandbox *sandbox_ = nullptr;
    std::unique_ptr<PrivateTree> tree_;
    std::unique_ptr<LogFile> log_;
    AdminConfig *conn_ = nullptr;
    std::unique_ptr<AdminSession> primary_;
    std::unique_ptr<AdminSession> replica_;
};

using Strings = std::vector<std::string>;

}  // namespace zt::test

#endif  // ZT_RECORDS_FIXTURE_H
