// SPDX-License-Identifier: GPL-3.0-or-later
// auth_mgr_records.cc - the authentication manager's record queries: one
// KeyValuesNode per record of its "status" reply, built from the keys the
// caller asked for.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

namespace ss = zt::session;

constexpr int kTerminalMode = 1;
constexpr int kNonEmptyTokenMode = 2;
constexpr int kReaderMode = 3;

using TextField = char *KeyValuesNode::*;

// Keys whose value is simply stored.  Keys are matched ignoring case.
struct TextKey {
    const char *key;
    TextField field;
};
constexpr TextKey kTextKeys[] = {
    {"tokenName", &KeyValuesNode::token_name},
    {"MultiheadGroupName", &KeyValuesNode::MHgroup_name},
    {"firmware", &KeyValuesNode::firmware},
    {"boot", &KeyValuesNode::boot},
    {"terminalCID", &KeyValuesNode::terminal_CID},
    {"terminalModel", &KeyValuesNode::model},
    {"connected", &KeyValuesNode::connected},
    {"createTime", &KeyValuesNode::create_time},
    {"connectTime", &KeyValuesNode::connect_time},
    {"terminalIPA", &KeyValuesNode::terminal_IPA},
    {"terminalPort", &KeyValuesNode::terminal_port},
    {"GlobalName", &KeyValuesNode::global_name},
    {"ModuleName", &KeyValuesNode::module_name},
    {"SessionManagerId", &KeyValuesNode::session_mgr_id},
    {"ServiceInitCommand", &KeyValuesNode::service_init_cmd},
    {"clientCreated", &KeyValuesNode::client_created},
    {"controller", &KeyValuesNode::controller},
    {"lifetime", &KeyValuesNode::lifetime},
    {"terminalPackets", &KeyValuesNode::terminal_packets},
    {"terminalLostPackets", &KeyValuesNode::terminal_lost_packets},
    {"terminalConnectTime", &KeyValuesNode::terminal_conn_time},
    {"terminalIdleTime", &KeyValuesNode::terminal_idle_time},
    {"terminalBytes", &KeyValuesNode::terminal_bytes},
    {"terminalLatency", &KeyValuesNode::terminal_latency},
    {"encryptUpType", &KeyValuesNode::enc_up_type},
    {"encryptDownType", &KeyValuesNode::enc_down_type},
    {"authenticateUpType", &KeyValuesNode::auth_up_type},
    {"authenticateDownType", &KeyValuesNode::auth_down_type},
    {"securityMode", &KeyValuesNode::security_mode},
};

// Every text field in the order of the debug dump (after the first three,
// which come before the terminal index).
struct NamedField {
    const char *name;
    TextField field;
};
constexpr NamedField kDumpHead[] = {
    {"token_name", &KeyValuesNode::token_name},
    {"MHgroup_name", &KeyValuesNode::MHgroup_name},
    {"MHdata", &KeyValuesNode::MHdata},
};
constexpr NamedField kDumpTail[] = {
    {"terminal_CID", &KeyValuesNode::terminal_CID},
    {"model", &KeyValuesNode::model},
    {"firmware", &KeyValuesNode::firmware},
    {"boot", &KeyValuesNode::boot},
    {"connected", &KeyValuesNode::connected},
    {"create_time", &KeyValuesNode::create_time},
    {"connect_time", &KeyValuesNode::connect_time},
    {"terminal_IPA", &KeyValuesNode::terminal_IPA},
    {"terminal_port", &KeyValuesNode::terminal_port},
    {"local_name", &KeyValuesNode::local_name},
    {"global_name", &KeyValuesNode::global_name},
    {"module_name", &KeyValuesNode::module_name},
    {"session_mgr_id", &KeyValuesNode::session_mgr_id},
    {"service_init_cmd", &KeyValuesNode::service_init_cmd},
    {"client_created", &KeyValuesNode::client_created},
    {"controller", &KeyValuesNode::controller},
    {"lifetime", &KeyValuesNode::lifetime},
    {"terminal_packets", &KeyValuesNode::terminal_packets},
    {"terminal_lost_packets", &KeyValuesNode::terminal_lost_packets},
    {"terminal_conn_time", &KeyValuesNode::terminal_conn_time},
    {"terminal_idle_time", &KeyValuesNode::terminal_idle_time},
    {"terminal_bytes", &KeyValuesNode::terminal_bytes},
    {"terminal_latency", &KeyValuesNode::terminal_latency},
    {"enc_up_type", &KeyValuesNode::enc_up_type},
    {"enc_down_type", &KeyValuesNode::enc_down_type},
    {"auth_up_type", &KeyValuesNode::auth_up_type},
    {"auth_down_type", &KeyValuesNode::auth_down_type},
    {"security_mode", &KeyValuesNode::security_mode},
};

