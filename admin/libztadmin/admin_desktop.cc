// SPDX-License-Identifier: GPL-3.0-or-later
// admin_desktop.cc - desktop (terminal) records: what the administrator
// set, from the directory, merged with what the server observed, from the
// desktop status database; their changes, finding a desktop by terminal ID,
// and its membership in typed terminal groups.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"
#include "terminal_records.h"

namespace zt {
namespace {

constexpr size_t kDesktopFilterBufferSize = 500;

// Each single-valued attribute of a desktop entry and its record field.
struct DesktopField {
    const char *attr;
    char *Desktop::*field;
};

constexpr DesktopField kDesktopFields[] = {
    {"ztID", &Desktop::id},
    {"ztModel", &Desktop::model},
    {"ztFirmwareRev", &Desktop::firmware_rev},
    {"ztLocation", &Desktop::location},
    {"ztOtherInfo", &Desktop::other_info},
    {"ztStatus", &Desktop::status},
    {"ztLastTime", &Desktop::last_status_time},
    {"ztFirstTime", &Desktop::first_conn_time},
    {"ztMisc1", &Desktop::misc1},
    {"ztMisc2", &Desktop::misc2},
    {"ztNamespace", &Desktop::namespace_},
};

// Replaces `*field` with a copy of `value` (null stays null).
void replace_field(char **field, const char *value) {
    std::free(*field);
    *field = safe_strdup(value);
}

const char *nil(const char *s) { return s != nullptr ? s : "(nil)"; }

// The local time of a decimal seconds text, or empty when it is absent.
std::string time_text(const char *seconds) {
    if (seconds == nullptr) return "";
    CString text(time_field_to_time_string(static_cast<time_t>(std::strtoll(seconds, nullptr, 10))));
    return text ? text.get() : "";
}

// A desktop record from an entry read on `session`.
Desktop *desktop_from_entry(LDAP *session, LDAPMessage *entry) {
    Desktop *desktop = allocate_desktop();
    for (const DesktopField &f : kDesktopFields) desktop->*f.field = first_value_dup(session, entry, f.attr);
    desktop->dtugroup = all_values_dup(session, entry, kTypeGroupsAttr);
    return desktop;
}

void print_groups(char **groups) {
    if (groups == nullptr) {
        std::fprintf(stderr, "(nil)\n");
        return;
    }
    for (char **group = groups; *group != nullptr; ++group) {
        std::fprintf(stderr, "%s%s\n", group == groups ? "" : "\t\t\t", *group);
    }
}

}  // namespace
}  // namespace zt

using namespace zt;

