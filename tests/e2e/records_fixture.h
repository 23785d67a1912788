/* SPDX-License-Identifier: GPL-3.0-or-later */
// records_fixture.h - what the record tests share: a private subtree with its four containers on the sandbox, a tool
// tree naming it (fresh status files), a connection through it, and entries written and read behind its back.
#ifndef ZT_TESTS_RECORDS_FIXTURE_H
#define ZT_TESTS_RECORDS_FIXTURE_H

#include "directory_fixture.h"

namespace zt::test {

using Attrs = std::vector<std::pair<std::string, std::string>>;

template <auto Free>
struct Freer {
    void operator()(auto *p) const { Free(p); }
};
using UserPtr = std::unique_ptr<User, Freer<free_user>>;
using DesktopPtr = std::unique_ptr<Desktop, Freer<free_desktop>>;
using XconfigPtr = std::unique_ptr<Xconfig, Freer<zt_freeXconf>>;

// A configuration for `token_id` with a resolution and (unless null) the XKB switch.
inline XconfigPtr xconfig_for(const char *token_id, const char *resolution, const char *xkb) {
    XconfigPtr x(allocate_xconfig());
    x->token_id = strdup(token_id);
    x->resolution = strdup(resolution);
    x->enable_xkb = xkb != nullptr ? strdup(xkb) : nullptr;
    return x;
}
// The strings of a null-terminated array, sorted; the array is freed.
inline Strings take_sorted(char **array) {
    Strings out;
    for (char **s = array; s != nullptr && *s != nullptr; ++s) out.emplace_back(*s);
    zt_free_array(array);
    std::sort(out.begin(), out.end());
    return out;
}

struct IteratorFree {
    AdminConfig *conn;
    void operator()(AdminIterator *it) const { finish_iterator(conn, it); }
};
using IteratorPtr = std::unique_ptr<AdminIterator, IteratorFree>;

// Polls `done` every 2 ms for up to 5 s (replication catching up); its last answer.
inline bool eventually(const std::function<bool()> &done) {
    for (int i = 0; i < 2500; ++i, usleep(2000))
        if (done()) return true;
    return done();
}

class RecordsTest : public DirectoryTest {
protected:
    void SetUp() override {
        DirectoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        root_ = base_;
        for (const char *c : {"users", "logicalTokens", "rawTokens", "desktops"}) add(c, root_);
        std::string ds = std::string(kEtc).substr(1) + "/qmds/current/ztdsd.conf";  // names the primary
        tree_->dir().write(ds, read_file(sandbox_->root + "/" + ds));
        log_->clear();
    }

    // `container` is users, logicalTokens, rawTokens or desktops.
    std::string dn(const std::string &id, const std::string &container) const {
        return "ztID=" + zt::dn_escape(id) + ",ztName=" + container + "," + root_;
    }
    bool on_primary(const std::string &id, const std::string &where) const { return primary_->exists(dn(id, where)); }
    // The values of `attr` on the primary (or the replica), sorted.
    Strings vals(const std::string &id, const std::string &container, const std::string &attr,
                 bool replica = false) const {
        Strings v = (replica ? replica_ : primary_)->values(dn(id, container), attr);
        std::sort(v.begin(), v.end());
        return v;
    }
    // Waits until the replica (the configured server) holds what the primary holds in `attr`.
    void await_same(const std::string &id, const std::string &container, const std::string &attr) const {
        eventually([&] { return vals(id, container, attr, true) == vals(id, container, attr); });
        ASSERT_EQ(vals(id, container, attr, true), vals(id, container, attr)) << id << " " << attr;
    }
    // Adds an entry of `object_class` on the primary and waits until the
    // replica has it; `list` goes into the multi-valued `list_attr`.
    void put(const std::string &id, const std::string &container, const char *object_class, const Attrs &extra,
             const char *list_attr = "", const Strings &list = {}) {
        Attrs attrs = {{"objectClass", object_class}, {"ztID", id}};
        for (const auto &v : list) attrs.emplace_back(list_attr, v);
        attrs.insert(attrs.end(), extra.begin(), extra.end());
        ASSERT_EQ(primary_->add(dn(id, container), attrs), LDAP_SUCCESS) << id;
        ASSERT_TRUE(replica_->wait_exists(dn(id, container), true)) << id;
    }
    void put_raw(const std::string &id, const Attrs &extra = {}) { put(id, "rawTokens", "ztRawToken", extra); }
    void put_logical(const std::string &id, const Strings &raw_ids, const Attrs &extra = {}) {
        put(id, "logicalTokens", "ztLogicalToken", extra, "ztRawTokenIDs", raw_ids);
    }
    void put_user(const std::string &id, const std::string &name, const Strings &lt_ids, Attrs extra = {}) {
        extra.emplace_back("ztName", name);
        put(id, "users", "ztUser", extra, "ztLogicalTokenIDs", lt_ids);
    }
    // The administration log's "user" records, in order.
    Strings user_log() const {
        Strings out;
        for (const auto &line : log_->lines())
            if (line.rfind("user : ", 0) == 0) out.push_back(line.substr(7));
        return out;
    }

    // Every DN below the test's subtree on the primary, sorted.
    Strings all_dns() const {
        Strings dns = primary_->values(root_, "entryDN", LDAP_SCOPE_SUBTREE);
        std::sort(dns.begin(), dns.end());
        return dns;
    }
    // The entries that are neither the subtree, a container in it, nor directly in a container: where an ID whose DN
    // syntax was not escaped would land.
    Strings misplaced() const {
        Strings out;
        for (const auto &dn : all_dns()) {
            LDAPDN parsed = nullptr;
            int depth = 0;  // ID, container, the subtree, o=ztdata
            if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS)
                while (parsed[depth] != nullptr) ++depth;
            ldap_dnfree(parsed);
            if (depth < 2 || depth > 4 || (depth == 3 && dn.rfind("ztName=", 0) != 0)) out.push_back(dn);
        }
        return out;
    }
    IteratorPtr start(int kind, const char *filter = nullptr) {
        return IteratorPtr(start_iterator(conn_.get(), kind, filter, "ztID"), IteratorFree{conn_.get()});
    }
    // The IDs the rest of a walk hands out, in order.
    template <typename Record>
    Strings ids(AdminIterator *it, Record *(*next)(AdminConfig *, AdminIterator *), void (*free_record)(Record *)) {
        Strings out;
        while (Record *r = next(conn_.get(), it)) {
            out.emplace_back(r->id);
            free_record(r);
        }
        return out;
    }

    std::string root_;
};

}  // namespace zt::test

#endif  // ZT_TESTS_RECORDS_FIXTURE_H
