/* SPDX-License-Identifier: GPL-3.0-or-later */
// ztuser.h - the command's own interface: modes, list codes and the
// operations its dispatch hands over to.
#ifndef ZTUSER_H
#define ZTUSER_H

#include <string>

#include "admin.h"
#include "utils.h"

// The selected mode of operation; MODE_NONE until an option chooses one.
enum Mode {
    MODE_NONE = 0,
    MODE_ADD = 1,
    MODE_EDIT = 2,
    MODE_DELETE = 3,
    MODE_READ_TOKEN = 4,
    MODE_LIST = 5,
    MODE_PROPERTIES = 6,
    MODE_KILL = 7,
    MODE_DUMP = 11,
};

// Sub-modes and output formats of the listings; the values are fixed
// because the listing operations test them.
enum ListCode {
    LIST_ALL = 0,
    FORMAT_CSV = 11,
    LIST_GLOBAL = 12,
    LIST_BY_NAME = 14,
    LIST_BY_ID = 15,
    LIST_CURRENT = 16,
    FORMAT_SHORT = 19,
    FORMAT_LONG = 20,
};

enum ListStyle {
    LIST_STYLE_SHORT = 9,
    LIST_STYLE_LONG = 10,
};

extern int mode;

// Stores `new_mode` and returns 1 when no mode was chosen yet; else 0.
int set_mode(int new_mode);
// Writes the usage text to standard error.
void usage();
// -1 when `port` is below 1, else 0.
int validate_port(int port, const char *server_name);
// Runs the listing selected by style and sub-mode; 0 or -1.
int parse_list_options(AdminConfig *connection, int list_style, int sub_mode, const char *substring);
// The plural ending of a count in the summaries: "" for exactly 1, else "s".
inline const char *plural(int count) { return count == 1 ? "" : "s"; }
// A value read from the directory, a batch file, a session manager or a
// token reader as it may reach the terminal: its control characters show
// as "?" (absent: "").
std::string shown(const char *value);



// ---------------------------------------------------------- single user
int add_cl_user(AdminConfig *connection, RawTokenIdNode *token_list, const char *server_name,
                const char *port_text, const char *user_name, const char *other_info,
                const char *reader_id);
int edit_cl_user(AdminConfig *connection, const char *token_id, const char *server_name,
                 const char *port_text, const char *user_name, const char *other_info);
int delete_cl_user(AdminConfig *connection, const char *token_id);
int add_id_to_user(AdminConfig *connection, const char *current_token_id, const char *new_token_id,
                   const char *reader_id, int quiet);
int delete_id_from_user(AdminConfig *connection, const char *token_id);
int toggle_token_state(AdminConfig *connection, const char *token_id, const char *keyword);
int show_user_props(AdminConfig *connection, const char *token_id);
int validate_user_data(AdminConfig *connection, const char *server_name, int port,
                       const char *user_name, int line);
int display_user_data(AdminConfig *connection, const User *user, const LogicalToken *logical_token);

// ---------------------------------------------------------------- batch
int add_user_batch(AdminConfig *connection, const char *file_name, const char *reader_id);
int edit_user_batch(AdminConfig *connection, const char *file_name);
int delete_user_batch(AdminConfig *connection, const char *file_name);

// ------------------------------------------------------------- listings
enum HeaderKind {
    HEADER_BY_NAME = 17,
    HEADER_BY_ID = 18,
};

int list_users_by_id(AdminConfig *connection, const char *substring, int format);
int list_users_by_name(AdminConfig *connection, const char *substring, int format);
int list_current_users(AdminConfig *connection, int format);
void print_headers(int kind, int format);

// ------------------------------------------------ token reader, session kill
char *get_token_id(AdminConfig *connection, const char *reader_id, const char *label);
int kill_user_session(AdminConfig *connection, char *kill_kind, const char *value);
#endif  // ZTUSER_H
