// SPDX-License-Identifier: GPL-3.0-or-later
// Desktop changes and terminal groups against the sandbox, the configured server being the replica: every write is
// checked on the primary behind the library's back.  Grouped by the fault they catch: entry formats, the undo of a
// failed member synchronisation, member-list edits, the namespace rule, desktop changes, reading one's own writes (with
// membership moves), and the refusals made before writing.
#include "records_fixture.h"

namespace zt::test {
namespace {

const char *const kA = "0a0000000001";
const char *const kB = "0a0000000002";
const char *const kC = "0a0000000003";
const char *const kD = "0a0000000004";

std::string cid(const char *id) { return std::string("IEEE802.") + id; }

class TerminalRecords : public RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        add("MULTIHEAD", root_);
    }
    std::string gdn(const std::string &gid) const {
        return "ztGroupID=" + zt::dn_escape(gid) + ",ztName=MULTIHEAD," + root_;
    }
    Strings group(const std::string &gid, const std::string &attr) const { return primary_->values(gdn(gid), attr); }
    Strings refs(const char *id) const { return vals(id, "desktops", "ztDtuTypeGroups"); }
    void put_desktop(const char *id, const Strings &groups = {}, Attrs extra = {}) {
        put(id, "desktops", "ztDesktop", extra, "ztDtuTypeGroups", groups);
    }
    void put_group(const std::string &gid, const std::string &list) {
        ASSERT_EQ(primary_->add(gdn(gid), {{"objectClass", "ztDtuGroup"}, {"ztGroupID", gid},
                                           {"ztGroupType", "MULTIHEAD"}, {"ztDtuCIDlist", list}}),
                  LDAP_SUCCESS);
        ASSERT_TRUE(replica_->wait_exists(gdn(gid), true));
    }
    // Adds (or with `replace`, replaces) a group through `conn`.
    static int add_group(AdminConfig *conn, std::string gid, Strings members, int replace = 0,
                         std::string type = "MULTIHEAD", const char *data = nullptr, int index = -1) {
        std::vector<char *> list;
        for (auto &m : members) list.push_back(m.data());
        list.push_back(nullptr);
        DtuGrp g{gid.data(), type.data(), chars(data), index, int(members.size()), list.data()};
        return zt_addDtuGrp(conn, &g, replace);
    }
    // Waits until the replica, where the read API looks, shows the group.
    void await_group(const std::string &gid) const {
        eventually([&] { return replica_->values(gdn(gid), "ztDtuCIDlist") == group(gid, "ztDtuCIDlist"); });
    }
};

TEST_F(TerminalRecords, NewGroupIsWrittenWithBackReferencesAndReadBack) {
    put_desktop(kA, {"OTHER:x"});
    ASSERT_EQ(add_group(conn_.get(), "mh1", {"ieee802.0A0000000001", kB}, 0, "MULTIHEAD", "pd", 1), 0) << log_->all();
    for (auto [attr, want] : {std::pair<const char *, Strings>{"objectClass", {"top", "ztDtuGroup"}},
                              {"ztGroupID", {"mh1"}}, {"ztGroupType", {"MULTIHEAD"}},
                              {"ztDtuCIDlist", {cid(kA) + "," + cid(kB)}}, {"ztPrivateData", {"pd"}},
                              {"ztPrimaryIdx", {"1"}}})
        EXPECT_EQ(group("mh1", attr), want) << attr;
    EXPECT_EQ(refs(kA), (Strings{"MULTIHEAD:mh1", "OTHER:x"}));
    // The member without a desktop got one, with the reference and a raw token.
    EXPECT_EQ(refs(kB), Strings{"MULTIHEAD:mh1"});
    EXPECT_EQ(vals(kB, "desktops", "ztNamespace"), Strings{});
    EXPECT_EQ(vals(kB, "rawTokens", "ztTokenType"), Strings{"desktop"});

    await_group("mh1");
    for (const char *id : {kA, kB}) await_same(id, "desktops", "ztDtuTypeGroups");
    DtuGrp **groups = nullptr;
    ASSERT_EQ(zt_getDtuGrpByDtuCID(conn_.get(), nullptr, cid(kB).c_str(), &groups), 1);
    EXPECT_STREQ(groups[0]->private_data, "pd");
    EXPECT_EQ(groups[0]->num_dtus, 2);
    zt_freeDtuGrplist(groups);
    EXPECT_EQ(zt_getDtuGrpByDtuCID(conn_.get(), "OTHER", cid(kA).c_str(), &groups), ADMIN_ERR_NOT_FOUND);
    char *head = nullptr;
    ASSERT_EQ(zt_getDtuGrpPrimByDtuCID(conn_.get(), "MULTIHEAD", cid(kA).c_str(), &head), 0);
    EXPECT_EQ(std::string(head), cid(kB));
    zt_freeDtuCID(head);
    EXPECT_EQ(dtugrp_exists(conn_.get(), "MH1", "multihead"), 1);
}

