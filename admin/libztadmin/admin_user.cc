// SPDX-License-Identifier: GPL-3.0-or-later
// admin_user.cc - user entries: the record, creation, changes, deletion with
// the user's tokens and status record, reads, the merge of the login status,
// and the composite add, edit and delete of a whole user by token ID.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_private.h"
#include "admin_records.h"
#include "records_common.h"

// ------------------------------------------------------------------ record

User *allocate_user(void) { return static_cast<User *>(safe_malloc(sizeof(User))); }

void free_user(User *user) {
    if (user == nullptr) return;
    for (char *field : {user->id, user->name, user->other_info, user->last_desktop, user->misc1, user->misc2})
        std::free(field);
    zt::free_string_list(user->logical_token_ids);
    std::free(user);
}

User *fill_user_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *ld = conn->session;
    User *user = allocate_user();
    user->id = zt::first_value_dup(ld, entry, "ztID");
    user->name = zt::first_value_dup(ld, entry, "ztName");
    user->other_info = zt::first_value_dup(ld, entry, "ztOtherInfo");
    user->create_time = zt::first_value_int(ld, entry, "ztFirstTime");
    user->status = zt::first_value_int(ld, entry, "ztStatus");
    user->last_desktop = zt::first_value_dup(ld, entry, "ztLastDesktop");
    user->last_time = zt::first_value_int(ld, entry, "ztLastTime");
    user->misc1 = zt::first_value_dup(ld, entry, "ztMisc1");
    user->misc2 = zt::first_value_dup(ld, entry, "ztMisc2");
    user->logical_token_ids = zt::all_values_dup(ld, entry, "ztLogicalTokenIDs");
    return user;
}

// Debugging dump on standard error; the stream argument is not used.
void print_user(FILE *, const User *user, int brief) {
    if (user == nullptr) return;
    using zt::or_nil;
    std::fprintf(stderr,
                 "user:\n  id                 = %s\n  name               = %s\n  other_info         = %s\n"
                 "  create_time        = %d\n  status             = %d\n  last_desktop       = %s\n"
                 "  last_time          = %d\n  misc1              = %s\n  misc2              = %s\n",
                 or_nil(user->id), or_nil(user->name), or_nil(user->other_info), user->create_time, user->status,
                 or_nil(user->last_desktop), user->last_time, or_nil(user->misc1), or_nil(user->misc2));
    if (!brief) zt::print_id_list(stderr, "  logical_token_ids  ", user->logical_token_ids);
}

// ------------------------------------------------------- attribute lists

namespace zt {

ModList user_entry(const User &user, const char *id) {
    ModList list;
    list.add("objectClass", "ztUser");
    list.add("ztID", id);
    list.add("ztName", user.name);
    list.add("ztOtherInfo", user.other_info);
    list.add("ztFirstTime", user.create_time);
    list.add("ztMisc1", user.misc1);
    list.add("ztMisc2", user.misc2);
    list.add_all("ztLogicalTokenIDs", user.logical_token_ids);
    return list;
}

ModList user_changes(const User &user) {
    ModList list;
    list.replace("ztName", user.name);
    list.replace("ztOtherInfo", user.other_info);
    list.replace("ztFirstTime", user.create_time);
    list.replace("ztStatus", user.status);
    list.replace("ztLastDesktop", user.last_desktop);
    list.replace("ztLastTime", user.last_time);
    list.replace("ztMisc1", user.misc1);
    list.replace("ztMisc2", user.misc2);
    return list;
}

std::string user_id_candidate(long now, long random_number) {
    std::string digits = std::to_string(random_number);
    if (digits.size() > 4) digits.erase(0, digits.size() - 4);
    return std::to_string(now) + "-" + digits;
}

}  // namespace zt

// ------------------------------------------------------ single entries

