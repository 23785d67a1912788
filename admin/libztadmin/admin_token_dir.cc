// SPDX-License-Identifier: GPL-3.0-or-later
// admin_token_dir.cc - whether a token is bound to a terminal or carried
// by a person, for the IDs whose answer lies in the directory.
#include <memory>

#include "admin_private.h"

extern "C" {

int zt_isFixedToken(AdminConfig *conn, const char *id) {
    if (!zt_isLegalToken(id, nullptr)) return 0;
    if (!zt_isDsLogicalToken(id)) return zt_isDtuBoundToken(id);
    // A logical token made by the tools is fixed when its first raw token is.
    if (conn == nullptr) return 0;
    std::unique_ptr<LogicalToken, decltype(&free_logical_token)> lt(get_logical_token(conn, id), free_logical_token);
    if (!lt || lt->raw_token_ids == nullptr || lt->raw_token_ids[0] == nullptr) return 0;
    return zt_isDtuBoundToken(lt->raw_token_ids[0]);
}

int zt_isPersonalToken(AdminConfig *conn, const char *id) {
    return zt_isLegalToken(id, nullptr) && zt_isFixedToken(conn, id) == 0 ? 1 : 0;
}

}  // extern "C"