// A member already in another group of the type ends the add with -8 and takes back everything written: the new group,
// the references, the old contents of a replaced group.  Desktops made for members stay.
TEST_F(TerminalRecords, FailedSynchronisationIsUndoneAndListsAreEditedAsText) {
    put_desktop(kA, {"OTHER:x"});
    put_desktop(kC, {"MULTIHEAD:elsewhere"});
    EXPECT_EQ(add_group(conn_.get(), "mh2", {kA, kB, kC}), ADMIN_ERR_TERMINAL_IN_USE);
    EXPECT_FALSE(primary_->exists(gdn("mh2")));
    EXPECT_EQ(refs(kA), Strings{"OTHER:x"});
    EXPECT_TRUE(on_primary(kB, "desktops"));
    EXPECT_EQ(refs(kB), Strings{});
    EXPECT_EQ(refs(kC), Strings{"MULTIHEAD:elsewhere"});

    ASSERT_EQ(add_group(conn_.get(), "mh3", {kA}, 0, "MULTIHEAD", "pd", 0), 0);
    EXPECT_EQ(add_group(conn_.get(), "mh3", {kA, kC}, 1), ADMIN_ERR_TERMINAL_IN_USE);
    EXPECT_EQ(group("mh3", "ztDtuCIDlist"), Strings{cid(kA)});
    EXPECT_EQ(group("mh3", "ztPrivateData"), Strings{"pd"});
    EXPECT_EQ(refs(kA), (Strings{"MULTIHEAD:mh3", "OTHER:x"}));

    // A replace that succeeds drops the references of the members it drops.
    ASSERT_EQ(add_group(conn_.get(), "mh3", {kB}, 1), 0);
    EXPECT_EQ(group("mh3", "ztDtuCIDlist"), Strings{cid(kB)});
    EXPECT_EQ(group("mh3", "ztPrivateData"), Strings{});
    EXPECT_EQ(refs(kA), Strings{"OTHER:x"});
    EXPECT_EQ(refs(kB), Strings{"MULTIHEAD:mh3"});

    // The list is edited as text on the primary (the rules themselves are
    // unit-tested); a group without the member is not written.
    put_group("g1", "IEEE802.0A0000000001,ieee802.0a0000000002");
    EXPECT_EQ(zt_setDtuGrpCIDlistByDtuGID(conn_.get(), "MULTIHEAD", "g1", "0a0000000002", 0), 0);
    EXPECT_EQ(group("g1", "ztDtuCIDlist"), Strings{"ieee802.0a0000000001,ieee802."});
    EXPECT_EQ(zt_setDtuGrpCIDlistByDtuGID(conn_.get(), "MULTIHEAD", "g1", "MAC.Z", 1), 0);
    EXPECT_EQ(group("g1", "ztDtuCIDlist"), Strings{"ieee802.0a0000000001,ieee802.,MAC.Z"});
    EXPECT_EQ(zt_setDtuGrpCIDlistByDtuGID(conn_.get(), "MULTIHEAD", "nogroup", "MAC.Z", 1), ADMIN_ERR_NOT_FOUND);

    // The clean-up passes over a member that cannot be parsed (it never got a reference) to the ones after it.
    put_desktop(kD, {"MULTIHEAD:bad"});
    put_group("bad", "IEEE802.," + cid(kD));
    EXPECT_EQ(zt_delDtuGrpByDtuGID(conn_.get(), "MULTIHEAD", "bad"), 0);
    EXPECT_EQ(refs(kD), Strings{});
    EXPECT_TRUE(log_->has("zt_syncDtuGrp: member (IEEE802.) cannot be parsed, skipped")) << log_->all();
}

