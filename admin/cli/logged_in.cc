// logged_in.cc - the listings of logged-in users: who is at which desktop,
// on this server or on every server of its failover group.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

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

std::string user_name_of(AdminConfig *connection, const char *token_id) {
    UserPtr user(raw_token_id_to_user(connection, token_id));
    return user ? shown(user->name) : "???";
}

std::string location_of(AdminConfig *connection, const char *terminal_id) {
    DesktopPtr desktop(get_desktop(connection, terminal_id));
    return desktop ? shown(desktop->location) : "???";
}

// Prints one row; false for a format this listing does not know.  Both
// the user and the desktop are looked up whatever the format shows.  The
// manager's values are shown without their control characters.
bool print_login_row(AdminConfig *connection, const CurrentEntry *entry, int format) {
    std::string name = user_name_of(connection, entry->token_id);
    std::string location = location_of(connection, entry->terminal_id);
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

}  // namespace

int list_current_users(AdminConfig *connection, int format) {
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
    int rows = 0;
    for (const CurrentEntry *entry = list.get(); entry != nullptr; entry = entry->next) {
        // A multihead group shows once, through its primary head; a
        // secondary head that is also a token reader still shows.
        if (entry->flag == ZT_FLAG_MH_SECONDARY) continue;
        if (rows++ == 0) print_headers(LIST_CURRENT, format);
        if (!print_login_row(connection, entry, format)) {
            zt::dprintf("Internal Error: Invalid format supplied to list_current_users\n");
            std::fputs("Internal Error: Invalid format supplied to list_current_users\n", stderr);
            return -1;
        }
    }
    if (rows > 0) std::printf("\n%d user%s currently logged in.\n", rows, plural(rows));
    return 0;
}
