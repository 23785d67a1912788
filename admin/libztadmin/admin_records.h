/* SPDX-License-Identifier: GPL-3.0-or-later */
// admin_records.h - internal: the attribute lists written for user,
// logical-token and raw-token entries.  Kept apart from the writes so that
// what goes into the directory can be checked without a server.
#ifndef ZT_ADMIN_RECORDS_H
#define ZT_ADMIN_RECORDS_H

#include <string>

#include "admin.h"
#include "records_common.h"

namespace zt {

// Attributes of a new raw-token entry, absent fields left out.
ModList raw_token_entry(const RawToken &rt);
// Replacement of every changeable raw-token attribute (absent removes it).
ModList raw_token_changes(const RawToken &rt);

// Attributes of a new logical-token entry, absent fields left out; the
// raw-token IDs only when `with_raw_ids`.
ModList logical_token_entry(const LogicalToken &lt, bool with_raw_ids);
// Replacement of the session settings; the raw-token IDs are not touched.
ModList logical_token_changes(const LogicalToken &lt);

// Attributes of a new user entry named `id`, absent fields left out; the
// login status is not written at creation.
ModList user_entry(const User &user, const char *id);
// Replacement of every attribute but the ID and the logical-token IDs.
ModList user_changes(const User &user);

// A candidate user ID: the time, "-", and the last four digits of the
// random number (all of them when it has fewer).
std::string user_id_candidate(long now, long random_number);

// A modification adding (or deleting) one value of a multi-valued attribute.
ModList value_added(const char *attr, const char *value);
ModList value_deleted(const char *attr, const char *value);

// A user read from a search entry, with its login status merged from the
// user status database when that has a record for it; null on failure.
User *user_with_status(AdminConfig *conn, LDAPMessage *entry);

// add_raw_token with its existence test asked on `session` (the primary's,
// for a caller that must not act on a replica that lags).
int add_raw_token_checked_on(AdminConfig *conn, LDAP *session, const RawToken *rt);

// add_logical_token with the executor flags given.
int add_logical_token_with(AdminConfig *conn, const LogicalToken *lt, int flags);

// The filter that finds a logical token by ID, by a raw-token ID it lists,
// or both (either may be null).  ADMIN_ERR_NO_BUFFER, with its debug line,
// when a part as written would not fit its 128-byte buffer.
AdminStatus logical_token_filter(const char *lt_id, const char *rt_id, std::string &filter);

}  // namespace zt

#endif  // ZT_ADMIN_RECORDS_H