extern "C" {

Desktop *allocate_desktop(void) { return static_cast<Desktop *>(safe_malloc(sizeof(Desktop))); }

void free_desktop(Desktop *desktop) {
    if (desktop == nullptr) return;
    for (const DesktopField &f : kDesktopFields) std::free(desktop->*f.field);
    free_string_list(desktop->dtugroup);
    std::free(desktop);
}

Desktop *fill_desktop_struct(AdminConfig *config, LDAPMessage *entry) {
    if (config == nullptr || entry == nullptr) return nullptr;
    return desktop_from_entry(config->session, entry);
}

int fill_desktop_status(AdminConfig *config, Desktop **desktop) {
    if (config == nullptr || desktop == nullptr || *desktop == nullptr) return -1;
    Desktop *d = *desktop;
    DbmDesktop *status = nullptr;
    if (d->id != nullptr && config->dstatus_db != nullptr) status = get_dbm_desktop(config->dstatus_db, d->id);
    if (status == nullptr) {
        dprintf("fill_desktop_status(): Could not find equivalent dbm desktop with desktop_id (%s)\n", nil(d->id));
        return -1;
    }
    replace_field(&d->model, status->model);
    replace_field(&d->firmware_rev, status->firmware_rev);
    replace_field(&d->status, status->status);
    replace_field(&d->last_status_time, status->last_status_time);
    replace_field(&d->first_conn_time, status->first_conn_time);
    free_dbm_desktop(status);
    return 0;
}

AdminStatus getDtuByFilter(AdminConfig *config, const char *filter, Desktop **desktop) {
    if (desktop == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *desktop = nullptr;
    if (config == nullptr || filter == nullptr) return ADMIN_ERR_INVALID_ARGS;
    if (!fits(filter, kDesktopFilterBufferSize)) return ADMIN_ERR_INTERNAL;
    return desktop_by_filter(config, config->session, filter, desktop);
}

Desktop *get_desktop(AdminConfig *config, const char *id) {
    if (id == nullptr || *id == '\0') return nullptr;
    if (!fits(std::string("ztID=") + id, kDesktopFilterBufferSize)) return nullptr;
    std::string filter = "ztID=" + filter_escape(id);
    Desktop *desktop = nullptr;
    getDtuByFilter(config, filter.c_str(), &desktop);
    return desktop;
}

int desktop_exists(AdminConfig *config, const char *id) {
    if (config == nullptr || config->subtree == nullptr || id == nullptr) return -1;
    std::string filter = "ztID=" + filter_escape(id);
    std::string base = search_base(kDesktopsContainer, config->subtree);
    return entry_exists(config->session, filter.c_str(), base.c_str());
}

void print_desktop(const Desktop *d) {
    if (d == nullptr) return;
    std::fprintf(stderr,
                 "desktop:\n  id                  = %s\n  namespace           = %s\n  model               = %s\n"
                 "  firmware_rev        = %s\n  location            = %s\n  other_info          = %s\n"
                 "  status              = %s\n  last_status_time    = %s (%s)\n  first_conn_time     = %s (%s)\n"
                 "  misc1               = %s\n  misc2               = %s\n  dtugroup            = ",
                 nil(d->id), nil(d->namespace_), nil(d->model), nil(d->firmware_rev), nil(d->location),
                 nil(d->other_info), nil(d->status), nil(d->last_status_time), time_text(d->last_status_time).c_str(),
                 nil(d->first_conn_time), time_text(d->first_conn_time).c_str(), nil(d->misc1), nil(d->misc2));
    print_groups(d->dtugroup);
}

}  // extern "C"

// ------------------------------------------- shared with the group code

namespace zt {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Builds the desktop filter with `escape` applied to the values.
template <typename Escape>
std::string desktop_filter_with(const Cid &cid, Escape escape) {
    if (!cid.name_space || same_text(*cid.name_space, kDefaultNamespace))
        return "(&(objectclass=ztDesktop)(&(ztid=" + escape(cid.id) +
               ")(|(ztNamespace=IEEE802)(!(ztNamespace=*)))))";
    return "(&(objectclass=ztDesktop)(ztID=" + escape(cid.id) + ")(ztNamespace=" + escape(*cid.name_space) + "))";
}

}  // namespace

Cid split_cid(std::string_view cid) {
    size_t dot = cid.find('.');
    if (dot == std::string_view::npos) return Cid{std::nullopt, std::string(cid)};
    return Cid{std::string(cid.substr(0, dot)), std::string(cid.substr(dot + 1))};
}

std::optional<std::string> desktop_filter(const Cid &cid) {
    // The limit counts the text as written from the raw values.
    if (!fits(desktop_filter_with(cid, [](std::string_view v) { return std::string(v); }), kDnBufferSize))
        return std::nullopt;
    return desktop_filter_with(cid, filter_escape);
}

std::string desktop_container(const AdminConfig &config) {
    return search_base_compact(kDesktopsContainer, config.subtree);
}

bool dn_value_ok(const char *value) { return value != nullptr && *value != '\0'; }

bool group_names_ok(const char *type, const char *gid) {
    return dn_value_ok(type) && dn_value_ok(gid) && std::strchr(type, ':') == nullptr;
}

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && starts_with_text(a, b);
}

bool starts_with_text(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    return true;
}

size_t find_type_value(const std::vector<std::string> &values, std::string_view type) {
    for (size_t i = 0; i < values.size(); ++i)
        if (starts_with_text(values[i], type)) return i;
    return std::string::npos;
}

