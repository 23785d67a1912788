// SPDX-License-Identifier: GPL-3.0-or-later
// single_user.cc - add, edit and delete one user; add, remove, enable and
// disable one token; show one user's properties.
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "owned.h"
#include "ztuser.h"

using cli::CString;
using cli::DesktopPtr;
using cli::LogicalTokenPtr;
using cli::RawTokenPtr;
using cli::UserPtr;

namespace {

bool resolves(const char *host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0) return false;
    freeaddrinfo(found);
    return true;
}

// "line N: " for batch lines 1 to 9 (the prefix must fit 8 characters).
std::string line_prefix(int line) {
    if (line == 0) return "";
    std::string prefix = "line " + std::to_string(line) + ": ";
    return prefix.size() <= 8 ? prefix : "";
}

bool is_x(const char *token_id) { return std::strcmp(token_id, "x") == 0; }

// The token ID named in an add: read from the reader for "x", else as
// typed.  Null when the reader gave none (it said why).
CString token_named(AdminConfig *connection, const char *token_id, const char *reader_id) {
    return CString(is_x(token_id) ? get_token_id(connection, reader_id, nullptr) : safe_strdup(token_id));
}

// The new token of -ai, which must pass the syntax rule whether typed or
// read: a reader's ID comes from the network.  Returns the ID to use
// (owned) or null after printing why not.
CString new_token_from(AdminConfig *connection, const char *token_id, const char *reader_id) {
    CString id = token_named(connection, token_id, reader_id);
    if (id && !legal_raw_token_id(id.get())) {
        std::fprintf(stderr, "Error: Token ID '%s' is not a valid token ID specification\n", shown(id.get()).c_str());
        return nullptr;
    }
    return id;
}

bool require_raw_token(AdminConfig *connection, const char *token_id) {
    if (raw_token_exists(connection, token_id) == 1) return true;
    std::fprintf(stderr, "Error: Token ID '%s' not in admin database.\n", token_id);
    return false;
}

const char *enabled_word(const char *enabled) {
    if (enabled != nullptr && std::strcmp(enabled, "allowed") == 0) return "Yes";
    if (enabled != nullptr && std::strcmp(enabled, "denied") == 0) return "No";
    return "???";
}

std::string time_text(int seconds) {
    CString text(time_field_to_time_string(static_cast<time_t>(seconds)));
    return p(text.get());
}

void print_token_table(AdminConfig *connection, const User *user, const LogicalToken *lt) {
    std::printf("\n");
    std::printf("  %-40s  %s\n", "Token", "Enabled?");
    std::printf("  %-40s  %s\n", std::string(40, '-').c_str(), std::string(8, '-').c_str());
    if (user->logical_token_ids == nullptr || user->logical_token_ids[0] == nullptr) return;
    for (char **id = lt->raw_token_ids; id != nullptr && *id != nullptr; ++id) {
        RawTokenPtr rt(get_raw_token(connection, *id));
        if (!rt) zt::dprintf("Internal Error: could not get raw token %s\n", *id);
        std::printf("  %-40s  %s\n", shown(*id).c_str(), rt ? enabled_word(rt->enabled) : "???");
    }
}

int print_login_state(AdminConfig *connection, const User *user) {
    if (user->status == USTATUS_NEVER) {
        std::printf("Never Logged In\n");
        return 0;
    }
    if (user->status != USTATUS_LOGGED_IN && user->status != USTATUS_LOGGED_OUT) {
        zt::dprintf("Internal Error: Invalid login state retrieved from user record\n");
        std::fprintf(stderr, "Internal Error: Invalid login state retrieved from user record\n");
        return -1;
    }
    DesktopPtr desktop(get_desktop(connection, user->last_desktop));
    if (!desktop) {
        zt::dprintf("Internal Error: could not get desktop '%s'\n", p(user->last_desktop));
        return -1;
    }
    const char *format = user->status == USTATUS_LOGGED_IN
                             ? "  Currently Logged In:\n  Current Desktop    = %s\n  Desktop Location   = %s\n"
                               "  Logged In Since    = %s\n"
                             : "Last Login:\n  Last Desktop       = %s\n  Desktop Location   = %s\n"
                               "  Logged Off At      = %s\n";
    std::printf(format, shown(user->last_desktop).c_str(), shown(desktop->location).c_str(),
                time_text(user->last_time).c_str());
    return 0;
}

// The raw token shown for a logical-token ID: the last raw token of the
// last of its user's logical tokens that can be read.
std::string raw_id_for_logical_token(AdminConfig *connection, const char *logical_id) {
    std::string raw_id;
    UserPtr user(logical_token_id_to_user(connection, logical_id));
    if (!user || user->logical_token_ids == nullptr) return raw_id;
    for (char **id = user->logical_token_ids; *id != nullptr; ++id) {
        LogicalTokenPtr lt(get_logical_token(connection, *id));
        if (!lt) continue;
        int count = num_strings(lt->raw_token_ids);
        const char *last = count > 0 ? lt->raw_token_ids[count - 1] : "";
        raw_id = std::strlen(last) < 256 ? last : "";
    }
    return raw_id;
}

}  // namespace

