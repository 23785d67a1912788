// admin_desktop.cc - desktop (terminal) records: what the administrator
// set, from the directory, merged with what the server observed, from the
// desktop status database.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin_private.h"
#include "records_common.h"

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
    Desktop *desktop = allocate_desktop();
    for (const DesktopField &f : kDesktopFields) desktop->*f.field = first_value_dup(config->session, entry, f.attr);
    desktop->dtugroup = all_values_dup(config->session, entry, "ztDtuTypeGroups");
    return desktop;
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
    if (config == nullptr || config->subtree == nullptr || filter == nullptr) return ADMIN_ERR_INVALID_ARGS;
    if (!fits(filter, kDesktopFilterBufferSize)) return ADMIN_ERR_INTERNAL;
    std::string base = search_base(kDesktopsContainer, config->subtree);
    LdapMsgPtr result(search_for_entries(config->session, filter, base.c_str(), nullptr, 0, SEARCH_SINGLE));
    LDAPMessage *entry = result ? ldap_first_entry(config->session, result.get()) : nullptr;
    if (entry == nullptr) return ADMIN_ERR_NOT_FOUND;
    Desktop *found = fill_desktop_struct(config, entry);
    if (found == nullptr) return ADMIN_ERR_NOT_FOUND;
    if (found->id != nullptr && config->dstatus_db != nullptr &&
        dbm_desktop_exists(config->dstatus_db, found->id) == 1) {
        fill_desktop_status(config, &found);
    }
    *desktop = found;
    return ADMIN_SUCCESS;
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
