// SPDX-License-Identifier: GPL-3.0-or-later
// admin_dstatus.cc - the desktop status database: what the server observed
// of each desktop terminal, one record per desktop ID in a local DBM file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin_private.h"
#include "status_dbm.h"

namespace {

namespace sd = zt::status_dbm;

// The stored value of `desktop` (absent fields as empty text), or nullopt
// when it has no ID or cannot be stored whole.
std::optional<std::string> encode_desktop(const DbmDesktop *desktop) {
    if (desktop == nullptr || desktop->id == nullptr || *desktop->id == '\0') return std::nullopt;
    return sd::encode({desktop->id, sd::or_empty(desktop->model), sd::or_empty(desktop->firmware_rev),
                       sd::or_empty(desktop->status), sd::or_empty(desktop->last_status_time),
                       sd::or_empty(desktop->first_conn_time)});
}

// Fetches and parses the record of `id` through an open handle; traces a
// missing record.
DbmDesktop *fetch_desktop(DBM *db, const char *id) {
    datum value = dbm_fetch(db, sd::key_of(id));
    if (value.dptr == nullptr) {
        zt::dlprintf("a", "No desktop record.\n");
        return nullptr;
    }
    return fill_dbm_desktop_struct(value);
}

// The local time of a decimal seconds field; empty when the field is absent.
std::string time_text(const char *seconds) {
    if (seconds == nullptr) return std::string();
    zt::CString text(time_field_to_time_string(static_cast<time_t>(std::strtoll(seconds, nullptr, 10))));
    return sd::or_empty(text.get());
}

}  // namespace

extern "C" {

DBM *open_desktop_dbm(const char *path, int mode) { return sd::open(path, mode); }

void close_desktop_dbm(DBM *db) { sd::close(db); }

int add_dbm_desktop(AdminConfig *config, const DbmDesktop *desktop) {
    if (config == nullptr) return -1;
    std::optional<std::string> value = encode_desktop(desktop);
    if (!value) return -1;
    sd::OpHandle db = sd::for_file(config->dstatus_db, config->dstatus_dbfile, config->access_level, sd::Use::kWrite);
    if (!db) return -1;
    return sd::store(db.get(), desktop->id, *value, DBM_INSERT);
}

int modify_dstatus(DBM *db, const DbmDesktop *desktop) {
    std::optional<std::string> value = encode_desktop(desktop);
    if (!value) return -1;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kWrite);
    if (!handle) return -1;
    return sd::store(handle.get(), desktop->id, *value, DBM_REPLACE);
}

int delete_dbm_desktop(AdminConfig *config, const char *id) {
    if (config == nullptr || id == nullptr) return -1;
    // Looked up read-only first, so that an unknown ID leaves the file untouched.
    sd::OpHandle reader = sd::for_file(config->dstatus_db, config->dstatus_dbfile, config->access_level, sd::Use::kRead);
    auto *existing = reader ? fetch_desktop(reader.get(), id) : nullptr;
    if (existing == nullptr) {
        zt::dprintf("delete_dbm_desktop(): Could not get dbm_desktop (%s)", id);
        return -1;
    }
    free_dbm_desktop(existing);
    sd::OpHandle writer = sd::for_file(config->dstatus_db, config->dstatus_dbfile, config->access_level, sd::Use::kWrite);
    return writer && dbm_delete(writer.get(), sd::key_of(id)) == 0 ? 0 : -1;
}

DbmDesktop *get_dbm_desktop(DBM *db, const char *id) {
    if (id == nullptr) return nullptr;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    return handle ? fetch_desktop(handle.get(), id) : nullptr;
}

DesktopList *get_all_dbm_desktops(DBM *db) {
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    if (!handle) return nullptr;
    std::vector<DbmDesktop *> desktops;
    sd::for_each_value(handle.get(), [&](datum value) { desktops.push_back(fill_dbm_desktop_struct(value)); });
    return sd::build_sorted(std::move(desktops), &DesktopList::desktop);
}

int dbm_desktop_exists(DBM *db, const char *id) {
    if (id == nullptr) return 0;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    return handle && dbm_fetch(handle.get(), sd::key_of(id)).dptr != nullptr ? 1 : 0;
}

void add_desktop_to_list(DesktopList **list, DbmDesktop *desktop) {
    sd::insert_sorted(list, desktop, &DesktopList::desktop);
}

void free_DesktopList(DesktopList **list) { sd::free_list(list, &DesktopList::desktop, free_dbm_desktop); }

// Fields missing from a short value stay null.
DbmDesktop *fill_dbm_desktop_struct(datum value) {
    sd::Fields fields = sd::decode(value);
    DbmDesktop *desktop = allocate_dbm_desktop();
    desktop->id = sd::dup_field(fields[0]);
    desktop->model = sd::dup_field(fields[1]);
    desktop->firmware_rev = sd::dup_field(fields[2]);
    desktop->status = sd::dup_field(fields[3]);
    desktop->last_status_time = sd::dup_field(fields[4]);
    desktop->first_conn_time = sd::dup_field(fields[5]);
    return desktop;
}

DbmDesktop *allocate_dbm_desktop(void) { return static_cast<DbmDesktop *>(safe_malloc(sizeof(DbmDesktop))); }

void free_dbm_desktop(DbmDesktop *desktop) {
    if (desktop == nullptr) return;
    std::free(desktop->id);
    std::free(desktop->model);
    std::free(desktop->firmware_rev);
    std::free(desktop->status);
    std::free(desktop->last_status_time);
    std::free(desktop->first_conn_time);
    std::free(desktop);
}

void print_dbm_desktop(const DbmDesktop *desktop) {
    if (desktop == nullptr) return;
    std::fprintf(stderr,
                 "desktop:\n  id                 = %s\n  model              = %s\n"
                 "  firmware_rev       = %s\n  status             = %s\n"
                 "  last_status_time   = %s (%s)\n  first_conn_time    = %s (%s)\n",
                 sd::or_nil(desktop->id), sd::or_nil(desktop->model), sd::or_nil(desktop->firmware_rev),
                 sd::or_nil(desktop->status), sd::or_nil(desktop->last_status_time),
                 time_text(desktop->last_status_time).c_str(), sd::or_nil(desktop->first_conn_time),
                 time_text(desktop->first_conn_time).c_str());
}

}  // extern "C"