// Replaces a text field, freeing the earlier value.
void store(char *&field, const char *value) {
    std::free(field);
    field = safe_strdup(value);
}

bool is_wanted(const char *wanted, const char *key) {
    return wanted != nullptr && std::strstr(wanted, (std::string("~") + key + "~").c_str()) != nullptr;
}

// The keys whose effect is more than storing their value; false when
// `key` is none of them.
bool apply_special_key(KeyValuesNode *node, const char *key, const char *value, int mode) {
    if (ss::same_nocase(key, "MultiheadPrimary")) {
        if (std::strcmp(value, "false") == 0) node->flag |= ZT_FLAG_MH_SECONDARY;
    } else if (ss::same_nocase(key, "MultiheadTerminalIndex")) {
        node->MHterm_index = std::atoi(value);
    } else if (ss::same_nocase(key, "LocalName")) {
        if (mode != kReaderMode) store(node->local_name, value);
    } else if (ss::same_nocase(key, "annotation.x_token")) {
        node->flag |= ZT_FLAG_TOKEN_READER;
        if (mode == kReaderMode) store(node->token_name, get_short_token_id(value));
    } else if (ss::same_nocase(key, "terminalId")) {
        if (node->terminal_CID == nullptr) node->terminal_CID = safe_strdup(value);
    } else {
        return false;
    }
    return true;
}

void apply_key(KeyValuesNode *node, const char *key, const char *value, int mode) {
    if (apply_special_key(node, key, value, mode)) return;
    for (const TextKey &text : kTextKeys) {
        if (ss::same_nocase(key, text.key)) {
            store(node->*text.field, value);
            return;
        }
    }
}

bool keep_node(const KeyValuesNode *node, int mode, const char *terminal_filter) {
    if (node->terminal_CID == nullptr || node->token_name == nullptr) return false;
    if (mode == kNonEmptyTokenMode && *node->token_name == '\0') return false;
    return terminal_filter == nullptr || std::strstr(terminal_filter, node->terminal_CID) != nullptr;
}

KeyValuesNode *allocate_node() {
    auto *node = static_cast<KeyValuesNode *>(safe_calloc(1, sizeof(KeyValuesNode)));
    node->MHterm_index = -1;
    return node;
}

// The request made from `format` and `value`, or empty when it would not
// fit the request limit.
std::string value_request(const char *format_head, const char *value) {
    std::string request = std::string(format_head) + value + "\r\n";
    return request.size() > ss::kMaxRequest ? std::string() : request;
}

AdminStatus query_for_value(const char *host, const char *head, const char *value, int mode,
                            const char *terminal_filter, const char *const *keys, KeyValuesNode **list) {
    if (value == nullptr || *value == '\0') return ADMIN_ERR_INVALID_ARGS;
    std::string request = value_request(head, value);
    if (request.empty()) return ADMIN_ERR_NO_MEMORY;
    return getAuthMgrRecords(host, mode, terminal_filter, keys, list, request.c_str());
}

}  // namespace