namespace {

const char *const kUserLog = "user";

using UserPtr = std::unique_ptr<User, decltype(&free_user)>;
using LogicalTokenPtr = std::unique_ptr<LogicalToken, decltype(&free_logical_token)>;

zt::Dn user_dn(AdminConfig *conn, const char *id) { return zt::entry_dn(id, zt::kUsersContainer, conn->subtree); }

std::string user_base(AdminConfig *conn) { return zt::search_base(zt::kUsersContainer, conn->subtree); }

std::string id_filter(const char *id) { return "ztID=" + zt::filter_escape(id); }

}  // namespace

// A user ID no user entry has yet, or null after six taken (or unanswered)
// candidates.  random() is deliberately left unseeded.
char *gen_unique_user_id(AdminConfig *conn) {
    constexpr int kRetries = 5;
    for (int attempt = 0; attempt <= kRetries; ++attempt) {
        std::string id = zt::user_id_candidate(static_cast<long>(std::time(nullptr)), random());
        if (user_exists(conn, id.c_str()) == 0) return zt::dup_c(id);
        zt::dlprintf("a", "RETRY\n");
    }
    zt::log_admin(kUserLog, "gen_unique_user_id(): Could not generate unique ID after %d tries", kRetries);
    return nullptr;
}

// Creates the user entry (generating its ID when `generate` is 1) and
// returns the ID, or null.  A zero create_time is set to now in `user`.
char *add_user(AdminConfig *conn, User *user, int generate) {
    if (conn == nullptr || user == nullptr) return nullptr;
    zt::CString id;
    if (generate == 1) {
        id.reset(gen_unique_user_id(conn));
        if (!id) return nullptr;
        zt::dlprintf("a", "generated id |%s|\n", id.get());
    } else {
        if (user->id == nullptr) return nullptr;
        id.reset(safe_strdup(user->id));
    }
    if (user->create_time == 0) user->create_time = static_cast<int>(std::time(nullptr));
    zt::ModList entry = zt::user_entry(*user, id.get());
    if (zt_addDsEntry(conn, user_dn(conn, id.get()).c_str(), entry.mods(), 0) != 0) {
        zt::dprintf("add_user(): Could not add user\n");
        return nullptr;
    }
    return id.release();
}

// Rewrites the user's attributes (not its logical-token IDs); 0 or -1.
int modify_user(AdminConfig *conn, const User *user) {
    if (conn == nullptr || user == nullptr || user->id == nullptr) return -1;
    zt::ModList changes = zt::user_changes(*user);
    if (zt_modifyDsEntry(conn, user_dn(conn, user->id).c_str(), changes.mods(), 0) != 0) {
        zt::dprintf("modify_user(): Could not modify user\n");
        zt::log_admin(kUserLog, "Error modifying properties for user (%s).", zt::or_nil(user->name));
        return -1;
    }
    zt::log_admin(kUserLog, "User properties for (%s) modified.", zt::or_nil(user->name));
    return 0;
}

// Deletes the user's logical tokens (unchecked), the entry, then the status
// record (whatever the entry's delete gave); 0 or -1.
int delete_user(AdminConfig *conn, const char *user_id) {
    UserPtr user(get_user(conn, user_id), free_user);
    if (!user) return -1;
    for (char **lt_id = user->logical_token_ids; lt_id != nullptr && *lt_id != nullptr; ++lt_id)
        delete_logical_token(conn, *lt_id);
    AdminStatus status = zt_deleteDsEntry(conn, user_dn(conn, user_id).c_str(), 0);
    delete_dbm_user(conn, user_id);
    return status != ADMIN_SUCCESS ? -1 : 0;
}

// The user with that ID, its status merged from the status file; or null.
User *get_user(AdminConfig *conn, const char *user_id) {
    if (conn == nullptr || user_id == nullptr) return nullptr;
    zt::LdapMsgPtr result(search_for_entries(conn->session, id_filter(user_id).c_str(), user_base(conn).c_str(),
                                             nullptr, 0, SEARCH_SINGLE));
    if (!result) return nullptr;
    return zt::user_with_status(conn, ldap_first_entry(conn->session, result.get()));
}

// 1 exists, 0 does not, -1 the search failed.
int user_exists(AdminConfig *conn, const char *user_id) {
    if (conn == nullptr || user_id == nullptr) return -1;
    return entry_exists(conn->session, id_filter(user_id).c_str(), user_base(conn).c_str());
}