int validate_user_data(AdminConfig * /*connection*/, const char *server_name, int port, const char *user_name,
                       int line) {
    std::string prefix = line_prefix(line);
    const char *message = nullptr;
    if (server_name == nullptr || *server_name == '\0') {
        message = "Error: %sNo server name specified\n";
    } else if (zt::has_control_character(server_name) || !resolves(server_name)) {
        message = "Error: %sInvalid server name specified.\n";
    } else if (validate_port(port, server_name) != 0) {
        message = "Error: %sInvalid port specification\n";
    } else if (user_name == nullptr || *user_name == '\0') {
        message = "Error: %sNo user name specified\n";
    }
    if (message == nullptr) return 0;
    std::fprintf(stderr, message, prefix.c_str());
    return -1;
}

int add_cl_user(AdminConfig *connection, RawTokenIdNode *token_list, const char *server_name,
                const char *port_text, const char *user_name, const char *other_info, const char *reader_id) {
    // A token read from the reader passes the same syntax rule as a typed one.
    CString primary = token_named(connection, token_list->id, reader_id);
    if (!primary) return -1;
    if (!legal_raw_token_id(primary.get())) {
        std::fputs("Error: Invalid token ID specification\n", stderr);
        return -1;
    }
    if (zt_raw_and_logical_tokens_exist(connection, primary.get()) == 1) {
        std::fprintf(stderr, "Token '%s' already in administration database.\n", primary.get());
        return -1;
    }
    int port = std::atoi(port_text);
    if (validate_user_data(connection, server_name, port, user_name, 0) != 0) return -1;
    CString user_id(add_simple_user2(connection, primary.get(), server_name, port, user_name, other_info));
    if (!user_id) {
        std::fputs("Internal Error: Could not add user.\n", stderr);
        return -1;
    }
    for (RawTokenIdNode *node = token_list->next; node != nullptr; node = node->next) {
        add_id_to_user(connection, primary.get(), node->id, nullptr, 1);
    }
    std::fputs("Added one user.\n", stderr);
    return 0;
}

int edit_cl_user(AdminConfig *connection, const char *token_id, const char *server_name, const char *port_text,
                 const char *user_name, const char *other_info) {
    int port = std::atoi(port_text);
    if (validate_user_data(connection, server_name, port, user_name, 0) != 0) return -1;
    if (raw_token_exists(connection, token_id) != 1) {
        std::fprintf(stderr, "Error: Token ID '%s' not in admininstration database.\n", token_id);
        return -1;
    }
    int status = edit_simple_user(connection, token_id, server_name, port, user_name, other_info);
    if (status == 0) {
        std::fputs("One user modified.\n", stderr);
    } else if (status == ADMIN_ERR_NO_CHANGE) {
        std::fputs("No modifications necessary.\n", stderr);
    } else {
        std::fputs("Internal Error: Could not modify user.\n", stderr);
        return -1;
    }
    return 0;
}

int delete_cl_user(AdminConfig *connection, const char *token_id) {
    if (std::strchr(token_id, '*') != nullptr) {
        std::fputs("Wildcard is not supported.\n", stderr);
        return -1;
    }
    int status = delete_simple_user(connection, token_id);
    if (status == -1) {
        std::fputs("Internal Error: could not delete user.\n", stderr);
        zt::dprintf("Internal Error: could not delete user with raw token '%s'\n", token_id);
        return -1;
    }
    std::fputs(status == ADMIN_ERR_NOT_FOUND ? "\nUser not found.\n" : "\nDeleted one user.\n", stderr);
    return 0;
}

int add_id_to_user(AdminConfig *connection, const char *current_token_id, const char *new_token_id,
                   const char *reader_id, int quiet) {
    if (!require_raw_token(connection, current_token_id)) return -1;
    CString new_id = new_token_from(connection, new_token_id, reader_id);
    if (!new_id) return -1;
    if (zt_raw_and_logical_tokens_exist(connection, new_id.get()) == 1) {
        std::fprintf(stderr, "Error: Token ID '%s' already exists.\n", new_id.get());
        return -1;
    }
    CString logical_id(raw_token_id_to_logical_token_id(connection, current_token_id));
    if (!logical_id) {
        std::fprintf(stderr, "Internal Error: could not find user with Token ID '%s'.\n", current_token_id);
        zt::dprintf("Internal Error: could not map raw token '%s'to a logical token.\n", current_token_id);
        return -1;
    }
    RawTokenPtr rt(allocate_raw_token());
    rt->id = safe_strdup(new_id.get());
    rt->token_type = safe_strdup("user");
    rt->token_state = safe_strdup("unknown");
    rt->enabled = safe_strdup("allowed");
    if (add_raw_token_to_logical_token(connection, logical_id.get(), rt.get()) == -1) {
        std::fputs("Internal Error: could not add new Token ID.\n", stderr);
        zt::dprintf("Internal Error: could not add new raw token to logical token '%s'\n", logical_id.get());
        return -1;
    }
    if (quiet != 1) std::fputs("\nOne Token ID added to user.\n", stderr);
    return 0;
}

