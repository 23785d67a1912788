// SPDX-License-Identifier: GPL-3.0-or-later
// group_mgr_status.cc - another server's desktop and user status, asked of
// its authentication manager ("status", "ustatus") and built into the
// records of the local status databases; without a host, the local
// databases themselves.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

namespace ss = zt::session;

void store(char *&field, char *value) {
    std::free(field);
    field = value;
}

const char *connection_state(const char *value) {
    if (ss::same_nocase(value, "true")) return "Up";
    if (ss::same_nocase(value, "false")) return "Down";
    return "Unknown";
}

int login_state(const char *value) {
    if (ss::same_nocase(value, "insert")) return USTATUS_LOGGED_IN;
    if (ss::same_nocase(value, "remove")) return USTATUS_LOGGED_OUT;
    return 3;
}

void apply_desktop_key(DbmDesktop *desktop, const char *key, const char *value) {
    if (ss::same_nocase(key, "terminalId")) {
        store(desktop->id, get_desktop_id(value));
        store(desktop->model, get_hw_model(value));
    } else if (ss::same_nocase(key, "firmware")) {
        store(desktop->firmware_rev, safe_strdup(value));
    } else if (ss::same_nocase(key, "connected")) {
        store(desktop->status, safe_strdup(connection_state(value)));
    } else if (ss::same_nocase(key, "createTime")) {
        store(desktop->first_conn_time, safe_strdup(value));
    } else if (ss::same_nocase(key, "connectTime")) {
        store(desktop->last_status_time, safe_strdup(value));
    }
}

void apply_user_key(DbmUser *user, const char *key, const char *value) {
    if (ss::same_nocase(key, "userId")) {
        store(user->id, safe_strdup(value));
    } else if (ss::same_nocase(key, "state")) {
        user->status = login_state(value);
    } else if (ss::same_nocase(key, "createTime")) {
        user->create_time = std::atoi(value);
    } else if (ss::same_nocase(key, "lastTime")) {
        user->last_time = std::atoi(value);
    } else if (ss::same_nocase(key, "lastDesktopId")) {
        store(user->last_desktop, safe_strdup(value));
    }
}

// Builds one status record from the record's keys and files it; a record
// without "terminalId" (or "userId") cannot be stored or listed under any
// key and is dropped.
template <typename Record, typename List>
void parse_status_record(List **list, const char *record, Record *(*allocate)(),
                         void (*apply)(Record *, const char *, const char *), void (*add)(List **, Record *),
                         void (*release)(Record *)) {
    Record *status = allocate();
    ss::for_each_pair(record, [&](const char *key, const char *value) { apply(status, key, value); });
    if (list != nullptr && status->id != nullptr) {
        add(list, status);
    } else {
        release(status);
    }
}

// The status list of the manager on `host` or, without a host, of the
// configuration's local database `db`; *count gets its length.
template <typename List>
List *status_list(AdminConfig *config, const char *host, int *count, const char *request, List *(*read_local)(DBM *),
                  DBM *AdminConfig::*db, const char *caller, const char *what) {
    List *list = nullptr;
    if (host != nullptr) {
        get_remote_status(request, host, &list);
    } else if (config != nullptr) {
        list = read_local(config->*db);
    } else {
        zt::dprintf("%s(): First and second args are NULL pointers\n", caller);
    }
    int found = 0;
    for (const List *node = list; node != nullptr; node = node->next) ++found;
    if (found > 0) zt::dlprintf("e", "found %d %s\n", found, what);
    if (count != nullptr) *count = found;
    return list;
}

}  // namespace

extern "C" {

char *get_desktop_id(const char *terminal_id) {
    if (terminal_id == nullptr) return nullptr;
    const char *dot = std::strrchr(terminal_id, '.');
    return safe_strdup(dot != nullptr ? dot + 1 : terminal_id);
}

// A terminal ID without a "." names no model.
char *get_hw_model(const char *terminal_id) {
    const char *dot = terminal_id != nullptr ? std::strrchr(terminal_id, '.') : nullptr;
    return dot != nullptr ? zt::dup_c(std::string_view(terminal_id, static_cast<size_t>(dot - terminal_id))) : nullptr;
}

void parse_desktop_entry(DesktopList **list, const char *record) {
    parse_status_record(list, record, allocate_dbm_desktop, apply_desktop_key, add_desktop_to_list, free_dbm_desktop);
}

void parse_user_entry(UserList **list, const char *record) {
    parse_status_record(list, record, allocate_dbm_user, apply_user_key, add_user_to_list, free_dbm_user);
}

void get_remote_status(const char *request, const char *host, void *list) {
    if (request == nullptr || list == nullptr) return;
    bool desktops = std::strcmp(request, "status\n") == 0;
    if (!desktops && std::strcmp(request, "ustatus\n") != 0) return;
    ss::RecordFramer framer([&](const char *record) {
        if (desktops) {
            parse_desktop_entry(static_cast<DesktopList **>(list), record);
        } else {
            parse_user_entry(static_cast<UserList **>(list), record);
        }
    });
    ss::exchange({"get_remote_status", ss::kAuthManager, false, false, ss::kLowerWords, request}, host,
                 [&](std::string_view line) { return framer.line(line); });
}

DesktopList *get_dstatus(AdminConfig *config, const char *host, int *count) {
    return status_list(config, host, count, "status\n", get_all_dbm_desktops, &AdminConfig::dstatus_db, "get_dstatus",
                       "desktops");
}

UserList *get_ustatus(AdminConfig *config, const char *host, int *count) {
    return status_list(config, host, count, "ustatus\n", get_all_dbm_users, &AdminConfig::ustatus_db, "get_ustatus",
                       "users");
}

}  // extern "C"
