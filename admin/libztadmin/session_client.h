/* SPDX-License-Identifier: GPL-3.0-or-later */
// session_client.h - internal interface of the session-service clients.
//
// C++ only.  Every query of the authentication and session managers is one
// exchange: find the port, optionally probe the host, connect, send one
// request, wait for the first data, then read until the manager closes
// the connection, handing each complete reply line to the query's handler.
// The exchange and the line framing live here once; the reply parsers are
// pure functions over text, so tests and fuzzers drive them without a
// socket.
#ifndef ZT_SESSION_CLIENT_H
#define ZT_SESSION_CLIENT_H

#ifndef __cplusplus
#error "session_client.h is C++ only"
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "admin.h"
#include "auth_mgr.h"
#include "group_mgr.h"

namespace zt::session {

// Limits of the reply: one read, one line, the text of one record.
inline constexpr size_t kReadSize = 511;
inline constexpr size_t kMaxLine = 511;
inline constexpr size_t kMaxRecord = 2047;
// A request built from a caller's value must fit 127 bytes.
inline constexpr size_t kMaxRequest = 127;
// A manager whose listen queue is full drops the connect without a word;
// the connect may take as long as the first data.
inline constexpr int kConnectMs = 5000;
// The members taken from one group status reply.
inline constexpr int kMaxGroupMembers = 64;

// How long a reply may take: the first data, the pause between data once
// the reply has begun, the whole reply; and how large it may grow.
inline constexpr int kFirstDataMs = 5000;
inline constexpr int kIdleMs = 5000;
inline constexpr int kTotalMs = 20000;
inline constexpr size_t kMaxReplyBytes = 64u << 20;

inline constexpr const char *kLocalHost = "127.0.0.1";

// A TCP service and the port used when the services database lacks it.
struct Service {
    const char *name;
    int fallback_port;
};
inline constexpr Service kAuthManager{"ztauthd-cb", 7010};
inline constexpr Service kSessionManager{"ztsessiond", 7007};

// The port of `service`.  `caller` names the function in the two debug
// lines written when the service is unknown; absent: no debug lines.
int service_port(const Service &service, const char *caller);

// The texts that differ between the queries' debug lines.  Each is written
// as "CALLER(): TEXT"; open_failed gets the host and port.
struct Words {
    const char *open_failed;
    const char *write_failed;
    const char *poll_timeout;
};
inline constexpr Words kRecordWords{"Could not open socket to %s:%d\n", "Write command failed\n",
                                    "poll timed out\n"};
inline constexpr Words kLowerWords{"could not open socket to %s:%d\n", "write command failed\n",
                                   "poll timed out\n"};
inline constexpr Words kStatusWords{"Could not open socket to %s:%d\n", "Write command failed\n",
                                    "Poll timed out\n"};

struct Query {
    const char *caller;         // names the function in its debug lines
    Service service;
    bool probe;                 // run ping_host before connecting
    bool resolve;               // check that the host name resolves first
    Words words;
    std::string_view request;
};

// What a line handler did with a line: took it, dropped it (it did not fit
// what it belongs to), or asks the exchange to stop reading.
enum class LineStatus { kTaken, kDropped, kStop };
using LineHandler = std::function<LineStatus(std::string_view line)>;

enum class Outcome {
    kComplete,   // read until the manager closed the connection
    kStopped,    // the handler asked to stop
    kCutShort,   // reading failed, stalled or ran over its bounds
    kFailed,     // nothing was read: probe, connect, write or first wait
};

struct Result {
    Outcome outcome;
    AdminStatus status;  // 0; -12, -13, -14, -15 (failed); -1 or -15 (cut short)
};

// Performs the exchange of `query` with `host` (absent: the local host).
// After reading began it writes one debug line when reply lines were
// dropped, and "CALLER(): read error - TEXT" when the reply was cut short.
Result exchange(const Query &query, const char *host, const LineHandler &on_line);

// The reachability probe as a command runs it: while a ProbeScope is
// open on this thread, each host is probed once; a host that answered is
// not probed again, and one that did not gets the same answer again
// without a probe.  Without a scope every call runs the probe (ping_host).
int probe_host(const char *host);

// Remembers probe answers on this thread for its lifetime (the work of one
// command: a group's view and then each member, or one token read).
// Scopes nest; the answers are forgotten when the outermost one ends.
class ProbeScope {
public:
    ProbeScope();
    ~ProbeScope();
    ProbeScope(const ProbeScope &) = delete;
    ProbeScope &operator=(const ProbeScope &) = delete;
};

// open_socket (a stream socket, same log lines) whose connect takes at
// most `timeout_ms`; ETIMEDOUT is then reported as the connect's failure.
// The socket is returned non-blocking.
int open_socket_within(const char *host, int port, int timeout_ms);

// Writes the debug line "CALLER(): " and the formatted text.
void report(const char *caller, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Cuts a byte stream arriving in chunks into lines.  A line longer than
// kMaxLine bytes, or holding a NUL byte, is dropped whole; a piece not
// ended by a line feed waits for the next chunk.  Counts the lines dropped
// here and by the handler.
class LineAssembler {
public:
    // Feeds one chunk; false as soon as the handler asks to stop.
    bool feed(std::string_view chunk, const LineHandler &on_line);
    int dropped() const { return dropped_; }

private:
    bool finish_line(const LineHandler &on_line);
    std::string pending_;
    bool oversized_ = false;
    int dropped_ = 0;
};

// The text of one record or host entry, at most kMaxRecord bytes: lines
// that would take it further are dropped (and so is every later line
// until the text is cleared), so the text always ends with a whole line.
class BoundedText {
public:
    void clear() {
        text_.clear();
        full_ = false;
    }
    // Appends `line` and a line feed; false when it did not fit.
    bool append_line(std::string_view line);
    const std::string &text() const { return text_; }

private:
    std::string text_;
    bool full_ = false;
};

// The record framing of the manager's replies: "begin" clears the record
// text, "end" hands it to `on_record` (and keeps it), other lines are
// added to it.
class RecordFramer {
public:
    explicit RecordFramer(std::function<void(const char *record)> on_record)
        : on_record_(std::move(on_record)) {}
    LineStatus line(std::string_view line);

private:
    std::function<void(const char *)> on_record_;
    BoundedText record_;
};

// Feeds a whole reply through the line assembler in chunks of `chunk`
// bytes (at least 1), as the exchange would receive it; false when the
// handler stopped.
bool feed_reply(std::string_view reply, size_t chunk, const LineHandler &on_line);

// The words of `line` separated by white space.
std::vector<std::string_view> split_words(std::string_view line);

// Decimal and hexadecimal fields read as atoi and an unsigned strtoul
// would read them, clamped to 32 bits; 0 for a missing field.
int decimal_field(const std::vector<std::string_view> &fields, size_t index);
unsigned int hex_field(const std::vector<std::string_view> &fields, size_t index);

// True when `a` and `b` are equal ignoring ASCII case.
bool same_nocase(std::string_view a, std::string_view b);

// Frees every node of a list with the text `fields` of each, and sets the
// head to null.
template <typename Node, typename... Fields>
void free_chain(Node **list, Fields... fields) {
    if (list == nullptr) return;
    while (*list != nullptr) {
        Node *next = (*list)->next;
        (std::free((*list)->*fields), ...);
        std::free(*list);
        *list = next;
    }
}

// Inserts `node` after every node whose key is less than or equal to its
// own (safe_strcmp: bytewise, absent keys last), so equal keys keep their
// arrival order.
template <typename Node, typename KeyOf>
void insert_sorted(Node **list, Node *node, KeyOf key_of) {
    const char *key = key_of(node);
    while (*list != nullptr && safe_strcmp(key_of(*list), key) <= 0) list = &(*list)->next;
    node->next = *list;
    *list = node;
}

// Appends nodes at the end of a list in constant time.
template <typename Node>
class ChainTail {
public:
    explicit ChainTail(Node **list) : tail_(list) {
        while (*tail_ != nullptr) tail_ = &(*tail_)->next;
    }
    void append(Node *node) {
        node->next = nullptr;
        *tail_ = node;
        tail_ = &node->next;
    }

private:
    Node **tail_;
};

// Orders the list by key as inserting its nodes one by one with
// insert_sorted() would, in O(n log n): a stable sort, so nodes with equal
// keys keep their order.
template <typename Node, typename KeyOf>
void sort_chain(Node **list, KeyOf key_of) {
    std::vector<Node *> nodes;
    for (Node *n = *list; n != nullptr; n = n->next) nodes.push_back(n);
    std::stable_sort(nodes.begin(), nodes.end(),
                     [&key_of](const Node *a, const Node *b) { return safe_strcmp(key_of(a), key_of(b)) < 0; });
    *list = nullptr;
    ChainTail<Node> tail(list);
    for (Node *n : nodes) tail.append(n);
}

// Merges lists each ordered by key into one, in one pass, taking the
// nodes over: the order inserting every node of the first list, then of
// the second, and so on, with insert_sorted() would give (among equal
// keys, the earlier list's nodes first).
template <typename Node, typename KeyOf>
Node *merge_chains(std::vector<Node *> lists, KeyOf key_of) {
    // The heads still to be merged, the smallest key (then earliest list) on top.
    auto later = [&](size_t a, size_t b) {
        int c = safe_strcmp(key_of(lists[a]), key_of(lists[b]));
        return c != 0 ? c > 0 : a > b;
    };
    std::vector<size_t> heap;
    for (size_t i = 0; i < lists.size(); ++i)
        if (lists[i] != nullptr) heap.push_back(i);
    std::make_heap(heap.begin(), heap.end(), later);
    Node *merged = nullptr;
    ChainTail<Node> tail(&merged);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        size_t i = heap.back();
        Node *node = lists[i];
        lists[i] = node->next;
        tail.append(node);
        if (lists[i] != nullptr) {
            std::push_heap(heap.begin(), heap.end(), later);
        } else {
            heap.pop_back();
        }
    }
    return merged;
}

// Calls `on_pair` with the key and value of every "key=value" line of
// `record` (parse_key_and_value rules: comments, lines without "=" and
// empty keys or values are skipped).
void for_each_pair(const char *record, const std::function<void(const char *key, const char *value)> &on_pair);

// "~terminalCID~terminalId~tokenName~firmware~" and "KEY~" per key: the
// wanted-keys text of a record query.
std::string wanted_keys_text(const char *const *keys);

// The gstatus reply handler: collects host entries and hands each whole
// entry to parse_host_entry.  line() asks to stop after the interface
// count error, which has then freed the list.
// A member whose name the list already holds (ASCII case ignored), or one
// beyond the first kMaxGroupMembers of the reply, is not taken: every
// member costs the group-wide lists a query of its own.
class GstatusReader {
public:
    explicit GstatusReader(HostList **list) : list_(list) {}
    LineStatus line(std::string_view line);
    int repeated() const { return repeated_; }
    int beyond_limit() const { return beyond_limit_; }

private:
    void take_entry();
    HostList **list_;
    BoundedText entry_;
    int numifs_ = 0;
    int ifcount_ = 0;
    int taken_ = 0;
    int repeated_ = 0;
    int beyond_limit_ = 0;
};

// get_gstatus with the outcome of its exchange, for callers that must
// tell a group of none from a manager that could not be asked.
Result ask_group(const char *host, HostList **list);

// True for a member that is trusted and not timed out.
bool trusted_and_alive(const HostList *node);

}  // namespace zt::session

