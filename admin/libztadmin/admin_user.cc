// admin_user.cc - user entries: the record, creation, changes, deletion with
// the user's tokens and status record, reads, the merge of the login status,
// and the composite add, edit and delete of a whole user by token ID.
#include <cstdio>
#include <cstdlib>

#include "admin.h"
#include "admin_private.h"
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