TEST_F(TerminalRecords, NamespaceRuleOnWriteAndFind) {
    Desktop d{};
    d.id = chars(kA);
    d.namespace_ = chars("ieee802");
    d.location = chars("   ");
    d.other_info = chars("  lab 3 ");
    ASSERT_EQ(add_desktop(conn_.get(), &d, "desk.a"), 0);
    for (auto [attr, want] :
         {std::pair<const char *, Strings>{"ztNamespace", {}}, {"ztLocation", {}}, {"ztOtherInfo", {"lab 3"}}})
        EXPECT_EQ(vals(kA, "desktops", attr), want) << attr;
    d.id = chars(kB);
    d.namespace_ = chars("MAC");
    ASSERT_EQ(add_desktop(conn_.get(), &d, "desk.b"), 0);
    EXPECT_EQ(vals(kB, "desktops", "ztNamespace"), Strings{"MAC"});
    await_same(kB, "desktops", "ztNamespace");

    struct Case { std::string cid; int status; const char *id; } cases[] = {
        {cid(kA), 0, kA}, {"ieee802.0A0000000001", 0, kA}, {kA, 0, kA}, {"mac.0a0000000002", 0, kB},
        {"MAC." + std::string(kA), ADMIN_ERR_NOT_FOUND, nullptr}, {cid(kB), ADMIN_ERR_NOT_FOUND, nullptr},
        {"", ADMIN_ERR_INVALID_ARGS, nullptr}, {"IEEE802.", -1, nullptr}, {"N." + std::string(480, 'a'), -1, nullptr}};
    for (const Case &c : cases) {
        Desktop *found = nullptr;
        EXPECT_EQ(zt_getDtuByDtuCID(conn_.get(), c.cid.c_str(), &found), c.status) << c.cid.substr(0, 24);
        EXPECT_STREQ(found ? found->id : nullptr, c.id) << c.cid.substr(0, 24);
        free_desktop(found);
    }
}

TEST_F(TerminalRecords, DesktopChangesAndDeletion) {
    put_raw("desk.c");
    put_desktop(kC, {"MULTIHEAD:g"}, {{"ztLocation", "hall"}, {"ztNamespace", "IEEE802"}});
    ASSERT_EQ(edit_simple_desktop(conn_.get(), kC, " room 2 ", "x"), 0);
    EXPECT_EQ(vals(kC, "desktops", "ztLocation"), Strings{"room 2"});
    EXPECT_EQ(refs(kC), Strings{"MULTIHEAD:g"}) << "the groups are written back as read";
    EXPECT_EQ(edit_simple_desktop(conn_.get(), kA, "x", "y"), -1);
    EXPECT_EQ(log_->lines(), (Strings{"desktop : Desktop id (0a0000000003) properties successfully modified.",
                                      "edit_simple_desktop(): Could not get LDAP desktop.",
                                      "desktop : Error editing desktop properties for desktop id 0a0000000001",
                                      "desktop : Unable to obtain desktop information from ldap"}));

    DbmDesktop status{chars("desk.c"), nullptr, nullptr, chars("Up"), nullptr, nullptr};
    ASSERT_EQ(add_dbm_desktop(conn_.get(), &status), 0);
    ASSERT_EQ(delete_desktop(conn_.get(), "desk.c", kC), 0);
    EXPECT_FALSE(on_primary(kC, "desktops") || on_primary("desk.c", "rawTokens"));
    EXPECT_EQ(dbm_desktop_exists(conn_.get()->dstatus_db, "desk.c"), 0);
    EXPECT_NE(delete_desktop(conn_.get(), "desk.c", kC), 0);
}