LDAP *PrimaryReads::session() {
    if (!decided_) {
        decided_ = true;
        char *name = nullptr;
        int port = -1;
        if (zt_getDSprimary(&name, &port) != ADMIN_SUCCESS) {
            dlprintf("d", "primary server unknown: reading from %s\n", p(config_->server_name));
            return config_->session;
        }
        CString host(name);
        if (zt_isDSprimary() || config_->server_name == nullptr || strcasecmp(host.get(), config_->server_name) == 0)
            return config_->session;
        // Same port, identity and mechanism as the executor uses for the primary.
        AdminStatus status = ADMIN_SUCCESS;
        own_ = take_session(config_, host.get(), &status);
        key_ = session_key(config_, host.get());
        if (own_ == nullptr) dlprintf("d", "primary server %s unreachable (%s): reading from %s\n", host.get(),
                                      zt_err2str(status), config_->server_name);
    }
    return own_ != nullptr ? own_ : config_->session;
}

PrimaryReads::~PrimaryReads() { keep_session(std::move(key_), own_); }

AdminStatus desktop_by_filter(AdminConfig *config, LDAP *session, const char *filter, Desktop **desktop) {
    *desktop = nullptr;
    if (config->subtree == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string base = search_base(kDesktopsContainer, config->subtree);
    LdapMsgPtr result(search_for_entries(session, filter, base.c_str(), nullptr, 0, SEARCH_SINGLE));
    LDAPMessage *entry = result ? ldap_first_entry(session, result.get()) : nullptr;
    if (entry == nullptr) return ADMIN_ERR_NOT_FOUND;
    Desktop *found = desktop_from_entry(session, entry);
    if (found->id != nullptr && config->dstatus_db != nullptr &&
        dbm_desktop_exists(config->dstatus_db, found->id) == 1) {
        fill_desktop_status(config, &found);
    }
    *desktop = found;
    return ADMIN_SUCCESS;
}

}  // namespace zt

// ------------------------------------------------------------- changes

