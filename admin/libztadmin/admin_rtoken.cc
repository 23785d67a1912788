// admin_rtoken.cc - raw-token entries: the record, creation alone or under a
// logical token, changes, deletion with unlinking, reads and existence tests.
#include <cstdio>
#include <cstdlib>

#include "admin.h"
#include "admin_private.h"
#include "records_common.h"

// ------------------------------------------------------------------ record

RawToken *allocate_raw_token(void) { return static_cast<RawToken *>(safe_malloc(sizeof(RawToken))); }

void free_raw_token(RawToken *rt) {
    if (rt == nullptr) return;
    for (char *field : {rt->id, rt->secret, rt->token_type, rt->token_state, rt->enabled, rt->misc1, rt->misc2})
        std::free(field);
    std::free(rt);
}

RawToken *fill_raw_token_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *ld = conn->session;
    RawToken *rt = allocate_raw_token();
    rt->id = zt::first_value_dup(ld, entry, "ztID");
    rt->secret = zt::first_value_dup(ld, entry, "ztSecret");
    rt->token_type = zt::first_value_dup(ld, entry, "ztTokenType");
    rt->token_state = zt::first_value_dup(ld, entry, "ztTokenState");
    rt->enabled = zt::first_value_dup(ld, entry, "ztEnabled");
    rt->misc1 = zt::first_value_dup(ld, entry, "ztMisc1");
    rt->misc2 = zt::first_value_dup(ld, entry, "ztMisc2");
    return rt;
}

// Debugging dump on standard error; the stream argument is not used.
void print_raw_token(FILE *, const RawToken *rt, int) {
    if (rt == nullptr) return;
    using zt::or_nil;
    std::fprintf(stderr,
                 "raw token:\n  id                 = %s\n  secret             = %s\n"
                 "  token_type         = %s\n  token_state        = %s\n  enabled            = %s\n"
                 "  misc1              = %s\n  misc2              = %s\n",
                 or_nil(rt->id), or_nil(rt->secret), or_nil(rt->token_type), or_nil(rt->token_state),
                 or_nil(rt->enabled), or_nil(rt->misc1), or_nil(rt->misc2));
}
