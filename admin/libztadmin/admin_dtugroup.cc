// SPDX-License-Identifier: GPL-3.0-or-later
// admin_dtugroup.cc - typed terminal groups (multihead desktops): the group
// record, reading groups by ID or through a member's back references, and
// the writes that keep a group's member list and its members' back
// references ("TYPE:GROUPID" in "ztDtuTypeGroups") in step.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "admin_private.h"
#include "records_common.h"
#include "terminal_records.h"

namespace zt {
namespace {

constexpr const char *kCidListAttr = "ztDtuCIDlist";
constexpr const char *kGroupAttrs[] = {"objectClass",  "ztGroupID",     "ztGroupType",
                                       "ztDtuCIDlist", "ztPrivateData", "ztPrimaryIdx"};
constexpr size_t kListIndex = 3;
// "IEEE802." and twelve digits with their terminating NUL.
constexpr int kNormalCidSize = 21;

struct GroupDeleter {
    void operator()(DtuGrp *group) const { zt_freeDtuGrp(group); }
};
using GroupPtr = std::unique_ptr<DtuGrp, GroupDeleter>;
struct GroupListDeleter {
    void operator()(DtuGrp **groups) const { zt_freeDtuGrplist(groups); }
};
using GroupListPtr = std::unique_ptr<DtuGrp *, GroupListDeleter>;

bool given(const char *text) { return text != nullptr && *text != '\0'; }

std::string as_is(std::string_view value) { return std::string(value); }

Dn group_dn(const char *type, const char *gid, const char *root) {
    return Dn().text("ztgroupid=").value(gid).text(",ztname=").value(type).text(",").text(root);
}

// The group filter by type and ID, type only or ID only (null: not given).
template <typename Escape>
std::string group_filter(const char *type, const char *gid, Escape escape) {
    if (type != nullptr && gid != nullptr)
        return "(&(objectclass=ztDtuGroup)(ztGroupType=" + escape(type) + ")(ztGroupID=" + escape(gid) + "))";
    if (type != nullptr) return "(&(objectclass=ztDtuGroup)(ztGroupType=" + escape(type) + "))";
    return "(&(objectclass=ztDtuGroup)(ztGroupID=" + escape(gid) + "))";
}

struct GroupQuery {
    std::string filter;
    std::string base;
};

// Filter and base of a group search: a type's groups live in "ztName=TYPE,
// ROOT", a search by ID alone starts at the root.  Nothing, after "WHO:
// filter too long" or "WHO: basedn too long", when a text does not fit.
std::optional<GroupQuery> group_query(const char *root, const char *type, const char *gid, const char *who) {
    if (!fits(group_filter(type, gid, as_is), kDnBufferSize)) {
        dprintf("%s: filter too long", who);
        return std::nullopt;
    }
    Dn base = type != nullptr ? Dn().text("ztName=").value(type).text(",").text(root) : Dn().text(root);
    if (!base.fits()) {
        dprintf("%s: basedn too long", who);
        return std::nullopt;
    }
    return GroupQuery{group_filter(type, gid, filter_escape), base.str()};
}

// Searches group entries on `session`: 0 with `result`, -6 neither type nor
// ID, -4 none, -1 too long or failed.
AdminStatus search_groups(LDAP *session, const char *root, const char *type, const char *gid, bool primary_only,
                          LdapMsgPtr &result) {
    type = given(type) ? type : nullptr;
    gid = given(gid) ? gid : nullptr;
    if (type == nullptr && gid == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::optional<GroupQuery> query = group_query(root, type, gid, "get_ldapgroupdobj_bygid");
    if (!query) return ADMIN_ERR_INTERNAL;
    char index[] = "ztPrimaryIdx", list[] = "ztDtuCIDlist";
    char *attrs[] = {index, list, nullptr};
    result.reset(search_for_entries(session, query->filter.c_str(), query->base.c_str(),
                                    primary_only ? attrs : nullptr, 0, SEARCH_ALL));
    if (!result) return ADMIN_ERR_INTERNAL;
    return ldap_count_entries(session, result.get()) > 0 ? ADMIN_SUCCESS : ADMIN_ERR_NOT_FOUND;
}

DtuGrp *group_from_entry(LDAP *session, LDAPMessage *entry) {
    std::optional<std::string> gid = first_value(session, entry, "ztGroupID");
    std::optional<std::string> type = first_value(session, entry, "ztGroupType");
    std::optional<std::string> list = first_value(session, entry, kCidListAttr);
    if (!gid || !type || !list) return nullptr;
    DtuGrp *group = allocate_dtugrp();
    group->gid = dup_c(*gid);
    group->gtype = dup_c(*type);
    group->private_data = first_value_dup(session, entry, "ztPrivateData");
    std::optional<std::string> index = first_value(session, entry, "ztPrimaryIdx");
    group->primary_idx = index ? std::atoi(index->c_str()) : -1;
    group->num_dtus = parse_dtulist(list->c_str(), &group->dtulist);
    return group;
}

DtuGrp **group_array(const std::vector<DtuGrp *> &groups) {
    auto **array = static_cast<DtuGrp **>(safe_calloc(static_cast<int>(groups.size()) + 1, sizeof(DtuGrp *)));
    std::copy(groups.begin(), groups.end(), array);
    return array;
}

// The groups a search finds, as a new group array (entries lacking an ID,
// type or member list are skipped); their number, or the failure.
int groups_matching(LDAP *session, const char *root, const char *type, const char *gid, DtuGrp ***groups) {
    LdapMsgPtr result;
    AdminStatus status = search_groups(session, root, type, gid, false, result);
    if (status != ADMIN_SUCCESS) return status;
    std::vector<DtuGrp *> found;
    for (LDAPMessage *e = ldap_first_entry(session, result.get()); e != nullptr; e = ldap_next_entry(session, e))
        if (DtuGrp *group = group_from_entry(session, e)) found.push_back(group);
    if (found.empty()) return ADMIN_ERR_NOT_FOUND;
    *groups = group_array(found);
    return static_cast<int>(found.size());
}

// The entry of the desktop `cid` names, asking only for its back
// references; null (with `result` null when the search itself found no
// single entry) otherwise.
LDAPMessage *member_entry(LDAP *session, const std::string &filter, const std::string &container,
                          LdapMsgPtr &result) {
    char attr[] = "ztDtuTypeGroups";
    char *attrs[] = {attr, nullptr};
    result.reset(search_for_entries(session, filter.c_str(), container.c_str(), attrs, 0, SEARCH_SINGLE));
    return result ? ldap_first_entry(session, result.get()) : nullptr;
}

// A null-terminated pointer array over `texts` (which must outlive it).
std::vector<char *> c_list(std::vector<std::string> &texts) {
    std::vector<char *> list;
    for (std::string &t : texts) list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

// Creates the desktop of a member that has none, with its back reference;
// the status of add_desktop.
AdminStatus create_member(AdminConfig *config, const Cid &cid, const std::string &ref) {
    std::vector<std::string> texts = {cid.id, ref, cid.name_space.value_or("")};
    char *groups[] = {texts[1].data(), nullptr};
    Desktop desktop{};
    desktop.id = texts[0].data();
    desktop.namespace_ = cid.name_space ? texts[2].data() : nullptr;
    desktop.dtugroup = groups;
    return add_desktop(config, &desktop, cid.id.c_str());
}

// Remembers a member whose desktop this call wrote to (or created).
void note_touched(std::vector<std::string> *touched, const char *member) {
    if (touched != nullptr && std::find(touched->begin(), touched->end(), member) == touched->end())
        touched->push_back(member);
}

// One attempt at one member's back reference `ref`: its desktop read on
// the primary, then written expecting what was read.  A member without a
// desktop gets one (a desktop made meanwhile by another writer sends the
// attempt round again).
Tried sync_member_once(AdminConfig *config, LDAP *session, const char *member, const Cid &cid,
                       const std::string &filter, const char *type, const std::string &ref, bool remove,
                       std::vector<std::string> *touched) {
    std::string container = desktop_container(*config);
    LdapMsgPtr result;
    LDAPMessage *entry = member_entry(session, filter, container, result);
    if (entry == nullptr) {
        if (remove) return {ADMIN_SUCCESS, false};
        note_touched(touched, member);  // even half made, it holds the reference
        AdminStatus made = create_member(config, cid, ref);
        return {made == ADMIN_SUCCESS ? ADMIN_SUCCESS : ADMIN_ERR_INTERNAL, made == ADMIN_ERR_EXISTS};
    }
    std::vector<std::string> values = all_values(session, entry, kTypeGroupsAttr);
    size_t at = find_type_value(values, type);
    ModList change;
    std::string expected;
    if (at == std::string::npos) {
        if (remove) return {ADMIN_SUCCESS, false};
        change.add_value(kTypeGroupsAttr, ref.c_str());
        expected = none_beginning(kTypeGroupsAttr, type);
    } else if (!same_text(values[at], ref)) {
        return {remove ? ADMIN_SUCCESS : ADMIN_ERR_TERMINAL_IN_USE, false};
    } else {
        if (!remove) return {ADMIN_SUCCESS, false};
        change.delete_value(kTypeGroupsAttr, values[at].c_str());
    }
    Dn dn = Dn().text("ztid=").value(cid.id).text(",").text(container);
    if (!dn.fits()) return {ADMIN_ERR_INTERNAL, false};
    Tried written = write_expecting(config, session, dn.str(), change.mods(), expected);
    if (written.status == ADMIN_SUCCESS) note_touched(touched, member);
    return written;
}

// Writes (or removes) one member's back reference `ref`.  A member whose
// desktop this call wrote to (or created) goes into `touched`.
AdminStatus sync_member(AdminConfig *config, LDAP *session, const char *member, const char *type,
                        const std::string &ref, bool remove, std::vector<std::string> *touched) {
    Cid cid = split_cid(member);
    std::optional<std::string> filter = desktop_filter(cid);
    if (!filter) {
        dprintf("zt_syncDtuGrp: filter too long");
        return ADMIN_ERR_INTERNAL;
    }
    return retry_while_changed("zt_syncDtuGrp", member, [&] {
        return sync_member_once(config, session, member, cid, *filter, type, ref, remove, touched);
    });
}

// True when the ID part of a member's CID can name its desktop.
bool member_parses(const char *member) { return dn_value_ok(split_cid(member).id.c_str()); }

// zt_syncDtuGrp over every member in order.  Writing stops at the first
// failure; removing goes on to the rest, skipping (and logging) members
// that cannot be parsed, since they never got a reference, and returns the
// first failure, the members it left in `failed`.
AdminStatus sync_members(AdminConfig *config, PrimaryReads &reads, const DtuGrp &group, bool remove,
                         std::vector<std::string> *touched = nullptr, std::vector<std::string> *failed = nullptr) {
    std::string ref = std::string(group.gtype) + ":" + group.gid;
    if (!fits(ref, kBackRefBufferSize)) return ADMIN_ERR_INTERNAL;
    AdminStatus first_failure = ADMIN_SUCCESS;
    for (char **member = group.dtulist; member != nullptr && *member != nullptr; ++member) {
        if (!member_parses(*member)) {
            if (!remove) return ADMIN_ERR_INTERNAL;
            dprintf("zt_syncDtuGrp: member (%s) cannot be parsed, skipped\n", *member);
            continue;
        }
        AdminStatus status = sync_member(config, reads.session(), *member, group.gtype, ref, remove, touched);
        if (status == ADMIN_SUCCESS) continue;
        if (!remove) return status;
        if (failed != nullptr) failed->push_back(*member);
        if (first_failure == ADMIN_SUCCESS) first_failure = status;
    }
    return first_failure;
}

// Removes the back references of `group` from the desktops of `members`;
// the members whose reference could not be removed.
std::vector<std::string> unlink_members(AdminConfig *config, PrimaryReads &reads, const DtuGrp &group,
                                        std::vector<std::string> members) {
    std::vector<std::string> failed;
    if (members.empty()) return failed;
    std::vector<char *> list = c_list(members);
    DtuGrp some = group;
    some.dtulist = list.data();
    some.num_dtus = static_cast<int>(members.size());
    sync_members(config, reads, some, true, nullptr, &failed);
    return failed;
}

// A copy of `group` whose members are normalised CIDs; -10 when one cannot
// be normalised, -11 when two are the same terminal.
AdminStatus normalized_copy(const DtuGrp &group, GroupPtr &copy) {
    std::vector<std::string> members;
    for (char **m = group.dtulist; *m != nullptr; ++m) {
        char normal[kNormalCidSize];
        const char *error = nullptr;
        if (zt_normalize_CID(*m, normal, sizeof normal, &error) == nullptr) return ADMIN_ERR_NO_MEMORY;
        members.emplace_back(normal);
    }
    std::vector<std::string> sorted = members;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return ADMIN_ERR_DUPLICATE_TERMINAL;
    copy.reset(allocate_dtugrp());
    copy->gid = dup_c(group.gid);
    copy->gtype = dup_c(group.gtype);
    copy->private_data = safe_strdup(group.private_data);
    copy->primary_idx = group.primary_idx;
    copy->num_dtus = static_cast<int>(members.size());
    copy->dtulist = dup_string_list(members);
    return ADMIN_SUCCESS;
}

// The group as the primary holds it, or nothing when it does not exist
// (or the question failed: the add that follows then fails in its turn).
std::optional<GroupValues> stored_group(AdminConfig *config, LDAP *session, const DtuGrp &group) {
    std::optional<GroupQuery> query = group_query(config->subtree, group.gtype, group.gid, "dtugrp_exists");
    if (!query) return std::nullopt;
    LdapMsgPtr result(search_for_entries(session, query->filter.c_str(), query->base.c_str(), nullptr, 0, SEARCH_ALL));
    LDAPMessage *entry = result ? ldap_first_entry(session, result.get()) : nullptr;
    if (entry == nullptr) return std::nullopt;
    return group_values(session, entry);
}

AdminStatus write_group(AdminConfig *config, const std::string &dn, const GroupValues &values, bool replace,
                        int flags) {
    ModList mods = group_mods(values, replace);
    AdminStatus status = replace ? zt_modifyDsEntry(config, dn.c_str(), mods.mods(), flags)
                                 : zt_addDsEntry(config, dn.c_str(), mods.mods(), flags);
    return status == ADMIN_SUCCESS ? ADMIN_SUCCESS : ADMIN_ERR_INTERNAL;
}

// After a replace, the desktops the group no longer lists lose their back
// reference to it.
void unlink_former_members(AdminConfig *config, PrimaryReads &reads, const DtuGrp &group, const GroupValues &old) {
    char **former = nullptr;
    parse_dtulist(old[kListIndex].empty() ? nullptr : old[kListIndex][0].c_str(), &former);
    std::vector<std::string> gone;
    for (char **m = former; m != nullptr && *m != nullptr; ++m) {
        char normal[kNormalCidSize];
        const char *error = nullptr;
        const char *cid = zt_normalize_CID(*m, normal, sizeof normal, &error) ? normal : *m;
        auto listed = [&](const char *member) { return same_text(member, cid); };
        if (std::none_of(group.dtulist, group.dtulist + group.num_dtus, listed)) gone.emplace_back(*m);
    }
    free_dtulist(former);
    unlink_members(config, reads, group, gone);
}

// Deletes the group and its members' back references, reading the group
// through `reads`; 0, -1, or the status of the read.  The delete expects
// the group to match `expected` (empty: anything).
Tried delete_group(AdminConfig *config, PrimaryReads &reads, const char *type, const char *gid,
                   const std::string &expected = "") {
    Dn dn = group_dn(type, gid, config->subtree);
    if (!dn.fits()) return {ADMIN_ERR_INTERNAL, false};
    DtuGrp **groups = nullptr;
    int count = groups_matching(reads.session(), config->subtree, type, gid, &groups);
    if (count < 1) return {count, false};
    GroupListPtr held(groups);
    Tried deleted = write_expecting(config, reads.session(), dn.str(), nullptr, expected);
    if (deleted.status != ADMIN_SUCCESS) return deleted;
    sync_members(config, reads, *groups[0], true);
    return {ADMIN_SUCCESS, false};
}

// One attempt of a member-list edit: the list read on the primary, the
// change written expecting it (the group deleted when its last member goes).
Tried edit_members_once(AdminConfig *config, PrimaryReads &reads, const char *type, const char *gid,
                        const std::string &dn, const char *cid, bool add) {
    LDAP *session = reads.session();
    LdapMsgPtr result;
    AdminStatus status = search_groups(session, config->subtree, type, gid, true, result);
    if (status != ADMIN_SUCCESS) return {status, false};
    LDAPMessage *entry = ldap_first_entry(session, result.get());
    if (entry == nullptr) return {ADMIN_ERR_INTERNAL, false};
    std::optional<std::string> list = first_value(session, entry, kCidListAttr);
    ListChange change = edit_member_list(list ? list->c_str() : nullptr, cid, add);
    if (change.what == ListChange::kUnchanged) return {ADMIN_SUCCESS, false};
    if (change.what == ListChange::kDeleteGroup) {
        std::string expected = "(" + std::string(kCidListAttr) + "=" + filter_escape(*list) + ")";
        return {ADMIN_SUCCESS, delete_group(config, reads, type, gid, expected).changed_meanwhile};
    }
    ModList mods;
    if (list) mods.delete_value(kCidListAttr, list->c_str());
    mods.add_value(kCidListAttr, change.list.c_str());
    return write_expecting(config, session, dn, mods.mods(), list ? "" : none_beginning(kCidListAttr, ""));
}

// Takes back what a failed zt_addDtuGrp wrote: the references in `touched`,
// then the group as it was.  What cannot be taken back (the primary went
// away, say) is logged.
void undo_add(AdminConfig *config, PrimaryReads &reads, const DtuGrp &group, const std::string &dn,
              const std::optional<GroupValues> &old, const std::vector<std::string> &touched) {
    std::vector<std::string> left = unlink_members(config, reads, group, touched);
    if (!left.empty()) {
        std::string members;
        for (const auto &m : left) members += (members.empty() ? "" : ",") + m;
        dprintf("zt_addDtuGrp(): undo incomplete: back reference %s:%s left on %s\n", group.gtype, group.gid,
                members.c_str());
    }
    AdminStatus restored = old ? write_group(config, dn, *old, true, 0) : zt_deleteDsEntry(config, dn.c_str(), 0);
    if (restored != ADMIN_SUCCESS)
        dprintf("zt_addDtuGrp(): undo incomplete: group entry %s left as written\n", dn.c_str());
}

// A pause of a few milliseconds, longer with each round, drawn at random so
// that writers refused together do not collide again.
void pause_before_retry(int round) {
    thread_local std::minstd_rand draw{std::random_device{}()};
    std::uniform_int_distribution<int> milliseconds(1, 4 * round);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds(draw)));
}

}  // namespace

AdminStatus exec_expecting(AdminConfig *config, LDAP *session, const std::string &dn, LDAPMod **mods, int flags,
                           const std::string &assertion, int *ldap_code) {
    LDAPControl *control = nullptr;
    if (!assertion.empty() &&
        ldap_create_assertion_control(session, const_cast<char *>(assertion.c_str()), 1, &control) != LDAP_SUCCESS)
        return ADMIN_ERR_INTERNAL;
    LDAPControl *controls[] = {control, nullptr};
    AdminStatus status = exec_with_controls(mods != nullptr ? DS_OP_MODIFY : DS_OP_DELETE, config, dn.c_str(), mods,
                                            flags, control != nullptr ? controls : nullptr, ldap_code);
    ldap_control_free(control);
    return status;
}

Tried write_expecting(AdminConfig *config, LDAP *session, const std::string &dn, LDAPMod **mods,
                      const std::string &assertion) {
    int code = -1;
    AdminStatus status = exec_expecting(config, session, dn, mods, 0, assertion, &code);
    // What another writer's change makes the server answer: the value to
    // delete is gone, the one to add is there, the assertion fails, or the
    // entry itself has gone.
    bool changed = code == LDAP_NO_SUCH_ATTRIBUTE || code == LDAP_TYPE_OR_VALUE_EXISTS ||
                   code == LDAP_ASSERTION_FAILED || code == LDAP_NO_SUCH_OBJECT;
    return {status == ADMIN_SUCCESS ? ADMIN_SUCCESS : ADMIN_ERR_INTERNAL, changed};
}

AdminStatus retry_while_changed(const char *who, const std::string &what, const std::function<Tried()> &attempt) {
    for (int round = 1;; ++round) {
        Tried tried = attempt();
        if (!tried.changed_meanwhile) return tried.status;
        if (round == kWriteAttempts) break;
        pause_before_retry(round);
    }
    dprintf("%s: %s changed by others %d times, nothing written\n", who, what.c_str(), kWriteAttempts);
    return ADMIN_ERR_INTERNAL;
}

std::string none_beginning(const char *attr, std::string_view prefix) {
    return "(!(" + std::string(attr) + "=" + filter_escape(prefix) + "*))";
}

ListChange edit_member_list(const char *list, std::string_view cid, bool add) {
    if (list == nullptr || *list == '\0')
        return add ? ListChange{ListChange::kWrite, std::string(cid)} : ListChange{ListChange::kUnchanged, {}};
    auto lower = [](std::string_view text) {
        std::string out(text);
        for (char &c : out) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        return out;
    };
    std::string text = lower(list);
    size_t at = text.find(lower(cid));
    if (at == std::string::npos)
        return add ? ListChange{ListChange::kWrite, text + "," + std::string(cid)} : ListChange{ListChange::kUnchanged, {}};
    if (add) return ListChange{ListChange::kUnchanged, {}};
    text.erase(at, cid.size());
    if (!text.empty() && text.back() == ',') text.pop_back();
    return text.empty() ? ListChange{ListChange::kDeleteGroup, {}} : ListChange{ListChange::kWrite, text};
}

GroupValues group_values(const DtuGrp &group) {
    GroupValues values(std::size(kGroupAttrs));
    values[0] = {"top", "ztDtuGroup"};
    if (group.gid != nullptr) values[1] = {group.gid};
    if (group.gtype != nullptr) values[2] = {group.gtype};
    std::string list;
    for (char **m = group.dtulist; m != nullptr && *m != nullptr; ++m) list += (list.empty() ? "" : ",") + std::string(*m);
    if (!list.empty()) values[kListIndex] = {list};
    if (given(group.private_data)) values[4] = {group.private_data};
    if (group.primary_idx != -1) values[5] = {std::to_string(group.primary_idx)};
    return values;
}

GroupValues group_values(LDAP *session, LDAPMessage *entry) {
    GroupValues values;
    for (const char *attr : kGroupAttrs) values.push_back(all_values(session, entry, attr));
    return values;
}

ModList group_mods(const GroupValues &values, bool replace) {
    ModList mods;
    for (size_t i = 0; i < values.size() && i < std::size(kGroupAttrs); ++i) {
        if (replace || !values[i].empty()) mods.push(replace ? LDAP_MOD_REPLACE : LDAP_MOD_ADD, kGroupAttrs[i], values[i]);
    }
    return mods;
}

AdminStatus edit_group_members(AdminConfig *config, PrimaryReads &reads, const char *type, const char *gid,
                               const char *cid, bool add) {
    if (config == nullptr || config->subtree == nullptr || !given(type) || !given(gid) || !given(cid))
        return ADMIN_ERR_INVALID_ARGS;
    // A comma would make one CID several members.
    if (!group_names_ok(type, gid) || std::strchr(cid, ',') != nullptr) return ADMIN_ERR_INVALID_ARGS;
    Dn dn = group_dn(type, gid, config->subtree);
    if (!dn.fits()) return ADMIN_ERR_INTERNAL;
    return retry_while_changed("zt_setDtuGrpCIDlistByDtuGID", dn.str(),
                               [&] { return edit_members_once(config, reads, type, gid, dn.str(), cid, add); });
}

}  // namespace zt

