// SPDX-License-Identifier: GPL-3.0-or-later
// auth_mgr_lists.cc - the lists built from the authentication manager's
// "status" reply: who is logged in at which terminal, which terminals are
// connected, and which token sits in a token reader.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

namespace ss = zt::session;

constexpr int kTerminalMode = 1;
constexpr int kNonEmptyTokenMode = 2;
constexpr int kReaderMode = 3;
constexpr std::string_view kCidNamespace = "IEEE802";

// The working copies of one "status" record while it is parsed.
struct EntryFields {
    zt::CString terminal;
    zt::CString token;
    zt::CString group;
    unsigned int flag = 0;
};

const char *or_nil(const char *s) { return s != nullptr ? s : "(nil)"; }

void apply_entry_key(EntryFields &fields, const char *key, const char *value, int mode) {
    if (ss::same_nocase(key, "terminalId")) {
        fields.terminal.reset(get_short_terminal_id(value));
        zt::dlprintf("b", "got terminalId |%s|\n", or_nil(fields.terminal.get()));
    } else if (ss::same_nocase(key, "MultiheadPrimary")) {
        if (std::strcmp(value, "false") == 0) fields.flag |= ZT_FLAG_MH_SECONDARY;
        zt::dlprintf("b", "got MultiheadPrimary |%s|\n", value);
    } else if (ss::same_nocase(key, "MultiheadGroupName")) {
        fields.group.reset(safe_strdup(value));
        zt::dlprintf("b", "got MultiheadGroupName |%s|\n", value);
    } else if (mode != kReaderMode && ss::same_nocase(key, "LocalName")) {
        fields.token.reset(safe_strdup(get_short_token_id(value)));
        zt::dlprintf("b", "got localName |%s|\n", or_nil(fields.token.get()));
    } else if (ss::same_nocase(key, "annotation.x_token")) {
        zt::dlprintf("b", "got token reader token |%s|\n", value);
        fields.flag |= ZT_FLAG_TOKEN_READER;
        if (mode == kReaderMode) fields.token.reset(safe_strdup(get_short_token_id(value)));
    }
}

// A terminal filter without the "IEEE802" namespace and the character
// after it.
const char *short_filter(const char *filter) {
    if (filter == nullptr || std::strncmp(filter, kCidNamespace.data(), kCidNamespace.size()) != 0) return filter;
    size_t length = std::strlen(filter);
    return filter + std::min(length, kCidNamespace.size() + 1);
}

// Calls `on_line` with every line of `file` (without its line feed) until
// it returns false.
void for_each_line(FILE *file, const std::function<bool(const std::string &line)> &on_line) {
    char *raw = nullptr;
    size_t capacity = 0;
    for (ssize_t length; (length = getline(&raw, &capacity, file)) >= 0;) {
        std::string line(raw, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!on_line(line)) break;
    }
    std::free(raw);
}

// Calls `on_reader` with the short terminal ID of every "terminalId" line
// of the token-reader file until it returns false.  false when the file is
// missing (silently) or cannot be opened (a debug line from `caller`).
// Only a regular file of bounded size is read, so that a FIFO or a device
// named there can neither hang nor exhaust the command.
bool for_each_reader(const char *caller, const std::function<bool(const char *terminal)> &on_reader) {
    std::string path = zt::fixed_path(zt::kTerminalsPath);
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return false;
    zt::FilePtr file = zt::open_config_file(path);
    if (!file) {
        ss::report(caller, "Could not open terminals file (%s)\n", path.c_str());
        return false;
    }
    for_each_line(file.get(), [&](const std::string &line) {
        if (line.size() > ss::kMaxLine) return true;
        char *key = nullptr;
        char *value = nullptr;
        bool reader = parse_key_and_value(line.c_str(), &key, &value) == 1 && key != nullptr && value != nullptr &&
                      std::strcmp(key, "terminalId") == 0;
        zt::CString terminal(reader ? get_short_terminal_id(value) : nullptr);
        std::free(key);
        std::free(value);
        return !terminal || on_reader(terminal.get());
    });
    return true;
}

// The sort key of a login list in `mode`: the terminal in mode 1, else the token.
auto key_of(int mode) {
    return [mode](const CurrentEntry *e) { return mode == kTerminalMode ? e->terminal_id : e->token_id; };
}

const char *terminal_key(const TermEntry *e) { return e->terminal_id; }

