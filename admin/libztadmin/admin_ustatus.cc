// SPDX-License-Identifier: GPL-3.0-or-later
// admin_ustatus.cc - the user status database: one record per user ID with
// the user's login status, kept in a local DBM file shared with the
// services that record logins.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin_private.h"
#include "status_dbm.h"

namespace {

namespace sd = zt::status_dbm;

// The stored value of `user`, or nullopt when it cannot be stored whole.
// `id` and `name` must be present; an absent `last_desktop` is written as
// an empty field only when `absent_desktop_ok`.
std::optional<std::string> encode_user(const DbmUser *user, bool absent_desktop_ok) {
    if (user == nullptr || user->id == nullptr || *user->id == '\0' || user->name == nullptr) return std::nullopt;
    if (user->last_desktop == nullptr && !absent_desktop_ok) return std::nullopt;
    std::string create_time = std::to_string(user->create_time);
    std::string status = std::to_string(user->status);
    std::string last_time = std::to_string(user->last_time);
    return sd::encode({user->id, user->name, create_time, status, sd::or_empty(user->last_desktop), last_time});
}

// Fetches and parses the record of `user_id` through an open handle; traces
// a missing record.
DbmUser *fetch_user(DBM *db, const char *user_id) {
    datum value = dbm_fetch(db, sd::key_of(user_id));
    if (value.dptr == nullptr) {
        zt::dlprintf("a", "No user record.\n");
        return nullptr;
    }
    return fill_dbm_user_struct(value);
}

const char *status_word(int status) {
    switch (status) {
        case USTATUS_NEVER: return "Never";
        case USTATUS_LOGGED_IN: return "Logged in";
        case USTATUS_LOGGED_OUT: return "Logged out";
        default: return "Unknown";
    }
}

}  // namespace

extern "C" {

DBM *open_user_dbm(const char *path, int access) { return sd::open(path, access); }

void close_user_dbm(DBM *db) { sd::close(db); }

int add_dbm_user(AdminConfig *conn, const DbmUser *user) {
    if (conn == nullptr) return -1;
    std::optional<std::string> value = encode_user(user, true);
    if (!value) return -1;
    sd::OpHandle db = sd::for_file(conn->ustatus_db, conn->ustatus_dbfile, conn->access_level, sd::Use::kWrite);
    if (!db) return -1;
    return sd::store(db.get(), user->id, *value, DBM_INSERT);
}

int modify_ustatus(DBM *db, const DbmUser *user) {
    std::optional<std::string> value = encode_user(user, false);
    if (!value) return -1;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kWrite);
    if (!handle) return -1;
    return sd::store(handle.get(), user->id, *value, DBM_REPLACE);
}

int delete_dbm_user(AdminConfig *conn, const char *user_id) {
    if (conn == nullptr || user_id == nullptr) return -1;
    // Looked up read-only first, so that an unknown ID leaves the file untouched.
    sd::OpHandle reader = sd::for_file(conn->ustatus_db, conn->ustatus_dbfile, conn->access_level, sd::Use::kRead);
    auto *existing = reader ? fetch_user(reader.get(), user_id) : nullptr;
    if (existing == nullptr) {
        zt::dprintf("delete_dbm_user(): Could not get dbm_user (%s)", user_id);
        return -1;
    }
    free_dbm_user(existing);
    sd::OpHandle writer = sd::for_file(conn->ustatus_db, conn->ustatus_dbfile, conn->access_level, sd::Use::kWrite);
    return writer && dbm_delete(writer.get(), sd::key_of(user_id)) == 0 ? 0 : -1;
}

DbmUser *get_dbm_user(DBM *db, const char *user_id) {
    if (user_id == nullptr) return nullptr;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    return handle ? fetch_user(handle.get(), user_id) : nullptr;
}

int dbm_user_exists(DBM *db, const char *user_id) {
    if (user_id == nullptr) return 0;
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    return handle && dbm_fetch(handle.get(), sd::key_of(user_id)).dptr != nullptr ? 1 : 0;
}

UserList *get_all_dbm_users(DBM *db) {
    sd::OpHandle handle = sd::for_handle(db, sd::Use::kRead);
    if (!handle) return nullptr;
    std::vector<DbmUser *> users;
    sd::for_each_value(handle.get(), [&](datum value) { users.push_back(fill_dbm_user_struct(value)); });
    return sd::build_sorted(std::move(users), &UserList::user);
}

void add_user_to_list(UserList **list, DbmUser *user) { sd::insert_sorted(list, user, &UserList::user); }

void free_UserList(UserList **list) { sd::free_list(list, &UserList::user, free_dbm_user); }

DbmUser *allocate_dbm_user(void) { return static_cast<DbmUser *>(safe_malloc(sizeof(DbmUser))); }

void free_dbm_user(DbmUser *user) {
    if (user == nullptr) return;
    std::free(user->id);
    std::free(user->name);
    std::free(user->last_desktop);
    std::free(user);
}

// Text fields missing from a short value stay null; numbers missing are 0.
DbmUser *fill_dbm_user_struct(datum value) {
    sd::Fields fields = sd::decode(value);
    DbmUser *user = allocate_dbm_user();
    user->id = sd::dup_field(fields[0]);
    user->name = sd::dup_field(fields[1]);
    user->create_time = sd::to_int(fields[2]);
    user->status = sd::to_int(fields[3]);
    user->last_desktop = sd::dup_field(fields[4]);
    user->last_time = sd::to_int(fields[5]);
    return user;
}

void print_dbm_user(const DbmUser *user) {
    if (user == nullptr) return;
    zt::CString created(time_field_to_time_string(user->create_time));
    zt::CString changed(time_field_to_time_string(user->last_time));
    std::fprintf(stderr,
                 "user:\n  id                 = %s\n  name               = %s\n"
                 "  create_time        = %d (%s)\n  status             = %s\n"
                 "  last_desktop       = %s\n  last_time          = %d (%s)\n",
                 sd::or_nil(user->id), sd::or_nil(user->name), user->create_time, sd::or_empty(created.get()),
                 status_word(user->status), sd::or_nil(user->last_desktop), user->last_time, sd::or_empty(changed.get()));
}

}  // extern "C"