// With a configured server that never catches up (writes are referred to the primary), every change still acts on what
// the one before it wrote: what decides the next write is read on the primary.
TEST_F(TerminalRecords, ChangesSeeTheirOwnWritesOnALaggingServer) {
    // The stale server still shows a raw token the primary no longer has.
    Connection lagging = connect_stale(
        {}, golden("stale_raw_token.ldif", {{"@ROOT@", root_}, {"@NAME@", root_.substr(7, root_.find(',') - 7)}}));
    ASSERT_NE(lagging, nullptr);
    put_desktop(kA, {}, {{"ztLocation", "hall"}});
    put_desktop(kB, {"OTHER:z"});
    put_group("g2", cid(kC));
    ASSERT_EQ(add_group(lagging.get(), "lag", {kA}), 0);
    EXPECT_EQ(add_group(lagging.get(), "lag", {kA}), ADMIN_ERR_EXISTS);
    ASSERT_EQ(zt_setDtuMHGIDByDtuCID(lagging.get(), cid(kB).c_str(), "lag"), 0);
    EXPECT_EQ(group("lag", "ztDtuCIDlist"), Strings{"ieee802.0a0000000001," + cid(kB)});
    // Staying in the group leaves its list alone; moving takes the CID along.
    ASSERT_EQ(zt_setDtuMHGIDByDtuCID(lagging.get(), cid(kB).c_str(), "lag"), 0);
    ASSERT_EQ(zt_setDtuMHGIDByDtuCID(lagging.get(), cid(kB).c_str(), "g2"), 0);
    EXPECT_EQ(refs(kB), (Strings{"MULTIHEAD:g2", "OTHER:z"}));
    EXPECT_EQ(group("lag", "ztDtuCIDlist"), Strings{"ieee802.0a0000000001"});
    EXPECT_EQ(group("g2", "ztDtuCIDlist"), Strings{"ieee802.0a0000000003," + cid(kB)});
    // Leaving a group as its only member deletes the group.
    ASSERT_EQ(zt_setDtuMHGIDByDtuCID(lagging.get(), cid(kA).c_str(), nullptr), 0);
    EXPECT_FALSE(primary_->exists(gdn("lag")));
    EXPECT_EQ(refs(kA), Strings{});
    ASSERT_EQ(zt_delDtuGrpByDtuGID(lagging.get(), "MULTIHEAD", "g2"), 0);
    EXPECT_EQ(refs(kB), Strings{"OTHER:z"});
    EXPECT_EQ(zt_delDtuGrpByDtuGID(lagging.get(), "MULTIHEAD", "g2"), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(edit_simple_desktop(lagging.get(), kA, "hall", nullptr), ADMIN_ERR_NO_CHANGE);
    ASSERT_EQ(edit_simple_desktop(lagging.get(), kA, "room", nullptr), 0);
    EXPECT_EQ(vals(kA, "desktops", "ztLocation"), Strings{"room"});
    // A new desktop's raw token is looked for where it will be written, not on the lagging server.
    Desktop d{};
    d.id = chars(kD);
    EXPECT_EQ(add_desktop(lagging.get(), &d, "desk.gone"), 0) << log_->all();
    EXPECT_TRUE(on_primary("desk.gone", "rawTokens"));
}

// Runs each writer in a process of its own with a connection of its own, all released at the same moment; their
// statuses in order.
std::vector<int> at_once(const std::vector<std::function<int(AdminConfig *)>> &writers) {
    int gate[2];
    if (pipe(gate) != 0) return {};
    std::vector<pid_t> children;
    for (const auto &write : writers) {
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            AdminConfig *conn = open_connection(3, nullptr, nullptr, nullptr, nullptr);
            char c;
            while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(conn != nullptr ? write(conn) & 0xff : 99);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // releases them all
    std::vector<int> statuses;
    for (pid_t pid : children) statuses.push_back(static_cast<int8_t>(wait_child(pid, 120)));
    return statuses;
}

// Several administrators' tools writing at once, as processes of their own: no member-list edit is lost, and a desktop
// ends up in exactly one group of a type however the writers interleave (several desktops fought over at once, so
// that some writers meet whatever the timing).
TEST_F(TerminalRecords, ConcurrentWritersLoseNothing) {
    auto id = [](int n) { return "0c00000000" + std::to_string(10 + n); };
    auto listed = [&](const std::string &gid, const std::string &member) {  // whatever the case of the list
        Strings lists = group(gid, "ztDtuCIDlist");
        std::string list = "," + (lists.empty() ? std::string() : lists[0]) + ",";
        return strcasestr(list.c_str(), ("," + cid(member.c_str()) + ",").c_str()) != nullptr;
    };
    auto multihead_refs = [&](const std::string &desktop) {
        Strings found;
        for (const auto &r : refs(desktop.c_str()))
            if (r.rfind("MULTIHEAD:", 0) == 0) found.push_back(r);
        return found;
    };
    for (int n = 0; n < 24; ++n) put_desktop(id(n).c_str());
    put_group("crowd", cid("0c0000000099"));
    for (int n = 8; n < 16; ++n) {
        put_group("left" + std::to_string(n), cid("0c0000000098"));
        put_group("right" + std::to_string(n), cid("0c0000000098"));
    }
    using Writer = std::function<int(AdminConfig *)>;
    auto join = [&](int n, const std::string &gid) -> Writer {
        return [=](AdminConfig *c) { return zt_setDtuMHGIDByDtuCID(c, cid(id(n).c_str()).c_str(), gid.c_str()); };
    };
    auto found = [&](int n, const std::string &gid) -> Writer {
        return [=](AdminConfig *c) { return add_group(c, gid, {id(n)}); };
    };
    struct Case { const char *what; std::vector<Writer> writers; std::function<void(const std::vector<int> &)> check; };
    std::vector<Case> cases;
    cases.push_back({"eight desktops join one group", {}, [&](const std::vector<int> &statuses) {
                         EXPECT_EQ(statuses, std::vector<int>(8, 0));
                         for (int n = 0; n < 8; ++n) {
                             EXPECT_TRUE(listed("crowd", id(n))) << id(n) << " " << group("crowd", "ztDtuCIDlist")[0];
                             EXPECT_EQ(multihead_refs(id(n)), Strings{"MULTIHEAD:crowd"});
                         }
                         EXPECT_TRUE(listed("crowd", "0c0000000099"));
                     }});
    for (int n = 0; n < 8; ++n) cases.back().writers.push_back(join(n, "crowd"));
    cases.push_back({"each desktop moved to two groups at once", {}, [&](const std::vector<int> &statuses) {
                         EXPECT_EQ(statuses, std::vector<int>(16, 0));
                         for (int n = 8; n < 16; ++n) {
                             std::string left = "left" + std::to_string(n), right = "right" + std::to_string(n);
                             Strings refs = multihead_refs(id(n));
                             ASSERT_EQ(refs.size(), 1u) << id(n);
                             bool in_left = refs[0] == "MULTIHEAD:" + left;
                             EXPECT_TRUE(in_left || refs[0] == "MULTIHEAD:" + right) << refs[0];
                             EXPECT_EQ(std::pair(listed(left, id(n)), listed(right, id(n))), std::pair(in_left, !in_left))
                                 << id(n) << " is in " << refs[0];
                         }
                     }});
    for (int n = 8; n < 16; ++n) {
        cases.back().writers.push_back(join(n, "left" + std::to_string(n)));
        cases.back().writers.push_back(join(n, "right" + std::to_string(n)));
    }
    cases.push_back({"each desktop put in two new groups at once", {}, [&](const std::vector<int> &statuses) {
                         for (int n = 16; n < 24; ++n) {
                             std::string one = "one" + std::to_string(n), two = "two" + std::to_string(n);
                             std::vector<int> pair = {statuses[2 * (n - 16)], statuses[2 * (n - 16) + 1]};
                             std::sort(pair.begin(), pair.end());
                             EXPECT_EQ(pair, (std::vector<int>{ADMIN_ERR_TERMINAL_IN_USE, 0})) << id(n);
                             Strings refs = multihead_refs(id(n));
                             ASSERT_EQ(refs.size(), 1u) << id(n);
                             EXPECT_NE(primary_->exists(gdn(one)), primary_->exists(gdn(two))) << id(n);
                             EXPECT_TRUE(primary_->exists(gdn(refs[0].substr(10)))) << refs[0];
                         }
                     }});
    for (int n = 16; n < 24; ++n) {
        cases.back().writers.push_back(found(n, "one" + std::to_string(n)));
        cases.back().writers.push_back(found(n, "two" + std::to_string(n)));
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int> statuses = at_once(c.writers);
        ASSERT_EQ(statuses.size(), c.writers.size());
        c.check(statuses);
    }
}

// Incomplete groups, CIDs that cannot be normalised, a terminal named twice, an existing group, names that would move
// the split of a back reference or a member list, and texts too long for their buffers: each is refused with its status
// before anything is written.
TEST_F(TerminalRecords, RefusalsComeBeforeAnyWrite) {
    put_desktop(kA);
    put_group("taken", cid(kC));
    Strings before = all_dns();
    auto add = [&](std::string gid, Strings members, std::string type = "MULTIHEAD") {
        return add_group(conn_.get(), gid, members, 0, type);
    };
    Desktop empty{}, good{};
    empty.id = chars("");
    good.id = chars(kB);
    struct Case { const char *what; int got, want; } cases[] = {
        {"no gid", add("", {kA}), ADMIN_ERR_INVALID_ARGS},
        {"no type", add("g", {kA}, ""), ADMIN_ERR_INVALID_ARGS},
        {"empty first CID", add("g", {"", kA}), ADMIN_ERR_INVALID_ARGS},
        {"type with colon", add("g", {kA}, "MULTI:HEAD"), ADMIN_ERR_INVALID_ARGS},
        {"other namespace", add("g", {kA, "MAC.0a0000000002"}), ADMIN_ERR_NO_MEMORY},
        {"11 digits", add("g", {kA, "0a000000002"}), ADMIN_ERR_NO_MEMORY},
        {"twice", add("g", {"IEEE802.0A0000000001", kB, kA}), ADMIN_ERR_DUPLICATE_TERMINAL},
        {"exists", add("taken", {kA}), ADMIN_ERR_EXISTS},
        {"long DN", add(std::string(480, 'g'), {kA}), ADMIN_ERR_INTERNAL},
        {"add_desktop no ID", add_desktop(conn_.get(), &empty, "desk.x"), ADMIN_ERR_INVALID_ARGS},
        {"add_desktop no token", add_desktop(conn_.get(), &good, nullptr), ADMIN_ERR_INVALID_ARGS},
        {"modify_desktop no ID", modify_desktop(conn_.get(), &empty), ADMIN_ERR_INTERNAL},
        {"delete_desktop no ID", delete_desktop(conn_.get(), "desk.x", ""), ADMIN_ERR_INVALID_ARGS},
        {"set long gid", zt_setDtuMHGIDByDtuCID(conn_.get(), kA, std::string(130, 'g').c_str()), ADMIN_ERR_INTERNAL},
        {"set no type", zt_setDtuGIDByDtuCID(conn_.get(), kA, "g", ""), ADMIN_ERR_INVALID_ARGS},
        {"set type with colon", zt_setDtuGIDByDtuCID(conn_.get(), kA, "g", "MULTI:HEAD"), ADMIN_ERR_INTERNAL},
        {"list no CID", zt_setDtuGrpCIDlistByDtuGID(conn_.get(), "MULTIHEAD", "taken", "", 1), ADMIN_ERR_INVALID_ARGS},
        {"list CID comma", zt_setDtuGrpCIDlistByDtuGID(conn_.get(), "MULTIHEAD", "taken", "a,b", 1),
         ADMIN_ERR_INVALID_ARGS},
        {"set no desktop", zt_setDtuMHGIDByDtuCID(conn_.get(), cid(kB).c_str(), "taken"), ADMIN_ERR_NOT_FOUND},
        {"sync", zt_syncDtuGrp(conn_.get(), nullptr, 0), ADMIN_ERR_INVALID_ARGS},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(all_dns(), before);
    EXPECT_EQ(refs(kA), Strings{});
    EXPECT_EQ(group("taken", "ztDtuCIDlist"), Strings{cid(kC)});
}

// Desktop IDs, group IDs and group types are data wherever they go into a DN (escaped) or come back out of a back
// reference: each names one entry of its own, which is found, grouped, moved and deleted by that name.
TEST_F(TerminalRecords, DnSyntaxInDesktopAndGroupNamesNamesEntriesOfTheirOwn) {
    const std::string type = "MH,ztName=desktops", listed = "d+ztID=" + std::string(kA) + ";#<>",
                      unlisted = "d,ztID=" + std::string(kA), gid = "g,ztName=users";
    add(type, root_);  // its container, DN-escaped like every other
    Strings before = all_dns();
    Desktop d{};
    d.location = chars("hall");
    for (const std::string &id : {listed, unlisted}) {
        d.id = const_cast<char *>(id.c_str());
        ASSERT_EQ(add_desktop(conn_.get(), &d, ("desk." + id).c_str()), 0) << id;
    }
    put_desktop(kA);
    ASSERT_EQ(add_group(conn_.get(), gid, {kA}), 0) << log_->all();
    ASSERT_EQ(add_group(conn_.get(), "g2", {kB}, 0, type), 0) << log_->all();
    EXPECT_EQ(misplaced(), Strings{});
    EXPECT_EQ(refs(kA), Strings{"MULTIHEAD:" + gid});
    EXPECT_EQ(refs(kB), Strings{type + ":g2"});
    for (const std::string &id : {listed, unlisted}) {
        eventually([&] { return replica_->exists(dn(id, "desktops")); });
        DesktopPtr found(get_desktop(conn_.get(), id.c_str()));
        EXPECT_STREQ(found ? found->location : nullptr, "hall") << id;
        EXPECT_EQ(edit_simple_desktop(conn_.get(), id.c_str(), "room", nullptr), 0) << id;
    }
    ASSERT_EQ(zt_setDtuMHGIDByDtuCID(conn_.get(), listed.c_str(), gid.c_str()), 0);
    EXPECT_EQ(group(gid, "ztDtuCIDlist"), Strings{"ieee802.0a0000000001," + listed});
    await_group(gid);
    for (const std::string &id : {std::string(kA), listed}) await_same(id, "desktops", "ztDtuTypeGroups");
    for (const std::string &cid : {cid(kA), listed}) {
        DtuGrp **groups = nullptr;
        ASSERT_EQ(zt_getDtuGrpByDtuCID(conn_.get(), "MULTIHEAD", cid.c_str(), &groups), 1) << cid;
        EXPECT_STREQ(groups[0]->gid, gid.c_str());
        zt_freeDtuGrplist(groups);
    }
    DtuGrp **typed = nullptr;
    eventually([&] { return zt_getDtuGrpByDtuGID(conn_.get(), type.c_str(), "g2", &typed) == 1; });
    ASSERT_NE(typed, nullptr);
    EXPECT_STREQ(typed[0]->gtype, type.c_str());
    zt_freeDtuGrplist(typed);
    ASSERT_EQ(zt_delDtuGrpByDtuGID(conn_.get(), "MULTIHEAD", gid.c_str()), 0);
    ASSERT_EQ(zt_delDtuGrpByDtuGID(conn_.get(), type.c_str(), "g2"), 0);
    EXPECT_EQ(refs(kA), Strings{});
    EXPECT_EQ(vals(listed, "desktops", "ztDtuTypeGroups"), Strings{});
    for (const std::string &id : {listed, unlisted})
        EXPECT_EQ(delete_desktop(conn_.get(), ("desk." + id).c_str(), id.c_str()), 0) << id;
    primary_->remove_tree(dn(kA, "desktops"));
    primary_->remove_tree(dn(kB, "desktops"));
    primary_->remove_tree(dn(kB, "rawTokens"));
    EXPECT_EQ(all_dns(), before);
}

}  // namespace
}  // namespace zt::test