CurrentEntry *new_entry(const char *terminal, const char *token, const char *server, const char *group,
                        unsigned int flag) {
    auto *entry = static_cast<CurrentEntry *>(safe_calloc(1, sizeof(CurrentEntry)));
    entry->terminal_id = safe_strdup(terminal);
    entry->token_id = safe_strdup(token);
    entry->server = safe_strdup(server);
    entry->group_name = safe_strdup(group);
    entry->flag = flag;
    return entry;
}

// The entry of one "status" record (without a server), or null when the
// record gives none in `mode` or its terminal does not contain the filter.
CurrentEntry *entry_of(const char *record, int mode, const char *terminal_filter) {
    EntryFields fields;
    ss::for_each_pair(record, [&](const char *key, const char *value) { apply_entry_key(fields, key, value, mode); });
    const char *terminal = fields.terminal.get();
    const char *token = fields.token.get();
    if (terminal == nullptr || token == nullptr) return nullptr;
    if (mode == kNonEmptyTokenMode && *token == '\0') return nullptr;
    if (terminal_filter != nullptr && std::strstr(terminal, terminal_filter) == nullptr) return nullptr;
    return new_entry(terminal, token, nullptr, fields.group.get(), fields.flag);
}

// The connected terminal of one "status" record, or null for a record
// without a terminal (it has nothing to be listed under).
TermEntry *term_entry_of(const char *record) {
    zt::CString terminal, packets, connect_time;
    ss::for_each_pair(record, [&](const char *key, const char *value) {
        if (ss::same_nocase(key, "terminalId")) {
            terminal.reset(get_short_terminal_id(value));
        } else if (ss::same_nocase(key, "terminalPackets")) {
            packets.reset(safe_strdup(value));
        } else if (ss::same_nocase(key, "terminalConnectTime")) {
            connect_time.reset(safe_strdup(value));
        }
    });
    if (!terminal) return nullptr;
    auto *entry = static_cast<TermEntry *>(safe_calloc(1, sizeof(TermEntry)));
    entry->terminal_id = terminal.release();
    entry->packets = packets.release();
    entry->connect_time = connect_time.release();
    return entry;
}

int atoi_or_zero(const char *text) { return text != nullptr ? std::atoi(text) : 0; }

}  // namespace

