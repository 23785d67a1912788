/* SPDX-License-Identifier: GPL-3.0-or-later */
// status_dbm.h - what the user and the desktop status databases share: the
// byte format of a stored value, the ordered status lists, and the way a
// handle reaches its file for one operation.
//
// The status files are written by the server's login services while a tool
// holds its handles open.  gdbm's ndbm layer takes no lock and a handle
// caches what it read, so a long-held handle would neither see their records
// nor leave them alone when it writes.  The handles returned by
// status_dbm::open() are therefore remembered together with their path, and
// every fetch, walk, store or delete through them works on a fresh handle
// opened for that one operation and closed right after it.
#ifndef ZT_STATUS_DBM_H
#define ZT_STATUS_DBM_H

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"

namespace zt::status_dbm {

// The byte that ends each field of a stored value (ASCII record separator).
inline constexpr char kSeparator = '\x1e';
inline constexpr size_t kFieldCount = 6;
// The longest value that is stored, and how much of a stored value is read.
inline constexpr size_t kMaxValueSize = 511;
inline constexpr size_t kReadSize = 512;

using Fields = std::array<std::optional<std::string>, kFieldCount>;

// ------------------------------------------------------------ value bytes

// The six fields each followed by kSeparator, no NUL.  nullopt when a field
// holds the separator or the value would be longer than kMaxValueSize:
// nothing is ever cut short.
std::optional<std::string> encode(const std::array<std::string_view, kFieldCount> &fields);

// Splits a stored value: field N is the text between the (N-1)th and the Nth
// separator.  Reads at most kReadSize bytes of it and stops at a NUL byte;
// fields missing from a short or garbled value stay nullopt.
Fields decode(datum value);

// A malloc'd copy of a decoded field, or null when it is missing.
char *dup_field(const std::optional<std::string> &field);

// A decimal field as atoi reads it (leading blanks, sign, digits, the rest
// ignored), clamped to the int range; 0 when missing, empty or not a number.
int to_int(const std::optional<std::string> &field);

// The key under which a record with this ID is stored (the ID's bytes
// without NUL); borrows `id`.
datum key_of(const char *id);

// How the print functions show an absent text.
inline const char *or_nil(const char *s) { return s != nullptr ? s : "(nil)"; }
inline const char *or_empty(const char *s) { return s != nullptr ? s : ""; }

// Orders IDs bytewise; an absent ID sorts after every present one.
int compare_ids(const char *a, const char *b);

// ------------------------------------------------------------ handles

// Opens the existing database at `path` (gdbm adds its suffixes) read-only
// when `access` is 1, read-write otherwise, and remembers the path for
// later operations.  Null when it cannot be opened.
DBM *open(const char *path, int access);

// Forgets and closes a handle from open(); null is ignored.
void close(DBM *db);

// The handle one operation works on: a fresh handle of its own, or a
// borrowed one.
class OpHandle {
public:
    OpHandle() = default;
    DBM *get() const { return owned_ ? owned_.get() : borrowed_; }
    explicit operator bool() const { return get() != nullptr; }

    static OpHandle fresh(const std::string &path, int flags);
    static OpHandle borrow(DBM *db);

private:
    DbmPtr owned_;
    DBM *borrowed_ = nullptr;
};

// What an operation does with the file.  Reading always gets a read-only
// handle: closing a read-write gdbm handle flushes the whole file.
enum class Use { kRead, kWrite };

// For a handle from open(): a fresh handle on its file, read-only for
// reading and with the held handle's access mode for writing.  Any other
// handle (opened by the caller with dbm_open) is borrowed and used as it is.
OpHandle for_handle(DBM *held, Use use);

// For the operations that take the connection: a fresh handle on `path`
// when it is set, for writing with the access mode of `held` (or, without a
// handle, read-only at access level 1, read-write otherwise); else as
// for_handle().
OpHandle for_file(DBM *held, const char *path, int access_level, Use use);

// ------------------------------------------------------ kept handles
// A connection made for one question and released right after it (the
// existence check on the primary) opens both status files as every
// connection does, though it never reads them, and closing a read-write
// gdbm handle syncs the file to disk: a millisecond or more per file, most
// of a batch add's time.  Such handles are kept instead, and the next such
// connection takes them back when the files at their path are still the
// very files they were opened on, unchanged since (device, inode, owner,
// mode, size and both times to the nanosecond, of the .pag and the .dir
// file), so that opening them again could only have given the same.  A
// file changed since, or changed too recently to tell a later change from
// it, is opened again as always.

// What open(path, access) gives, taken from the kept handles when it can.
DBM *open_or_take(const char *path, int access);
// Keeps a handle of open_or_take() for the next one on its path and access
// mode; one whose files could not be told unchanged is closed.
void keep(DBM *db);
// Closes the kept handles (close_connection does it).
void close_kept();

// Stores `value` under `id` (DBM_INSERT or DBM_REPLACE); 0 or -1.
int store(DBM *db, const char *id, const std::string &value, int mode);

// --------------------------------------------------------------- lists

// Inserts `record` into the list at *head after every node whose ID is not
// greater than its own; the new node owns the record.  Null arguments are
// ignored.
template <typename Node, typename Record>
void insert_sorted(Node **head, Record *record, Record *Node::*slot) {
    if (head == nullptr || record == nullptr) return;
    auto *node = static_cast<Node *>(safe_malloc(sizeof(Node)));
    node->*slot = record;
    Node **link = head;
    while (*link != nullptr && compare_ids(((*link)->*slot)->id, record->id) <= 0) link = &(*link)->next;
    node->next = *link;
    *link = node;
}

// Links `records` into a new list in the order insert_sorted() would give
// them one by one, without its quadratic cost.
template <typename Node, typename Record>
Node *build_sorted(std::vector<Record *> records, Record *Node::*slot) {
    std::stable_sort(records.begin(), records.end(),
                     [](const Record *a, const Record *b) { return compare_ids(a->id, b->id) < 0; });
    Node *head = nullptr;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        auto *node = static_cast<Node *>(safe_malloc(sizeof(Node)));
        node->*slot = *it;
        node->next = head;
        head = node;
    }
    return head;
}

// Frees every node and its record and empties the list.
template <typename Node, typename Record>
void free_list(Node **head, Record *Node::*slot, void (*free_record)(Record *)) {
    if (head == nullptr) return;
    while (*head != nullptr) {
        Node *node = *head;
        *head = node->next;
        free_record(node->*slot);
        std::free(node);
    }
}

// Calls `visit(value)` for every record of the database, in key order of
// the file.  Records that vanish during the walk are skipped.
template <typename Visit>
void for_each_value(DBM *db, Visit visit) {
    for (datum key = dbm_firstkey(db); key.dptr != nullptr; key = dbm_nextkey(db)) {
        datum value = dbm_fetch(db, key);
        if (value.dptr != nullptr) visit(value);
    }
}

}  // namespace zt::status_dbm

#endif  // ZT_STATUS_DBM_H
