// subtree_fixture.h - a private administration tree per test: its own
// subtree root with the four containers on the sandbox, a tool tree whose
// configuration names that root (with fresh status files), and a
// connection through it.  Entries are written straight to the primary and
// awaited on the replica, so every count and order the test sees is its own.
#ifndef ZT_TESTS_SUBTREE_FIXTURE_H
#define ZT_TESTS_SUBTREE_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory_fixture.h"

namespace zt::test {

using Attrs = std::vector<std::pair<std::string, std::string>>;

class SubtreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_ = Sandbox::get();
        if (sandbox_ == nullptr) GTEST_SKIP() << "ZT_SANDBOX is not set";
        primary_ = std::make_unique<AdminSession>(*sandbox_, kPrimaryHost);
        replica_ = std::make_unique<AdminSession>(*sandbox_, kReplicaHost);
        ASSERT_TRUE(primary_->bound());
        name_ = unique_name("tok2");
        root_ = "ztName=" + name_ + "," + kSuffix;
        ASSERT_EQ(primary_->add_container(root_, name_), LDAP_SUCCESS);
        for (const char *c : {"users", "logicalTokens", "rawTokens", "desktops"}) {
            ASSERT_EQ(primary_->add_container(std::string("ztName=") + c + "," + root_, c), LDAP_SUCCESS);
        }
        ASSERT_TRUE(replica_->wait_exists("ztName=desktops," + root_, true));
        tree_ = std::make_unique<ToolTree>(ToolTree::sandbox_keys(*sandbox_, {{"admin.subtree", root_}}));
        tree_->write_password(sandbox_->password);
        tree_->use();
        conn_.reset(open_connection(3, nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(conn_, nullptr);
        log_ = std::make_unique<LogFile>();
    }
    void TearDown() override {
        conn_.reset();
        log_.reset();
        if (primary_ && !root_.empty()) primary_->remove_tree(root_);
    }

    std::string dn(const std::string &id, const std::string &container) const {
        return "ztID=" + id + ",ztName=" + container + "," + root_;
    }
    // Adds an entry on the primary and waits until the replica has it.
    void put(const std::string &entry_dn, const Attrs &attrs) {
        ASSERT_EQ(primary_->add(entry_dn, attrs), LDAP_SUCCESS) << entry_dn;
        ASSERT_TRUE(replica_->wait_exists(entry_dn, true)) << entry_dn;
    }
    void put_raw(const std::string &id, Attrs extra = {}) {
        Attrs attrs = {{"objectClass", "ztRawToken"}, {"ztID", id}, {"ztTokenType", "user"}};
        attrs.insert(attrs.end(), extra.begin(), extra.end());
        put(dn(id, "rawTokens"), attrs);
    }
    void put_logical(const std::string &id, const std::vector<std::string> &raw_ids, Attrs extra = {}) {
        Attrs attrs = {{"objectClass", "ztLogicalToken"}, {"ztID", id}, {"ztSessionType", "default"}};
        for (const auto &r : raw_ids) attrs.emplace_back("ztRawTokenIDs", r);
        attrs.insert(attrs.end(), extra.begin(), extra.end());
        put(dn(id, "logicalTokens"), attrs);
    }
    void put_user(const std::string &id, const std::string &name, const std::vector<std::string> &lt_ids,
                  Attrs extra = {}) {
        Attrs attrs = {{"objectClass", "ztUser"}, {"ztID", id}, {"ztName", name}};
        for (const auto &l : lt_ids) attrs.emplace_back("ztLogicalTokenIDs", l);
        attrs.insert(attrs.end(), extra.begin(), extra.end());
        put(dn(id, "users"), attrs);
    }
    void put_desktop(const std::string &id, Attrs extra = {}) {
        Attrs attrs = {{"objectClass", "ztDesktop"}, {"ztID", id}};
        attrs.insert(attrs.end(), extra.begin(), extra.end());
        put(dn(id, "desktops"), attrs);
    }
    // Waits until the replica shows `value` among the values of `attr`
    // (or, with `present` false, no longer shows it).
    bool wait_value(const std::string &entry_dn, const std::string &attr, const std::string &value,
                    bool present = true) const {
        for (int i = 0; i < 5000; ++i) {
            auto v = replica_->values(entry_dn, attr);
            if ((std::find(v.begin(), v.end(), value) != v.end()) == present) return true;
            usleep(2000);
        }
        return false;
    }

    const Sandbox *sandbox_ = nullptr;
    std::unique_ptr<AdminSession> primary_, replica_;
    std::string name_, root_;
    std::unique_ptr<ToolTree> tree_;
    std::unique_ptr<LogFile> log_;
    Connection conn_;
};

// Owning pointers for the records the library hands out.
template <typename T, void (*Free)(T *)>
struct RecordFree {
    void operator()(T *p) const { Free(p); }
};
using UserPtr = std::unique_ptr<User, RecordFree<User, free_user>>;
using LogicalTokenPtr = std::unique_ptr<LogicalToken, RecordFree<LogicalToken, free_logical_token>>;
using RawTokenPtr = std::unique_ptr<RawToken, RecordFree<RawToken, free_raw_token>>;
using DesktopPtr = std::unique_ptr<Desktop, RecordFree<Desktop, free_desktop>>;
using XconfigPtr = std::unique_ptr<Xconfig, RecordFree<Xconfig, zt_freeXconf>>;

struct TextFree {
    void operator()(char *s) const { std::free(s); }
};
using Text = std::unique_ptr<char, TextFree>;

// The strings of a null-terminated array, in order.
inline std::vector<std::string> strings_of(char *const *array) {
    std::vector<std::string> out;
    for (char *const *s = array; s != nullptr && *s != nullptr; ++s) out.emplace_back(*s);
    return out;
}
// The same sorted; the array is freed.
inline std::vector<std::string> take_sorted(char **array) {
    std::vector<std::string> out = strings_of(array);
    zt_free_array(array);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace zt::test

#endif  // ZT_TESTS_SUBTREE_FIXTURE_H
