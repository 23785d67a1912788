/* SPDX-License-Identifier: GPL-3.0-or-later */
// terminal_records.h - internal: what the desktop and terminal-group code
// share.  Terminal IDs (CIDs) and the namespace rule, names that may name
// an entry, the reads of a change (made on the primary), and the text rules of
// group member lists and desktop back references, kept pure so that they
// can be checked without a server.
#ifndef ZT_TERMINAL_RECORDS_H
#define ZT_TERMINAL_RECORDS_H

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records_common.h"

namespace zt {

inline constexpr const char *kDefaultNamespace = "IEEE802";
inline constexpr const char *kTypeGroupsAttr = "ztDtuTypeGroups";
// Back-reference values ("TYPE:GROUPID") live in 128-byte buffers.
inline constexpr size_t kBackRefBufferSize = 128;

// A terminal ID split at its first ".": no namespace when there is none.
struct Cid {
    std::optional<std::string> name_space;
    std::string id;
};
Cid split_cid(std::string_view cid);

// The filter that finds the desktop of `cid` (the default namespace also
// matches entries without "ztNamespace"), values escaped; nothing when the
// filter as written from the raw values would not fit its 500 bytes.
std::optional<std::string> desktop_filter(const Cid &cid);

// "ztName=desktops,ROOT": the desktop container as the group code writes it.
std::string desktop_container(const AdminConfig &config);

// True when `value` can name an entry: present and not empty.  Whatever
// it holds is escaped where a DN is built from it.
bool dn_value_ok(const char *value);
// A group type and ID that can name a group and its back references: a
// ":" in the type would move the split of "TYPE:GROUPID".
bool group_names_ok(const char *type, const char *gid);

// Case-blind ASCII comparisons, as the back references and lists are read.
bool same_text(std::string_view a, std::string_view b);
bool starts_with_text(std::string_view text, std::string_view prefix);

// The index of the first value that begins with `type` (case-blind), or
// npos: a desktop holds at most one back reference per group type.
size_t find_type_value(const std::vector<std::string> &values, std::string_view type);

// A member-list edit: leave the group alone, write `list`, or delete the
// group (its last member went).
struct ListChange {
    enum What { kUnchanged, kWrite, kDeleteGroup } what;
    std::string list;
};
// The list is searched as lower-cased text, so a CID contained in another
// member's CID counts as present; a cut leaves any neighbouring commas but
// a trailing one.  `list` null or empty: the group has no member list.
ListChange edit_member_list(const char *list, std::string_view cid, bool add);

// Where the reads of one change go.  The configured server is usually a
// replica that shows the primary's writes only after a delay, so a change
// that decides its next write by what it reads (its own earlier writes, or
// the previous call's) reads from the primary.  A session with it is
// opened on first use and closed with this object; when this host is the
// primary, the configured server is it, or it cannot be found or bound,
// the configured session is used.  The session with the primary may be one
// kept from an earlier step, and is kept again when this object goes.
class PrimaryReads {
public:
    explicit PrimaryReads(AdminConfig *config) : config_(config) {}
    ~PrimaryReads();
    PrimaryReads(const PrimaryReads &) = delete;
    PrimaryReads &operator=(const PrimaryReads &) = delete;
    LDAP *session();

private:
    AdminConfig *config_;
    LDAP *own_ = nullptr;
    SessionKey key_;
    bool decided_ = false;
};

// The desktop that `filter` finds below the desktop container, read on
// `session`, with its observed status merged; ADMIN_ERR_NOT_FOUND when
// there is not exactly one.
AdminStatus desktop_by_filter(AdminConfig *config, LDAP *session, const char *filter, Desktop **desktop);

// ------------------------------------------------------ concurrent writers
// Member lists and back references are read, changed and written back, and
// other administrators' tools do the same at the same time.  So each write
// says what it expects to replace: it deletes the exact value it read and
// adds the new one in one modify (which the server refuses when the value is
// gone), and a value added where none was carries an assertion that there
// is still none (RFC 4528; the attributes are multi-valued, so an add alone
// would succeed twice).  A refused write is read again on the primary and
// tried again, at most this many times in all.
inline constexpr int kWriteAttempts = 10;

// What one attempt of such a change came to: its status, and whether the
// server refused it because another writer changed the entry first.
struct Tried {
    AdminStatus status;
    bool changed_meanwhile;
};

// Writes to `dn` through the executor with `flags`: a modify of `mods`, or
// a delete when `mods` is null, carrying the critical assertion `assertion`
// (a filter the entry must still match; empty: none), which is encoded with
// `session`.  The executor's status; `ldap_code` as exec_with_controls
// gives it.
AdminStatus exec_expecting(AdminConfig *config, LDAP *session, const std::string &dn, LDAPMod **mods, int flags,
                           const std::string &assertion, int *ldap_code);
// The same without flags, as a change of a list or reference: a failure is
// -1, and says whether another writer changed the entry first.
Tried write_expecting(AdminConfig *config, LDAP *session, const std::string &dn, LDAPMod **mods,
                      const std::string &assertion);

// Runs `attempt` until it is not refused for a change made meanwhile, at
// most kWriteAttempts times, with a short random pause in between; the
// last refusal logs "WHO: WHAT changed by others N times, nothing written"
// and gives -1.  Otherwise the status of the last attempt.
AdminStatus retry_while_changed(const char *who, const std::string &what, const std::function<Tried()> &attempt);

// The filter of an entry that holds no value of `attr` beginning with
// `prefix` (an empty prefix: no value at all).
std::string none_beginning(const char *attr, std::string_view prefix);

// Adds (add) or removes the CID in the member list of the group, reading
// the group through `reads`; the statuses of zt_setDtuGrpCIDlistByDtuGID.
AdminStatus edit_group_members(AdminConfig *config, PrimaryReads &reads, const char *type, const char *gid,
                               const char *cid, bool add);

// The values a group entry is written with, one list per attribute in
// the order objectClass, ztGroupID, ztGroupType, ztDtuCIDlist (the members
// joined by ","), ztPrivateData, ztPrimaryIdx; an empty list for none.
using GroupValues = std::vector<std::vector<std::string>>;
GroupValues group_values(const DtuGrp &group);
// The same attributes as a stored entry holds them.
GroupValues group_values(LDAP *session, LDAPMessage *entry);
// Adding leaves out attributes without a value; replacing sends them all,
// so that one without a value is removed.
ModList group_mods(const GroupValues &values, bool replace);

}  // namespace zt

#endif  // ZT_TERMINAL_RECORDS_H
