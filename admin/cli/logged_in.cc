// SPDX-License-Identifier: GPL-3.0-or-later
// logged_in.cc - the listings of logged-in users: who is at which desktop,
// on this server or on every server of its failover group.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "listings.h"
#include "owned.h"
#include "session_client.h"
#include "ztuser.h"

using cli::CurrentList;
using cli::DesktopPtr;
using cli::Hosts;
using cli::UserPtr;

namespace {

// The configured server's name is copied into a buffer of this size.
constexpr size_t kHostBuffer = 255;

// The logins of the server's failover group, or of the server alone when it
// belongs to none.  `count` is -1 when the server could not be asked.
CurrentList current_logins(AdminConfig *connection, const char *host, int &count) {
    int host_count = 0;
    Hosts hosts(get_gm_hosts(connection, nullptr, &host_count));
    count = 0;
    if (!hosts) return CurrentList(get_current_list(host, &count, 2, nullptr));
    CurrentList list(get_currentHA_list(hosts.get(), 2));
    if (list) count = count_linked_list(list.get());
    return list;
}

// One directory lookup per row for its user and one for its desktop.
class PerRowLookups : public listing::LoginLookups {
public:
    explicit PerRowLookups(AdminConfig *connection) : connection_(connection) {}
    std::string user_name(const char *token_id) override {
        UserPtr user(raw_token_id_to_user(connection_, token_id));
        return user ? shown(user->name) : "???";
    }
    std::string location(const char *terminal_id) override {
        DesktopPtr desktop(get_desktop(connection_, terminal_id));
        return desktop ? shown(desktop->location) : "???";
    }

private:
    AdminConfig *connection_;
};

// Prints one row; false for a format this listing does not know.  The
// desktop is looked up unless the format is the global one, which never
// shows it.  The manager's values are shown without their control
// characters.
bool print_login_row(listing::LoginLookups &lookups, const CurrentEntry *entry, int format) {
    std::string name = lookups.user_name(entry->token_id);
    std::string location = format == LIST_GLOBAL ? "" : lookups.location(entry->terminal_id);
    std::string token = shown(entry->token_id), terminal = shown(entry->terminal_id);
    switch (format) {
        case FORMAT_SHORT:
            std::printf("%-30s %-30s %-15s\n", token.c_str(), name.c_str(), terminal.c_str());
            return true;
        case FORMAT_LONG:
            std::printf("%-30s %-30s %-15s %s\n", token.c_str(), name.c_str(), terminal.c_str(), location.c_str());
            return true;
        case LIST_GLOBAL:
            std::printf("%-30s %-30s %-30s\n", token.c_str(), shown(entry->server).c_str(), name.c_str());
            return true;
        default:
            return false;
    }
}

// The logins shown: a multihead group shows once, through its primary
// head; a secondary head that is also a token reader still shows.
std::vector<const CurrentEntry *> shown_logins(const CurrentEntry *list) {
    std::vector<const CurrentEntry *> rows;
    for (const CurrentEntry *entry = list; entry != nullptr; entry = entry->next) {
        if (entry->flag != ZT_FLAG_MH_SECONDARY) rows.push_back(entry);
    }
    return rows;
}

// The listing; with bulk lookups when `tuning` is given.
int list_logins(AdminConfig *connection, int format, const listing::BulkTuning *tuning) {
    const char *host = get_server_name(connection);
    if (host == nullptr) return -1;
    if (std::strlen(host) >= kHostBuffer) {
        zt::dprintf("Internal Error: operation ztuser -lc failed due to buffer overflow\n");
        std::fputs("Internal Error: operation ztuser -lc failed due to buffer overflow\n", stderr);
        return -1;
    }
    int count = 0;
    // The group's view and then each member: a member is probed once.
    zt::session::ProbeScope one_probe_per_host;
    CurrentList list = current_logins(connection, host, count);
    if (!list) {
        if (count == 0) {
            std::fputs("No users are currently logged in.\n", stdout);
            return 0;
        }
        std::fputs("Error: unable to get user list from administration server.\n", stderr);
        zt::dprintf("Internal Error: couldn't get current user list\n");
        return -1;
    }
    std::vector<const CurrentEntry *> rows = shown_logins(list.get());
    std::unique_ptr<listing::LoginLookups> lookups;
    if (tuning != nullptr && !rows.empty())
        lookups = listing::bulk_login_lookups(connection, rows, format != LIST_GLOBAL, *tuning);
    if (!lookups) lookups = std::make_unique<PerRowLookups>(connection);
    int printed = 0;
    for (const CurrentEntry *entry : rows) {
        if (printed++ == 0) print_headers(LIST_CURRENT, format);
        if (!print_login_row(*lookups, entry, format)) {
            zt::dprintf("Internal Error: Invalid format supplied to list_current_users\n");
            std::fputs("Internal Error: Invalid format supplied to list_current_users\n", stderr);
            return -1;
        }
    }
    if (printed > 0) std::printf("\n%d user%s currently logged in.\n", printed, plural(printed));
    return 0;
}

}  // namespace

int list_current_users(AdminConfig *connection, int format) {
    const listing::BulkTuning defaults;
    return list_logins(connection, format, &defaults);
}

int listing::list_current_users_bulk(AdminConfig *connection, int format, const BulkTuning &tuning) {
    return list_logins(connection, format, &tuning);
}

int listing::list_current_users_reference(AdminConfig *connection, int format) {
    return list_logins(connection, format, nullptr);
}