namespace {

constexpr const char *kDesktopLog = "desktop";

// The administrator's texts of a desktop and their attributes.
constexpr DesktopField kTextFields[] = {
    {"ztLocation", &Desktop::location},
    {"ztOtherInfo", &Desktop::other_info},
    {"ztMisc1", &Desktop::misc1},
    {"ztMisc2", &Desktop::misc2},
};

// `text` without leading and trailing blanks; null when nothing is left.
CString trimmed(const char *text) { return CString(strip_leading_and_trailing_whitespace(text)); }

Dn desktop_dn(const AdminConfig &config, const char *id) {
    return entry_dn(id, kDesktopsContainer, config.subtree);
}

bool is_default_namespace(const char *name_space) {
    return name_space == nullptr || *name_space == '\0' || same_text(name_space, kDefaultNamespace);
}

bool has_groups(char *const *groups) { return groups != nullptr && groups[0] != nullptr; }

std::vector<std::string> group_list(char *const *groups) {
    std::vector<std::string> list;
    for (char *const *g = groups; g != nullptr && *g != nullptr; ++g) list.emplace_back(*g);
    return list;
}

// The attributes of a new desktop entry: texts trimmed, empty ones left out.
ModList desktop_entry(const Desktop &desktop) {
    ModList entry;
    entry.add("objectClass", "ztDesktop");
    entry.add("ztID", desktop.id);
    for (const DesktopField &f : kTextFields) entry.add(f.attr, trimmed(desktop.*f.field).get());
    return entry;
}

// What the second step of an add writes: the groups, and a namespace
// other than the default.  Empty when there is neither.
ModList desktop_extras(const Desktop &desktop) {
    ModList extras;
    if (has_groups(desktop.dtugroup)) extras.push(LDAP_MOD_REPLACE, kTypeGroupsAttr, group_list(desktop.dtugroup));
    if (!is_default_namespace(desktop.namespace_)) extras.replace("ztNamespace", desktop.namespace_);
    return extras;
}

// The desktop whose ID is `id`, read on the primary; null when not exactly one.
Desktop *desktop_on_primary(AdminConfig *config, const char *id) {
    if (!dn_value_ok(id) || config->subtree == nullptr) return nullptr;
    std::string filter = "ztID=" + filter_escape(id);
    PrimaryReads reads(config);
    Desktop *desktop = nullptr;
    desktop_by_filter(config, reads.session(), filter.c_str(), &desktop);
    return desktop;
}

void log_edit_failure(const char *id, const char *debug, const char *reason) {
    dprintf("%s", debug);
    log_admin(kDesktopLog, "Error editing desktop properties for desktop id %s", id != nullptr ? id : "(null)");
    log_admin(kDesktopLog, "%s", reason);
}

// The write that makes a desktop's membership of `type` `value` (none: it
// ends), given the references it holds: the exact old value deleted and
// the new one added, or, where it holds none of the type, the new one added
// expecting that there is still none.  `change` stays empty when nothing is
// to be written; `old` receives the value that is replaced or removed.
void reference_change(const std::vector<std::string> &values, const char *type,
                      const std::optional<std::string> &value, ModList &change, std::string &expected,
                      std::optional<std::string> &old) {
    size_t at = find_type_value(values, type);
    if (at != std::string::npos) {
        old = values[at];
        change.delete_value(kTypeGroupsAttr, old->c_str());
    } else if (value) {
        expected = none_beginning(kTypeGroupsAttr, type);
    }
    if (value) change.add_value(kTypeGroupsAttr, value->c_str());
}

// The back references of the desktop that `filter` finds, read on
// `session`: 0, -4 when no single desktop matches, -1 when the result holds
// no entry.
AdminStatus read_references(LDAP *session, const AdminConfig &config, const std::string &filter,
                            std::vector<std::string> &values) {
    std::string container = desktop_container(config);
    char attr[] = "ztDtuTypeGroups";
    char *attrs[] = {attr, nullptr};
    LdapMsgPtr result(search_for_entries(session, filter.c_str(), container.c_str(), attrs, 0, SEARCH_SINGLE));
    if (!result) return ADMIN_ERR_NOT_FOUND;
    LDAPMessage *entry = ldap_first_entry(session, result.get());
    if (entry == nullptr) return ADMIN_ERR_INTERNAL;
    values = all_values(session, entry, kTypeGroupsAttr);
    return ADMIN_SUCCESS;
}

// One attempt at the desktop's back reference: read on the primary, written
// expecting what was read.
Tried move_reference_once(AdminConfig *config, LDAP *session, const std::string &filter, const std::string &dn,
                          const char *type, const std::optional<std::string> &value,
                          std::optional<std::string> &old) {
    std::vector<std::string> values;
    if (AdminStatus read = read_references(session, *config, filter, values); read != ADMIN_SUCCESS)
        return {read, false};
    ModList change;
    std::string expected;
    old.reset();
    reference_change(values, type, value, change, expected, old);
    if (change.empty()) return {ADMIN_SUCCESS, false};
    return write_expecting(config, session, dn, change.mods(), expected);
}

// True when the desktop still holds `value` as its reference of `type`.
bool still_refers(LDAP *session, const AdminConfig &config, const std::string &filter, const char *type,
                  const std::string &value) {
    std::vector<std::string> values;
    if (read_references(session, config, filter, values) != ADMIN_SUCCESS) return false;
    size_t at = find_type_value(values, type);
    return at != std::string::npos && same_text(values[at], value);
}

// Moves the CID from the member list of the group `old` named to that of
// the new group (none when `gid` is null).  Staying in the same group
// leaves the list alone but for adding the CID when it is missing: taking
// it out first would delete a group whose only member it is.  When another
// writer has moved the desktop on meanwhile (its reference, read again
// after the list was written, names another group), the CID is taken out
// of the new list again: that writer has already taken it out of the lists
// it knew of, and a list must not keep a member that refers elsewhere.
void move_between_lists(AdminConfig *config, PrimaryReads &reads, const char *cid,
                        const std::optional<std::string> &old, const char *type, const char *gid,
                        const std::string &filter) {
    if (old) {
        size_t colon = old->find(':');
        bool same = gid != nullptr && same_text(*old, std::string(type) + ":" + gid);
        if (colon != std::string::npos && !same)
            edit_group_members(config, reads, old->substr(0, colon).c_str(), old->c_str() + colon + 1, cid, false);
    }
    if (gid == nullptr || edit_group_members(config, reads, type, gid, cid, true) != ADMIN_SUCCESS) return;
    if (!still_refers(reads.session(), *config, filter, type, std::string(type) + ":" + gid))
        edit_group_members(config, reads, type, gid, cid, false);
}

}  // namespace