// Takes create_time, status, last_desktop and last_time from the user's
// status record; 0, or -1 when there is none.
int fill_user_status(AdminConfig *conn, User **user_ref) {
    if (conn == nullptr || user_ref == nullptr || *user_ref == nullptr) return -1;
    User *user = *user_ref;
    std::unique_ptr<DbmUser, decltype(&free_dbm_user)> record(
        user->id != nullptr && conn->ustatus_db != nullptr ? get_dbm_user(conn->ustatus_db, user->id) : nullptr,
        free_dbm_user);
    if (!record) {
        zt::dprintf("fill_user_status(): Could not find equivalent dbm user with user_id (%s)\n",
                    zt::or_nil(user->id));
        return -1;
    }
    user->create_time = record->create_time;
    user->status = record->status;
    user->last_time = record->last_time;
    std::free(user->last_desktop);
    user->last_desktop = safe_strdup(record->last_desktop);
    return 0;
}

// Every logical-token ID of every user with that name, in entry order.
AdminStatus zt_getLtokenByUser(AdminConfig *conn, const char *name, char ***ids) {
    if (ids == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *ids = nullptr;
    if (conn == nullptr || name == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string filter = "ztname=" + zt::filter_escape(name);
    zt::LdapMsgPtr result(
        search_for_entries(conn->session, filter.c_str(), user_base(conn).c_str(), nullptr, 0, SEARCH_ALL));
    if (!result) return ADMIN_ERR_NOT_FOUND;
    std::vector<std::string> found;
    for (LDAPMessage *e = ldap_first_entry(conn->session, result.get()); e != nullptr;
         e = ldap_next_entry(conn->session, e)) {
        zt::BervalsPtr values(ldap_get_values_len(conn->session, e, "ztLogicalTokenIDs"));
        for (berval **v = values.get(); v != nullptr && *v != nullptr; ++v) found.emplace_back((*v)->bv_val, (*v)->bv_len);
    }
    if (found.empty()) return ADMIN_ERR_NOT_FOUND;
    *ids = zt::dup_string_list(found);
    return ADMIN_SUCCESS;
}

// ----------------------------------------------------- the whole user

namespace {

using XconfigPtr = std::unique_ptr<Xconfig, decltype(&zt_freeXconf)>;

constexpr size_t kMaxUserName = 100;

// What add_simple_user2 is building, for the messages of its steps.
struct NewUser {
    const char *raw_id;
    const char *server_name;
    int server_port;
    const char *name;
    const char *other_info;
    const char *shown_name;  // the name in messages
    std::string user_id;
    std::string lt_id;
};

bool name_is_short_enough(const char *name) {
    if (name == nullptr || std::strlen(name) <= kMaxUserName) return true;
    zt::log_admin(kUserLog, "add_simple_user2(): Entered User Name is [%s]\n", name);
    zt::log_admin(kUserLog, "add_simple_user2(): User Name should be less than %d characters in length\n",
                  static_cast<int>(kMaxUserName));
    return false;
}

// The directory refuses a value that does not fit its attribute's syntax;
// a composite change that met the refusal halfway would leave part of a
// user behind, so the values are checked before the first write.  A value
// with a control character (a line feed would split the dump, an ESC
// would reach the terminals of later listings) is refused the same way.
// True when `value` may be written; otherwise false after the log line.
bool value_fits(const char *function, const char *attribute, const char *value, bool (*syntax_ok)(const char *),
                const char *syntax) {
    if (syntax_ok != nullptr && !syntax_ok(value)) {
        zt::dprintf("%s(): %s value is not a valid %s; nothing written.", function, attribute, syntax);
        return false;
    }
    if (zt::has_control_character(value)) {
        zt::dprintf("%s(): %s value holds a control character; nothing written.", function, attribute);
        return false;
    }
    return true;
}

// True when the primary knows no logical token listing the raw token.
bool raw_token_unclaimed_on_primary(AdminConfig *conn, const char *raw_id) {
    AdminStatus status = _zt_logicalTokenExists(conn, nullptr, raw_id, 1);
    if (status == ADMIN_SUCCESS) {
        zt::dprintf("add_simple_user2(): there is already a logical token for raw\ntoken %s on the primary "
                    "datastore.  The local datastore may be\nout of sync with the primary.  Please inform your "
                    "administrator.",
                    raw_id);
        return false;
    }
    if (status != ADMIN_ERR_NOT_FOUND) {
        zt::dprintf("add_simple_user2(): error encountered while trying to contact\nthe primary datastore. (%s)",
                    zt_err2str(status));
        return false;
    }
    return true;
}

// Creates the raw token when neither server has it.
bool create_raw_token(AdminConfig *conn, const NewUser &nu) {
    AdminStatus status = _zt_rawTokenExists(conn, nu.raw_id, 1);
    if (status == ADMIN_SUCCESS) {
        zt::dprintf("add_simple_user2(): there is already a raw token %s on\nthe primary datastore.  The local "
                    "datastore may be out of sync\nwith the primary.  Please inform your administrator.",
                    nu.raw_id);
        return false;
    }
    if (status != ADMIN_ERR_NOT_FOUND) {
        zt::dprintf("add_simple_user2(): failed to contact the primary datastore server.");
        return false;
    }
    RawToken rt{};
    rt.id = const_cast<char *>(nu.raw_id);
    rt.token_type = const_cast<char *>("user");
    rt.token_state = const_cast<char *>("unknown");
    rt.enabled = const_cast<char *>("allowed");
    if (add_raw_token(conn, &rt) != 0) {
        zt::log_admin(kUserLog, "Adding raw token for user (%s) failed.", nu.shown_name);
        zt::dprintf("Adding raw token for user (%s) failed. (raw token=%s)", nu.shown_name, nu.raw_id);
        return false;
    }
    return true;
}

// Makes sure the raw token exists: creates it, or reuses an orphan one and
// fetches its X configuration into `xconfig` (left null when it has none).
bool provide_raw_token(AdminConfig *conn, const NewUser &nu, XconfigPtr &xconfig) {
    AdminStatus status = _zt_rawTokenExists(conn, nu.raw_id, 0);
    if (status == ADMIN_ERR_NOT_FOUND) return create_raw_token(conn, nu);
    if (status != ADMIN_SUCCESS) {
        zt::dprintf("add_simple_user2(): failed to contact the local datastore server.");
        return false;
    }
    Xconfig *found = nullptr;
    if (zt_getXconfByTokenID(conn, nu.raw_id, &found) == ADMIN_SUCCESS) xconfig.reset(found);
    return true;
}

void report_logical_token_failure(const NewUser &nu) {
    zt::dprintf("add_simple_user2(): Could not add logical token for user %s. (raw token=%s)", nu.shown_name,
                nu.raw_id);
    zt::log_admin(kUserLog, "Adding logical token for user (%s) failed.", nu.shown_name);
}

void report_user_entry_failure(const NewUser &nu) {
    zt::dprintf("add_simple_user2(): Could not add user into the datastore for user %s. (raw token=%s)", nu.shown_name,
                nu.raw_id);
    zt::log_admin(kUserLog, "Adding user (%s) to datastore failed.", nu.shown_name);
}

// Whether the values of the logical token and user entries will be taken;
// a misfit is reported as the failure of the step it would have failed.
bool new_values_fit(const NewUser &nu) {
    const char *const f = "add_simple_user2";
    if (!value_fits(f, "ztServerName", nu.server_name, zt::fits_ia5_string, "IA5 String")) {
        report_logical_token_failure(nu);
        return false;
    }
    if (!value_fits(f, "ztName", nu.name, zt::fits_directory_string, "Directory String") ||
        !value_fits(f, "ztOtherInfo", nu.other_info, nullptr, nullptr)) {
        report_user_entry_failure(nu);
        return false;
    }
    return true;
}

// Creates the user's logical token.  When an X configuration is to move
// onto it, the add waits until the configured server shows the entry: the
// move checks there that the token exists.
bool create_logical_token(AdminConfig *conn, const NewUser &nu, bool will_carry_xconfig) {
    char *raw_ids[] = {const_cast<char *>(nu.raw_id), nullptr};
    LogicalToken lt{};
    lt.id = const_cast<char *>(nu.lt_id.c_str());
    lt.session_type = const_cast<char *>("default");
    lt.server_name = const_cast<char *>(nu.server_name);
    lt.server_port = nu.server_port;
    lt.raw_token_ids = raw_ids;
    if (zt::add_logical_token_with(conn, &lt, will_carry_xconfig ? DS_SYNC : 0) != 0) {
        report_logical_token_failure(nu);
        return false;
    }
    return true;
}

// Stores the orphan raw token's X configuration on the new logical token.
bool promote_xconfig(AdminConfig *conn, const NewUser &nu, Xconfig *xconfig) {
    std::free(xconfig->token_id);
    xconfig->token_id = zt::dup_c(nu.lt_id);
    AdminStatus status = zt_addXconf(conn, xconfig, 0);
    if (status != ADMIN_SUCCESS && status != ADMIN_ERR_EXISTS) {
        zt::dprintf("add_simple_user2(): failed to promote Xconf info (%s) for user %s. (raw token=%s)",
                    zt_err2str(status), nu.shown_name, nu.raw_id);
        zt::log_admin(kUserLog, "Promoting Xconfig info for user (%s) failed.", nu.shown_name);
        return false;
    }
    return true;
}

bool create_user_entry(AdminConfig *conn, const NewUser &nu) {
    char *lt_ids[] = {const_cast<char *>(nu.lt_id.c_str()), nullptr};
    User user{};
    user.id = const_cast<char *>(nu.user_id.c_str());
    user.name = const_cast<char *>(nu.name);
    user.other_info = const_cast<char *>(nu.other_info);
    user.logical_token_ids = lt_ids;
    zt::CString added(add_user(conn, &user, 0));
    if (!added) {
        report_user_entry_failure(nu);
        return false;
    }
    return true;
}

// Sleeps through one wait window of `seconds`, looking for the user again at
// growing intervals so that a user that arrives early ends the wait early.
// Returns the last answer of user_exists (0 when the window passed).
int wait_window_for_user(AdminConfig *conn, const std::string &user_id, int seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    auto pause = std::chrono::milliseconds(1);
    while (Clock::now() + pause < deadline) {
        std::this_thread::sleep_for(pause);
        int found = user_exists(conn, user_id.c_str());
        if (found != 0) return found;
        pause = std::min(pause * 2, std::chrono::milliseconds(250));
    }
    std::this_thread::sleep_until(deadline);
    return 0;
}

// Gives replication up to five two-second windows to bring the new user to
// the configured server; only reports when it does not arrive.
void wait_for_configured_server(AdminConfig *conn, const NewUser &nu) {
    int found = 0;
    for (int window = 0; window < 5; ++window) {
        found = user_exists(conn, nu.user_id.c_str());
        if (found != 0) break;
        found = wait_window_for_user(conn, nu.user_id, 2);
        if (found != 0) break;
    }
    if (found == 1) return;
    zt::log_admin(kUserLog, "User (%s) is not in the secondary yet.", nu.shown_name);
    zt::dprintf("User %s (raw token=%s) is not in the secondary yet.", nu.shown_name, nu.raw_id);
}

}  // namespace

// Creates raw token (or reuses an orphan one), logical token and user for
// one token ID; the new user ID, or null.  Nothing written is undone.
char *add_simple_user2(AdminConfig *conn, const char *raw_token_id, const char *server_name, int server_port,
                       const char *name, const char *other_info) {
    if (conn == nullptr || raw_token_id == nullptr) return nullptr;
    NewUser nu{raw_token_id, server_name, server_port, name, other_info, zt::or_nil(name), {}, {}};
    if (!name_is_short_enough(name) || !raw_token_unclaimed_on_primary(conn, raw_token_id) || !new_values_fit(nu))
        return nullptr;
    zt::CString user_id(gen_unique_user_id(conn));
    if (!user_id) return nullptr;
    nu.user_id = user_id.get();
    nu.lt_id = "user." + nu.user_id;
    XconfigPtr xconfig(nullptr, zt_freeXconf);
    if (!provide_raw_token(conn, nu, xconfig) || !create_logical_token(conn, nu, xconfig != nullptr)) return nullptr;
    if (xconfig && !promote_xconfig(conn, nu, xconfig.get())) return nullptr;
    if (!create_user_entry(conn, nu)) return nullptr;
    zt::dlprintf("a", "Created datastore user |%s|\n", user_id.get());
    zt::log_admin(kUserLog, "User (%s) successfully added.", zt::or_nil(name));
    wait_for_configured_server(conn, nu);
    return user_id.release();
}

// Creates the caller's raw token, logical token and user, linked under a
// generated user ID (written into the records); the ID, or null.
char *add_simple_user3(AdminConfig *conn, RawToken *raw_token, LogicalToken *logical_token, User *user) {
    if (conn == nullptr || raw_token == nullptr || raw_token->id == nullptr || logical_token == nullptr ||
        user == nullptr)
        return nullptr;
    zt::CString user_id(gen_unique_user_id(conn));
    if (!user_id) return nullptr;
    if (add_raw_token(conn, raw_token) != 0) {
        zt::dprintf("add_simple_user3(): Could not add raw token\n");
        return nullptr;
    }
    std::free(logical_token->id);
    logical_token->id = zt::dup_c("user." + std::string(user_id.get()));
    zt::free_string_list(logical_token->raw_token_ids);
    logical_token->raw_token_ids = zt::dup_string_list({raw_token->id});
    if (add_logical_token(conn, logical_token) != 0) {
        zt::dprintf("add_simple_user3(): Could not add logical token\n");
        return nullptr;
    }
    std::free(user->id);
    user->id = safe_strdup(user_id.get());
    zt::free_string_list(user->logical_token_ids);
    user->logical_token_ids = zt::dup_string_list({logical_token->id});
    char *added = add_user(conn, user, 0);
    if (added == nullptr) {
        zt::dprintf("add_simple_user3(): Could not add user\n");
        return nullptr;
    }
    zt::dlprintf("a", "got user |%s|\n", added);
    return added;
}

namespace {

// Whether an edit's new server name, name and other information will be
// taken, as they will be stored (the server name and other information
// trimmed); a misfit is reported as the failure of the write it would have
// failed.
bool edited_values_fit(const char *server_name, const char *name, const char *other_info) {
    const char *const f = "edit_simple_user";
    zt::CString server(strip_leading_and_trailing_whitespace(server_name));
    zt::CString other(strip_leading_and_trailing_whitespace(other_info));
    if (!value_fits(f, "ztServerName", server.get(), zt::fits_ia5_string, "IA5 String")) {
        zt::dprintf("edit_simple_user(): Modify LDAP logical token failed.");
        return false;
    }
    if (!value_fits(f, "ztName", name, zt::fits_directory_string, "Directory String") ||
        !value_fits(f, "ztOtherInfo", other.get(), nullptr, nullptr)) {
        zt::dprintf("edit_simple_user(): Modify LDAP user failed.");
        return false;
    }
    return true;
}

// Writes new session settings when server or port differ; -1 after a failed
// write, else whether anything was written.
int edit_session_settings(AdminConfig *conn, LogicalToken *lt, const char *server_name, int server_port) {
    if (safe_strcmp(server_name, lt->server_name) == 0 && server_port == lt->server_port) return 0;
    std::free(lt->server_name);
    lt->server_name = strip_leading_and_trailing_whitespace(server_name);
    lt->server_port = server_port;
    if (modify_logical_token(conn, lt) == -1) {
        zt::dprintf("edit_simple_user(): Modify LDAP logical token failed.");
        return -1;
    }
    return 1;
}

}  // namespace

// Changes the server, port, name and other information of the user owning
// a raw token; 0, ADMIN_ERR_NO_CHANGE when all were equal, or -1.
int edit_simple_user(AdminConfig *conn, const char *raw_token_id, const char *server_name, int server_port,
                     const char *name, const char *other_info) {
    if (conn == nullptr || raw_token_id == nullptr) return -1;
    LogicalTokenPtr lt(raw_token_id_to_logical_token(conn, raw_token_id), free_logical_token);
    if (!lt) {
        zt::dprintf("edit_simple_user(): Could not translate rt to lt.");
        return -1;
    }
    if (!edited_values_fit(server_name, name, other_info)) return -1;
    int token_changed = edit_session_settings(conn, lt.get(), server_name, server_port);
    if (token_changed < 0) return -1;
    UserPtr user(logical_token_id_to_user(conn, lt->id), free_user);
    if (!user) {
        zt::dprintf("edit_simple_user(): Could not get LDAP user.");
        return -1;
    }
    // The stored values are compared with the input as given, untrimmed.
    if (safe_strcmp(name, user->name) == 0 && safe_strcmp(other_info, user->other_info) == 0)
        return token_changed ? 0 : ADMIN_ERR_NO_CHANGE;
    std::free(user->name);
    user->name = safe_strdup(name);
    std::free(user->other_info);
    user->other_info = strip_leading_and_trailing_whitespace(other_info);
    if (modify_user(conn, user.get()) == -1) {
        zt::dprintf("edit_simple_user(): Modify LDAP user failed.");
        return -1;
    }
    return 0;
}

namespace {

// Applies `remove` to every ID of a null-terminated array (which it frees):
// 0 when at least one removal succeeded, else -1.
int remove_each(AdminConfig *conn, char **ids, int (*remove)(AdminConfig *, const char *)) {
    int result = -1;
    for (char **id = ids; id != nullptr && *id != nullptr; ++id) {
        if (remove(conn, *id) == 0) result = 0;
    }
    zt_free_array(ids);
    return result;
}

// Removes whatever owns or is the raw token: its users, else its logical
// tokens, else the raw token itself.  ADMIN_ERR_NOT_FOUND when none exists.
AdminStatus delete_owners_of(AdminConfig *conn, const char *raw_token_id, bool &quiet) {
    char **ids = nullptr;
    if (_zt_getUidByRid(conn, raw_token_id, &ids) == ADMIN_SUCCESS && ids != nullptr && ids[0] != nullptr)
        return remove_each(conn, ids, delete_user);
    zt_free_array(ids);
    ids = nullptr;
    if (_zt_getLidByRid(conn, raw_token_id, &ids) == ADMIN_SUCCESS) return remove_each(conn, ids, delete_logical_token);
    zt_free_array(ids);
    if (raw_token_exists(conn, raw_token_id) == 1) return delete_raw_token(conn, raw_token_id);
    quiet = true;
    return ADMIN_ERR_NOT_FOUND;
}

}  // namespace

// Deletes the user or users owning a raw token (or, lacking one, its logical
// tokens or the bare raw token); an AdminStatus.
AdminStatus delete_simple_user(AdminConfig *conn, const char *raw_token_id) {
    if (conn == nullptr || raw_token_id == nullptr) return ADMIN_ERR_INVALID_ARGS;
    bool quiet = false;
    AdminStatus status = delete_owners_of(conn, raw_token_id, quiet);
    if (quiet) return status;
    if (status == ADMIN_SUCCESS)
        zt::log_admin(kUserLog, "Successfully deleted user for token id '%s'.", raw_token_id);
    else
        zt::log_admin(kUserLog, "Error deleting user for token id '%s' (%s).", raw_token_id, zt_err2str(status));
    return status;
}

namespace zt {

User *user_with_status(AdminConfig *conn, LDAPMessage *entry) {
    User *user = entry != nullptr ? fill_user_struct(conn, entry) : nullptr;
    if (user != nullptr && user->id != nullptr && conn->ustatus_db != nullptr &&
        dbm_user_exists(conn->ustatus_db, user->id) == 1) {
        fill_user_status(conn, &user);
    }
    return user;
}

}  // namespace zt