using namespace zt;

extern "C" {

int zt_split_CID(const char *cid, char **name_space, char **id) {
    if (name_space != nullptr) *name_space = nullptr;
    if (id != nullptr) *id = nullptr;
    if (cid == nullptr || name_space == nullptr || id == nullptr) return ADMIN_ERR_INVALID_ARGS;
    Cid parts = split_cid(cid);
    *name_space = parts.name_space ? dup_c(*parts.name_space) : nullptr;
    *id = dup_c(parts.id);
    return ADMIN_SUCCESS;
}

int parse_dtulist(const char *text, char ***list) {
    if (list == nullptr) return 0;
    *list = nullptr;
    if (text == nullptr || *text == '\0') return 0;
    std::vector<std::string> members;
    std::string_view rest(text);
    for (;;) {
        size_t comma = rest.find(',');
        CString item(strip_leading_and_trailing_whitespace(std::string(rest.substr(0, comma)).c_str()));
        if (item) members.emplace_back(item.get());
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    *list = dup_string_list(members);
    return static_cast<int>(members.size());
}

char **get_typegroup_from_dtu(AdminConfig *config, const char *cid) {
    if (config == nullptr || config->subtree == nullptr || cid == nullptr) return nullptr;
    Cid parts = split_cid(cid);
    if (parts.id.empty()) return nullptr;
    std::optional<std::string> filter = desktop_filter(parts);
    if (!filter) {
        dprintf("get_typegroup_from_dtu: filter too long");
        return nullptr;
    }
    std::string container = desktop_container(*config);
    if (!fits(container, kDnBufferSize)) {
        dprintf("get_typegroup_from_dtu: basedn too long");
        return nullptr;
    }
    LdapMsgPtr result;
    LDAPMessage *entry = member_entry(config->session, *filter, container, result);
    return entry != nullptr ? all_values_dup(config->session, entry, kTypeGroupsAttr) : nullptr;
}

DtuGrp *fill_dtugroup_struct(AdminConfig *config, LDAPMessage *entry) {
    if (config == nullptr || entry == nullptr) return nullptr;
    return group_from_entry(config->session, entry);
}

int dtugrp_exists(AdminConfig *config, const char *gid, const char *type) {
    if (config == nullptr || config->subtree == nullptr || !given(gid) || !given(type)) return -1;
    std::optional<GroupQuery> query = group_query(config->subtree, type, gid, "dtugrp_exists");
    if (!query) return -1;
    return entry_exists(config->session, query->filter.c_str(), query->base.c_str());
}

AdminStatus get_ldapgroupdobj_bygid(AdminConfig *config, const char *type, const char *gid, LDAPMessage **result,
                                    int primary_only) {
    if (result != nullptr) *result = nullptr;
    if (config == nullptr || config->subtree == nullptr || result == nullptr) return ADMIN_ERR_INVALID_ARGS;
    LdapMsgPtr found;
    AdminStatus status = search_groups(config->session, config->subtree, type, gid, primary_only != 0, found);
    if (status == ADMIN_SUCCESS) *result = found.release();
    return status;
}

int zt_getDtuGrpByDtuGID(AdminConfig *config, const char *type, const char *gid, DtuGrp ***groups) {
    if (groups == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *groups = nullptr;
    if (config == nullptr || config->subtree == nullptr) return ADMIN_ERR_INVALID_ARGS;
    return groups_matching(config->session, config->subtree, type, gid, groups);
}

int zt_getDtuGrpByDtuCID(AdminConfig *config, const char *type, const char *cid, DtuGrp ***groups) {
    if (groups == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *groups = nullptr;
    if (config == nullptr || !given(cid)) return ADMIN_ERR_INVALID_ARGS;
    char **refs = get_typegroup_from_dtu(config, cid);
    std::vector<DtuGrp *> all;
    for (char **ref = refs; ref != nullptr && *ref != nullptr; ++ref) {
        const char *colon = std::strchr(*ref, ':');
        if (colon == nullptr) continue;
        std::string ref_type(*ref, static_cast<size_t>(colon - *ref));
        if (given(type) && !same_text(ref_type, type)) continue;
        DtuGrp **some = nullptr;
        int count = zt_getDtuGrpByDtuGID(config, ref_type.c_str(), colon + 1, &some);
        all.insert(all.end(), some, some + std::max(count, 0));
        std::free(some);
    }
    free_dtulist(refs);
    if (all.empty()) return ADMIN_ERR_NOT_FOUND;
    *groups = group_array(all);
    return static_cast<int>(all.size());
}

AdminStatus zt_getDtuGrpPrimByDtuCID(AdminConfig *config, const char *type, const char *cid, char **primary) {
    if (primary == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *primary = nullptr;
    if (config == nullptr || !given(type) || !given(cid)) return ADMIN_ERR_INVALID_ARGS;
    char **refs = get_typegroup_from_dtu(config, cid);
    GroupListPtr groups;
    for (char **ref = refs; ref != nullptr && *ref != nullptr && !groups; ++ref) {
        const char *colon = std::strchr(*ref, ':');
        if (colon == nullptr || !starts_with_text(*ref, type)) continue;
        DtuGrp **found = nullptr;
        if (zt_getDtuGrpByDtuGID(config, type, colon + 1, &found) > 0 && found[0]->dtulist != nullptr)
            groups.reset(found);
        else
            zt_freeDtuGrplist(found);
    }
    free_dtulist(refs);
    if (!groups) return ADMIN_ERR_NOT_FOUND;
    const DtuGrp &group = *groups.get()[0];
    int index = group.primary_idx < 0 ? 0 : group.primary_idx;
    auto member = [&](const char *m) { return same_text(m, cid); };
    if (std::none_of(group.dtulist, group.dtulist + group.num_dtus, member) || index >= group.num_dtus)
        return ADMIN_ERR_NOT_FOUND;
    *primary = dup_c(group.dtulist[index]);
    return ADMIN_SUCCESS;
}

AdminStatus zt_addDtuGrp(AdminConfig *config, const DtuGrp *group, int replace) {
    if (config == nullptr || config->subtree == nullptr || group == nullptr || group->dtulist == nullptr ||
        !given(group->dtulist[0]) || !given(group->gid) || !given(group->gtype))
        return ADMIN_ERR_INVALID_ARGS;
    if (!group_names_ok(group->gtype, group->gid)) return ADMIN_ERR_INVALID_ARGS;
    GroupPtr copy;
    AdminStatus status = normalized_copy(*group, copy);
    if (status != ADMIN_SUCCESS) return status;
    Dn dn = group_dn(copy->gtype, copy->gid, config->subtree);
    if (!dn.fits()) return ADMIN_ERR_INTERNAL;
    PrimaryReads reads(config);
    std::optional<GroupValues> old = stored_group(config, reads.session(), *copy);
    if (old && replace == 0) return ADMIN_ERR_EXISTS;
    if (write_group(config, dn.str(), group_values(*copy), old.has_value(), DS_KEEP_PRIMARY) != ADMIN_SUCCESS)
        return ADMIN_ERR_INTERNAL;
    std::vector<std::string> touched;
    status = sync_members(config, reads, *copy, false, &touched);
    if (status != ADMIN_SUCCESS) {
        undo_add(config, reads, *copy, dn.str(), old, touched);
        return status;
    }
    if (old) unlink_former_members(config, reads, *copy, *old);
    return ADMIN_SUCCESS;
}

AdminStatus zt_delDtuGrpByDtuGID(AdminConfig *config, const char *type, const char *gid) {
    if (config == nullptr || config->subtree == nullptr || !given(type) || !given(gid) ||
        !group_names_ok(type, gid))
        return ADMIN_ERR_INVALID_ARGS;
    PrimaryReads reads(config);
    return delete_group(config, reads, type, gid).status;
}

AdminStatus zt_setDtuGrpCIDlistByDtuGID(AdminConfig *config, const char *type, const char *gid, const char *cid,
                                        int add) {
    PrimaryReads reads(config);
    return edit_group_members(config, reads, type, gid, cid, add != 0);
}

AdminStatus zt_syncDtuGrp(AdminConfig *config, const DtuGrp *group, int remove) {
    if (config == nullptr || config->subtree == nullptr || group == nullptr ||
        !group_names_ok(group->gtype, group->gid))
        return ADMIN_ERR_INVALID_ARGS;
    PrimaryReads reads(config);
    return sync_members(config, reads, *group, remove != 0);
}

void zt_printDtuGrp(FILE *stream, DtuGrp **groups) {
    if (stream == nullptr || groups == nullptr) return;
    for (int n = 0; groups[n] != nullptr; ++n) {
        const DtuGrp &g = *groups[n];
        std::fprintf(stream,
                     "Entry #%d:\n\tDTU Group ID: %s\n\tprivate data: %s\n\tGroup Type: %s\n\tprimary Index: %d\n"
                     "\tnumber of DTUs: %d\n\tDUT list:\n",
                     n + 1, p(g.gid), p(g.private_data), p(g.gtype), g.primary_idx, g.num_dtus);
        if (g.dtulist == nullptr) continue;
        for (int i = 0; i < g.num_dtus && g.dtulist[i] != nullptr; ++i) std::fprintf(stream, "\t\t%s\n", g.dtulist[i]);
        std::fprintf(stream, "\n");
    }
}

DtuGrp *allocate_dtugrp(void) { return static_cast<DtuGrp *>(safe_malloc(sizeof(DtuGrp))); }

void zt_freeDtuGrp(DtuGrp *group) {
    if (group == nullptr) return;
    std::free(group->gid);
    std::free(group->gtype);
    std::free(group->private_data);
    free_dtulist(group->dtulist);
    std::free(group);
}

void zt_freeDtuGrplist(DtuGrp **groups) {
    if (groups == nullptr) return;
    for (DtuGrp **g = groups; *g != nullptr; ++g) zt_freeDtuGrp(*g);
    std::free(groups);
}

void free_dtulist(char **list) { free_string_list(list); }

void zt_freeDtuCID(char *cid) { std::free(cid); }

}  // extern "C"