extern "C" {

void free_KeyValuesNode(KeyValuesNode *node) {
    if (node == nullptr) return;
    for (const NamedField &named : kDumpHead) std::free(node->*named.field);
    for (const NamedField &named : kDumpTail) std::free(node->*named.field);
    std::free(node);
}

void zt_free_KeyValuesNode_list(KeyValuesNode *list) {
    while (list != nullptr) {
        KeyValuesNode *next = list->next;
        free_KeyValuesNode(list);
        list = next;
    }
}

void add_to_KeyValuesNode_list(KeyValuesNode **list, KeyValuesNode *node, int mode) {
    if (list == nullptr || node == nullptr) return;
    ss::insert_sorted(list, node, [mode](const KeyValuesNode *n) {
        return mode == kTerminalMode ? n->terminal_CID : n->token_name;
    });
}

void parse_record(KeyValuesNode **list, const char *record, int mode, const char *wanted,
                  const char *terminal_filter) {
    KeyValuesNode *node = allocate_node();
    ss::for_each_pair(record, [&](const char *key, const char *value) {
        if (is_wanted(wanted, key)) apply_key(node, key, value, mode);
    });
    if (list != nullptr && keep_node(node, mode, terminal_filter)) {
        add_to_KeyValuesNode_list(list, node, mode);
    } else {
        free_KeyValuesNode(node);
    }
}

AdminStatus getAuthMgrRecords(const char *host, int mode, const char *terminal_filter, const char *const *keys,
                              KeyValuesNode **list, const char *request) {
    if (list == nullptr || request == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string wanted = ss::wanted_keys_text(keys);
    const char *wanted_text = keys != nullptr ? wanted.c_str() : nullptr;
    ss::RecordFramer framer(
        [&](const char *record) { parse_record(list, record, mode, wanted_text, terminal_filter); });
    ss::Result result = ss::exchange({"getAuthMgrRecords", ss::kAuthManager, true, false, ss::kRecordWords, request},
                                     host, [&](std::string_view line) { return framer.line(line); });
    if (result.outcome == ss::Outcome::kCutShort) {
        zt_free_KeyValuesNode_list(*list);
        *list = nullptr;
    }
    return result.status;
}

AdminStatus zt_getAuthMgrRecords(const char *host, int mode, const char *terminal_filter, const char *const *keys,
                                 KeyValuesNode **list) {
    return getAuthMgrRecords(host, mode, terminal_filter, keys, list, "status\n");
}

AdminStatus zt_getAuthMgrRecordsForToken(const char *host, const char *token, int mode,
                                         const char *terminal_filter, const char *const *keys,
                                         KeyValuesNode **list) {
    return query_for_value(host, "status tokenName=", token, mode, terminal_filter, keys, list);
}

AdminStatus zt_getAuthMgrRecordsForCid(const char *host, const char *terminal_id, int mode,
                                       const char *const *keys, KeyValuesNode **list) {
    return query_for_value(host, "status terminalCid=", terminal_id, mode, nullptr, keys, list);
}

void print_KeyValuesNode(const KeyValuesNode *node) {
    if (node == nullptr) {
        std::fputs("****** node is NULL\n", stderr);
        return;
    }
    auto dump = [node](const NamedField &named) {
        if (const char *value = node->*named.field) std::fprintf(stderr, "*** node->%s = %s\n", named.name, value);
    };
    for (const NamedField &named : kDumpHead) dump(named);
    std::fprintf(stderr, "*** node->MHterm_index = %d\n", node->MHterm_index);
    for (const NamedField &named : kDumpTail) dump(named);
    std::fprintf(stderr, "*** node->flag = %u\n\n", node->flag);
}

const char *get_short_token_id(const char *id) {
    if (id == nullptr) return nullptr;
    const char *last = std::strrchr(id, '.');
    if (last == nullptr) return id;
    for (const char *c = last; c > id;) {
        if (*--c == '.') return c + 1;
    }
    return id;
}

}  // extern "C"
