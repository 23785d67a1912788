// admin_ltoken.cc - logical-token entries: the record, creation (alone, under
// a user, or with a bare raw token), changes, deletion with its raw tokens,
// reads and existence tests.
#include <cstdio>
#include <cstdlib>

#include "admin.h"
#include "admin_private.h"
#include "records_common.h"

// ------------------------------------------------------------------ record

LogicalToken *allocate_logical_token(void) {
    return static_cast<LogicalToken *>(safe_malloc(sizeof(LogicalToken)));
}

void free_logical_token(LogicalToken *lt) {
    if (lt == nullptr) return;
    for (char *field : {lt->id, lt->token_name, lt->session_type, lt->session_params, lt->server_name, lt->misc1,
                        lt->misc2})
        std::free(field);
    zt::free_string_list(lt->raw_token_ids);
    std::free(lt);
}

LogicalToken *fill_logical_token_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *ld = conn->session;
    LogicalToken *lt = allocate_logical_token();
    lt->id = zt::first_value_dup(ld, entry, "ztID");
    lt->token_name = zt::first_value_dup(ld, entry, "ztTokenName");
    lt->session_type = zt::first_value_dup(ld, entry, "ztSessionType");
    lt->session_params = zt::first_value_dup(ld, entry, "ztSessionParams");
    lt->server_name = zt::first_value_dup(ld, entry, "ztServerName");
    lt->server_port = zt::first_value_int(ld, entry, "ztServerPort");
    lt->misc1 = zt::first_value_dup(ld, entry, "ztMisc1");
    lt->misc2 = zt::first_value_dup(ld, entry, "ztMisc2");
    lt->raw_token_ids = zt::all_values_dup(ld, entry, "ztRawTokenIDs");
    return lt;
}

// Debugging dump on standard error; the stream argument is not used.
void print_logical_token(FILE *, const LogicalToken *lt, int brief) {
    if (lt == nullptr) return;
    using zt::or_nil;
    std::fprintf(stderr,
                 "logical token:\n  id                 = %s\n  token_name         = %s\n"
                 "  session_type       = %s\n  session_params     = %s\n  server_name        = %s\n"
                 "  server_port        = %d\n  misc1              = %s\n  misc2              = %s\n",
                 or_nil(lt->id), or_nil(lt->token_name), or_nil(lt->session_type), or_nil(lt->session_params),
                 or_nil(lt->server_name), lt->server_port, or_nil(lt->misc1), or_nil(lt->misc2));
    if (!brief) zt::print_id_list(stderr, "  raw_token_ids      ", lt->raw_token_ids);
}