extern "C" {

AdminStatus add_desktop(AdminConfig *config, const Desktop *desktop, const char *raw_token_id) {
    if (config == nullptr || config->subtree == nullptr || desktop == nullptr || !dn_value_ok(desktop->id) ||
        raw_token_id == nullptr || *raw_token_id == '\0')
        return ADMIN_ERR_INVALID_ARGS;
    Dn dn = desktop_dn(*config, desktop->id);
    if (!dn.fits()) return ADMIN_ERR_INTERNAL;
    ModList entry = desktop_entry(*desktop);
    AdminStatus status = zt_addDsEntry(config, dn.c_str(), entry.mods(), DS_KEEP_PRIMARY);
    if (status != ADMIN_SUCCESS) return status;
    PrimaryReads reads(config);
    ModList extras = desktop_extras(*desktop);
    if (!extras.empty()) {
        // The groups replace what the new entry holds, expecting it to hold
        // none yet: a group another writer has meanwhile put it in must stay.
        std::string expected = has_groups(desktop->dtugroup) ? none_beginning(kTypeGroupsAttr, "") : "";
        status = exec_expecting(config, reads.session(), dn.str(), extras.mods(), DS_KEEP_PRIMARY, expected, nullptr);
        if (status != ADMIN_SUCCESS) return status;
    }
    RawToken token{};
    token.id = const_cast<char *>(raw_token_id);
    token.token_type = const_cast<char *>("desktop");
    return add_raw_token_checked_on(config, reads.session(), &token);
}

AdminStatus modify_desktop(AdminConfig *config, const Desktop *desktop) {
    if (config == nullptr || config->subtree == nullptr || desktop == nullptr || !dn_value_ok(desktop->id))
        return ADMIN_ERR_INTERNAL;
    Dn dn = desktop_dn(*config, desktop->id);
    if (!dn.fits()) return ADMIN_ERR_INTERNAL;
    ModList texts;
    for (const DesktopField &f : kTextFields) texts.replace(f.attr, trimmed(desktop->*f.field).get());
    if (zt_modifyDsEntry(config, dn.c_str(), texts.mods(), DS_KEEP_PRIMARY) != ADMIN_SUCCESS) return ADMIN_ERR_INTERNAL;
    ModList groups;
    groups.push(LDAP_MOD_REPLACE, kTypeGroupsAttr, group_list(desktop->dtugroup));
    const char *name_space = desktop->namespace_;
    groups.replace("ztNamespace", name_space != nullptr && *name_space != '\0' ? name_space : nullptr);
    if (zt_modifyDsEntry(config, dn.c_str(), groups.mods(), 0) != ADMIN_SUCCESS) return ADMIN_ERR_INTERNAL;
    return ADMIN_SUCCESS;
}

AdminStatus delete_desktop(AdminConfig *config, const char *raw_token_id, const char *desktop_id) {
    if (config == nullptr || config->subtree == nullptr || raw_token_id == nullptr || *raw_token_id == '\0' ||
        !dn_value_ok(desktop_id))
        return ADMIN_ERR_INVALID_ARGS;
    Dn dn = desktop_dn(*config, desktop_id);
    if (!dn.fits()) return ADMIN_ERR_INTERNAL;
    std::string token_filter = "ztID=" + filter_escape(raw_token_id);
    std::string token_base = search_base(kRawTokensContainer, config->subtree);
    PrimaryReads reads(config);
    if (entry_exists(reads.session(), token_filter.c_str(), token_base.c_str()) == 1) {
        AdminStatus status = delete_raw_token(config, raw_token_id);
        if (status != ADMIN_SUCCESS) return status;
    }
    AdminStatus status = zt_deleteDsEntry(config, dn.c_str(), 0);
    if (dbm_desktop_exists(config->dstatus_db, raw_token_id) == 1) delete_dbm_desktop(config, raw_token_id);
    return status;
}

AdminStatus edit_simple_desktop(AdminConfig *config, const char *id, const char *location, const char *other_info) {
    if (config == nullptr) return ADMIN_ERR_INTERNAL;
    std::unique_ptr<Desktop, void (*)(Desktop *)> desktop(desktop_on_primary(config, id), free_desktop);
    if (!desktop) {
        log_edit_failure(id, "edit_simple_desktop(): Could not get LDAP desktop.",
                         "Unable to obtain desktop information from ldap");
        return ADMIN_ERR_INTERNAL;
    }
    if (safe_strcmp(location, desktop->location) == 0 && safe_strcmp(other_info, desktop->other_info) == 0)
        return ADMIN_ERR_NO_CHANGE;
    std::free(desktop->location);
    desktop->location = trimmed(location).release();
    std::free(desktop->other_info);
    desktop->other_info = trimmed(other_info).release();
    if (modify_desktop(config, desktop.get()) != ADMIN_SUCCESS) {
        log_edit_failure(id, "edit_simple_desktop(): Modify LDAP desktop failed.", "Unable to update ldap information.");
        return ADMIN_ERR_INTERNAL;
    }
    log_admin(kDesktopLog, "Desktop id (%s) properties successfully modified.", id);
    return ADMIN_SUCCESS;
}

AdminStatus zt_getDtuByDtuCID(AdminConfig *config, const char *cid, Desktop **desktop) {
    if (desktop == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *desktop = nullptr;
    if (config == nullptr || cid == nullptr || *cid == '\0') return ADMIN_ERR_INVALID_ARGS;
    Cid parts = split_cid(cid);
    if (parts.id.empty()) return ADMIN_ERR_INTERNAL;
    std::optional<std::string> filter = desktop_filter(parts);
    if (!filter) return ADMIN_ERR_INTERNAL;
    return desktop_by_filter(config, config->session, filter->c_str(), desktop);
}

AdminStatus zt_setDtuGIDByDtuCID(AdminConfig *config, const char *cid, const char *gid, const char *type) {
    if (config == nullptr || config->subtree == nullptr || cid == nullptr || type == nullptr || *type == '\0')
        return ADMIN_ERR_INVALID_ARGS;
    Cid parts = split_cid(cid);
    std::optional<std::string> filter = desktop_filter(parts);
    std::string container = desktop_container(*config);
    Dn dn = Dn().text("ztid=").value(parts.id).text(",").text(container);
    // No ID part; likewise a group type and ID the new back reference
    // cannot name (its group is edited next).
    if (!dn_value_ok(parts.id.c_str()) || !filter || !dn.fits()) return ADMIN_ERR_INTERNAL;
    std::optional<std::string> value;
    if (gid != nullptr) {
        value = std::string(type) + ":" + gid;
        if (!group_names_ok(type, gid) || !fits(*value, kBackRefBufferSize)) return ADMIN_ERR_INTERNAL;
    }
    PrimaryReads reads(config);
    std::optional<std::string> old;
    AdminStatus status = retry_while_changed("zt_setDtuGIDByDtuCID", dn.str(), [&] {
        return move_reference_once(config, reads.session(), *filter, dn.str(), type, value, old);
    });
    if (status != ADMIN_SUCCESS) return status;
    move_between_lists(config, reads, cid, old, type, gid, *filter);
    return ADMIN_SUCCESS;
}

AdminStatus zt_setDtuMHGIDByDtuCID(AdminConfig *config, const char *cid, const char *gid) {
    return zt_setDtuGIDByDtuCID(config, cid, gid, "MULTIHEAD");
}

}  // extern "C"