int delete_id_from_user(AdminConfig *connection, const char *token_id) {
    if (!require_raw_token(connection, token_id)) return -1;
    CString user_id(raw_token_id_to_user_id(connection, token_id));
    if (!user_id) {
        zt::dprintf("Internal Error: could not map raw token '%s' to user id\n", token_id);
        return -1;
    }
    int count = count_user_raw_tokens(connection, user_id.get());
    if (count == -1) {
        zt::dprintf("Internal Error: could not count raw token for user id '%s'\n", user_id.get());
        return -1;
    }
    if (count == 1) {
        std::fprintf(stderr, "Error: Token ID '%s' is user's only token.\n", token_id);
        return -1;
    }
    AdminStatus status = delete_raw_token(connection, token_id);
    if (status != 0) {
        std::fprintf(stderr, "Error: could not delete Token ID '%s' (%s).\n", token_id, zt_err2str(status));
        zt::dprintf("Error: could not delete raw token '%s' (%s)\n", token_id, zt_err2str(status));
        return -1;
    }
    std::fputs("\n1 Token ID removed from user.\n", stderr);
    return 0;
}

int toggle_token_state(AdminConfig *connection, const char *token_id, const char *keyword) {
    if (!require_raw_token(connection, token_id)) return -1;
    RawTokenPtr rt(get_raw_token(connection, token_id));
    if (!rt) {
        std::fprintf(stderr, "Internal Error: Could not find Token ID '%s' in admin database.\n", token_id);
        zt::dprintf("Internal Error: could not get raw token %s\n", token_id);
        return -1;
    }
    std::free(rt->enabled);
    rt->enabled = safe_strdup(std::strcmp(keyword, "enable") == 0 ? "allowed" : "denied");
    if (modify_raw_token(connection, rt.get()) == -1) {
        std::fprintf(stderr, "Internal Error: could not modify Token ID '%s' in admin database.\n", token_id);
        zt::dprintf("Internal Error: could not modify raw token %s\n", token_id);
        return -1;
    }
    std::fprintf(stderr, "\n1 Token ID %sd.\n", keyword);
    return 0;
}

int show_user_props(AdminConfig *connection, const char *token_id) {
    std::string raw_id;
    if (raw_token_exists(connection, token_id) == 1) {
        if (std::strlen(token_id) >= 255) return -1;
        raw_id = token_id;
    } else if (logical_token_exists(connection, token_id) == 1) {
        raw_id = raw_id_for_logical_token(connection, token_id);
    } else {
        std::fprintf(stderr, "Error: Token ID '%s' not in admin database.\n", token_id);
        return -1;
    }
    LogicalTokenPtr lt(raw_token_id_to_logical_token(connection, raw_id.c_str()));
    if (!lt) {
        zt::dprintf("Internal Error: could not get logical token for raw token id '%s'\n", raw_id.c_str());
        return -1;
    }
    UserPtr user(logical_token_id_to_user(connection, lt->id));
    if (!user) {
        std::fprintf(stderr, "Internal Error: could not find user that owns Token '%s'\n",
                     shown(raw_id.c_str()).c_str());
        zt::dprintf("Internal Error: could not get user for logical token id '%s'\n", lt->id);
        return -1;
    }
    if (display_user_data(connection, user.get(), lt.get()) != 0) {
        zt::dprintf("Internal Error: Error obtaining user information\n");
        std::fputs("Internal Error: Error obtaining user information\n", stderr);
        return -1;
    }
    return 0;
}

int display_user_data(AdminConfig *connection, const User *user, const LogicalToken *lt) {
    std::printf("Current Properties:\n");
    std::printf("User Name          = %s\n  Other Info         = %s\n  Server Name        = %s\n"
                "  Server Port        = %d\n  Logical Token      = %s\n  User Created       = %s\n",
                shown(user->name).c_str(), shown(user->other_info).c_str(), shown(lt->server_name).c_str(),
                lt->server_port, shown(lt->id).c_str(), time_text(user->create_time).c_str());
    print_token_table(connection, user, lt);
    std::printf("\n");
    if (print_login_state(connection, user) != 0) return -1;
    std::printf("\n");
    return 0;
}
