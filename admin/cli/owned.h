/* SPDX-License-Identifier: GPL-3.0-or-later */
// owned.h - owning handles for the library records the command reads.
#ifndef ZTUSER_OWNED_H
#define ZTUSER_OWNED_H

#include <memory>

#include "admin_private.h"
#include "auth_mgr.h"
#include "group_mgr.h"

namespace cli {

template <typename T, void (*Free)(T *)>
struct RecordDeleter {
    void operator()(T *record) const { Free(record); }
};

using UserPtr = std::unique_ptr<User, RecordDeleter<User, free_user>>;
using LogicalTokenPtr = std::unique_ptr<LogicalToken, RecordDeleter<LogicalToken, free_logical_token>>;
using RawTokenPtr = std::unique_ptr<RawToken, RecordDeleter<RawToken, free_raw_token>>;
using DesktopPtr = std::unique_ptr<Desktop, RecordDeleter<Desktop, free_desktop>>;
using CString = zt::CString;

// Frees an argument array from parse_args.
struct ArgsDeleter {
    void operator()(char **args) const { free_args(args); }
};
using Args = std::unique_ptr<char *, ArgsDeleter>;

// Frees a raw-token-ID list.
struct RawTokenListDeleter {
    void operator()(RawTokenIdNode *list) const { free_raw_token_list(&list); }
};
using RawTokenList = std::unique_ptr<RawTokenIdNode, RawTokenListDeleter>;

// Frees a list of current logins.
struct CurrentListDeleter {
    void operator()(CurrentEntry *list) const { free_linked_list(&list); }
};
using CurrentList = std::unique_ptr<CurrentEntry, CurrentListDeleter>;

// Frees a failover group's member list.
struct HostListDeleter {
    void operator()(HostList *hosts) const { free_HostList(&hosts); }
};
using Hosts = std::unique_ptr<HostList, HostListDeleter>;

}  // namespace cli

#endif  // ZTUSER_OWNED_H