// ---------------------------------------------------- reply parsers (C)
extern "C" {

AdminStatus getAuthMgrRecords(const char *host, int mode, const char *terminal_filter,
                              const char *const *keys, KeyValuesNode **list, const char *request);
// Builds the node of one record and files it in *list when it is kept.
void parse_record(KeyValuesNode **list, const char *record, int mode, const char *wanted,
                  const char *terminal_filter);
void add_to_KeyValuesNode_list(KeyValuesNode **list, KeyValuesNode *node, int mode);
void free_KeyValuesNode(KeyValuesNode *node);

// The CurrentEntry and TermEntry of one "status" record.
void parse_entry(CurrentEntry **list, const char *record, int mode, const char *terminal_filter);
void zt_parse_term_entry(TermEntry **list, const char *record);

// A gstatus host line's kind and interface count: 1 host (numifs set), 2
// interface, 0 any other line.
int parse_host_line(const char *line, int *numifs);
void parse_host_entry(HostList **list, const char *entry);

// The records of "status" and "ustatus" replies of another server.
void parse_desktop_entry(DesktopList **list, const char *record);
void parse_user_entry(UserList **list, const char *record);
char *get_desktop_id(const char *terminal_id);
char *get_hw_model(const char *terminal_id);

void parse_smstatus_line(smstatus **status, const char *line);

}  // extern "C"

#endif  // ZT_SESSION_CLIENT_H