extern "C" {

void parse_entry(CurrentEntry **list, const char *record, int mode, const char *terminal_filter) {
    if (list == nullptr) return;
    if (CurrentEntry *entry = entry_of(record, mode, terminal_filter)) ss::insert_sorted(list, entry, key_of(mode));
}

CurrentEntry *get_current_list(const char *host, int *count, int mode, const char *terminal_filter) {
    int ignored = 0;
    if (count == nullptr) count = &ignored;
    const char *filter = short_filter(terminal_filter);
    // Appended in reply order and sorted once: the order of sorted
    // insertion without its quadratic cost.
    CurrentEntry *list = nullptr;
    ss::ChainTail<CurrentEntry> tail(&list);
    ss::RecordFramer framer([&](const char *record) {
        if (CurrentEntry *entry = entry_of(record, mode, filter)) tail.append(entry);
    });
    ss::Result result = ss::exchange({"get_current_list", ss::kAuthManager, true, false, ss::kRecordWords, "status\n"},
                                     host, [&](std::string_view line) { return framer.line(line); });
    if (result.outcome == ss::Outcome::kFailed) {
        free_linked_list(&list);
        *count = -1;
        return nullptr;
    }
    ss::sort_chain(&list, key_of(mode));
    for (CurrentEntry *entry = list; entry != nullptr; entry = entry->next) entry->server = safe_strdup(host);
    *count = count_linked_list(list);
    zt::dlprintf("b", "found %d desktops\n", *count);
    return list;
}

int count_linked_list(const CurrentEntry *list) {
    int count = 0;
    for (; list != nullptr; list = list->next) ++count;
    return count;
}

void free_linked_list(CurrentEntry **list) {
    ss::free_chain(list, &CurrentEntry::terminal_id, &CurrentEntry::token_id, &CurrentEntry::server,
                   &CurrentEntry::group_name);
}

void print_linked_list(const CurrentEntry *list) {
    for (; list != nullptr; list = list->next) {
        std::fprintf(stderr, "|%s|%s|%s|%s|%#X\n", or_nil(list->terminal_id), or_nil(list->token_id),
                     or_nil(list->server), or_nil(list->group_name), list->flag);
    }
}

void add_to_linked_list(CurrentEntry **list, const char *terminal, const char *token, int mode, const char *server,
                        const char *group, unsigned int flag) {
    if (list == nullptr) return;
    ss::insert_sorted(list, new_entry(terminal, token, server, group, flag), key_of(mode));
}

char *get_short_terminal_id(const char *terminal_id) {
    if (terminal_id == nullptr) return nullptr;
    const char *dot = std::strrchr(terminal_id, '.');
    return safe_strdup(dot != nullptr ? dot + 1 : terminal_id);
}

CurrentEntry *get_token_reader_terminals(void) {
    CurrentEntry *list = nullptr;
    for_each_reader("get_token_reader_terminals", [&](const char *terminal) {
        add_to_linked_list(&list, terminal, nullptr, kTerminalMode, nullptr, nullptr, 0);
        return true;
    });
    return list;
}

int is_token_reader(const char *terminal_id) {
    if (terminal_id == nullptr) return 0;
    bool found = false;
    for_each_reader("is_token_reader", [&](const char *terminal) {
        found = std::strcmp(terminal, terminal_id) == 0;
        return !found;
    });
    return found ? 1 : 0;
}

char *get_token_id_from_reader(const char *host, const char *reader_id) {
    int count = 0;
    CurrentEntry *list = get_current_list(host, &count, kReaderMode, reader_id);
    char *token = nullptr;
    if (count > 1) {
        zt::dprintf("get_token_id_from_reader(): Got multiple results (%d)\n", count);
    } else if (list != nullptr && list->token_id != nullptr) {
        token = safe_strdup(std::strstr(list->token_id, "pseudo") != nullptr ? "" : list->token_id);
    }
    free_linked_list(&list);
    return token;
}

// ------------------------------------------------------ connected terminals

void zt_parse_term_entry(TermEntry **list, const char *record) {
    if (list == nullptr) return;
    if (TermEntry *entry = term_entry_of(record)) ss::insert_sorted(list, entry, terminal_key);
}

TermEntry *zt_get_term_list(const char *host, int *status) {
    int ignored = 0;
    if (status == nullptr) status = &ignored;
    TermEntry *list = nullptr;
    ss::ChainTail<TermEntry> tail(&list);
    ss::RecordFramer framer([&](const char *record) {
        if (TermEntry *entry = term_entry_of(record)) tail.append(entry);
    });
    ss::Result result = ss::exchange({"zt_get_term_list", ss::kAuthManager, true, false, ss::kLowerWords, "status\n"},
                                     host, [&](std::string_view line) { return framer.line(line); });
    *status = result.outcome == ss::Outcome::kFailed ? -1 : 0;
    if (*status != 0) zt_free_term_list(&list);
    ss::sort_chain(&list, terminal_key);
    return list;
}

void zt_add_to_term_list(TermEntry **list, const char *terminal, const char *packets, const char *connect_time) {
    if (list == nullptr) return;
    auto *entry = static_cast<TermEntry *>(safe_calloc(1, sizeof(TermEntry)));
    entry->terminal_id = safe_strdup(terminal);
    entry->packets = safe_strdup(packets);
    entry->connect_time = safe_strdup(connect_time);
    ss::insert_sorted(list, entry, terminal_key);
}

void zt_free_term_list(TermEntry **list) {
    ss::free_chain(list, &TermEntry::terminal_id, &TermEntry::packets, &TermEntry::connect_time);
}

void zt_print_term_list(const TermEntry *list) {
    for (; list != nullptr; list = list->next) {
        std::fprintf(stderr, "|%s|%s|%s|\n", or_nil(list->terminal_id), or_nil(list->packets),
                     or_nil(list->connect_time));
    }
}

char *zt_term_conn_time(const char *seconds) {
    int total = atoi_or_zero(seconds);
    std::string text = std::to_string(total / 3600) + ":" + std::to_string(total % 3600 / 60) + ":" +
                       std::to_string(total % 60);
    return zt::dup_c(text);
}

int zt_term_unknown(const TermEntry *entry) {
    return entry == nullptr || entry->packets == nullptr || entry->connect_time == nullptr ? 1 : 0;
}

int zt_term_unowned(const TermEntry *entry, int minimum_seconds) {
    if (zt_term_unknown(entry)) return 0;
    return std::atoi(entry->packets) == 0 && std::atoi(entry->connect_time) >= minimum_seconds ? 1 : 0;
}

}  // extern "C"
