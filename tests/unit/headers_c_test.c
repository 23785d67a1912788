/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The public headers must compile as C99 and link against the library. */
#include "admin.h"
#include "auth_mgr.h"
#include "group_mgr.h"
#include "utils.h"
#include "zterrno.h"

#include <string.h>

int main(void) {
    /* Calls into the library prove the declarations match the symbols; a
     * key list of string literals is what C callers naturally pass. */
    const char *keys[] = {"LocalName", NULL};
    KeyValuesNode *records = NULL;
    int unreachable = zt_getAuthMgrRecords("", 1, NULL, keys, &records) == ADMIN_ERR_SERVER_UNREACHABLE;
    zt_free_KeyValuesNode_list(records);
    free_smstatus(allocate_smstatus());
    return unreachable && strcmp(zt_err2str(ADMIN_SUCCESS), "Success") == 0 && isTimedOut(60, 20) == 0 &&
                   strcmp(get_short_token_id("ns.card.1"), "card.1") == 0
               ? 0
               : 1;
}
