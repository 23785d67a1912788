// SPDX-License-Identifier: GPL-3.0-or-later
// status_dbm.cc - value format and per-operation handles shared by the user
// and the desktop status databases (see status_dbm.h for why handles are
// reopened).
#include "status_dbm.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <mutex>
#include <unordered_map>

namespace zt::status_dbm {

namespace {

constexpr int kFileMode = 0664;

// A handle handed out by open(), with the file it was opened on.  The
// device and inode tell a live entry from a stale one whose handle was
// closed with plain dbm_close and whose address now belongs to another.
struct Registered {
    std::string path;
    dev_t dev;
    ino_t ino;
};

std::mutex registry_mutex;
std::unordered_map<DBM *, Registered> registry;

bool same_file(DBM *db, const Registered &entry) {
    struct stat st {};
    if (fstat(dbm_pagfno(db), &st) != 0) return false;
    return st.st_dev == entry.dev && st.st_ino == entry.ino;
}

// O_RDONLY or O_RDWR, as the handle's file was opened; -1 if unknown.
int access_flags(DBM *db) {
    int flags = fcntl(dbm_pagfno(db), F_GETFL);
    return flags < 0 ? -1 : (flags & O_ACCMODE);
}

std::optional<std::string> registered_path(DBM *db) {
    std::lock_guard lock(registry_mutex);
    auto it = registry.find(db);
    if (it == registry.end()) return std::nullopt;
    if (!same_file(db, it->second)) {
        registry.erase(it);
        return std::nullopt;
    }
    return it->second.path;
}

}  // namespace

// ------------------------------------------------------------ value bytes

std::optional<std::string> encode(const std::array<std::string_view, kFieldCount> &fields) {
    std::string value;
    for (std::string_view field : fields) {
        if (field.find(kSeparator) != std::string_view::npos) return std::nullopt;
        value.append(field);
        value += kSeparator;
    }
    if (value.size() > kMaxValueSize) return std::nullopt;
    return value;
}

Fields decode(datum value) {
    Fields fields;
    if (value.dptr == nullptr || value.dsize <= 0) return fields;
    std::string_view bytes(value.dptr, std::min(static_cast<size_t>(value.dsize), kReadSize));
    bytes = bytes.substr(0, bytes.find('\0'));
    size_t start = 0;
    for (auto &field : fields) {
        size_t end = bytes.find(kSeparator, start);
        if (end == std::string_view::npos) break;
        field = std::string(bytes.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

char *dup_field(const std::optional<std::string> &field) { return field ? dup_c(*field) : nullptr; }

int to_int(const std::optional<std::string> &field) {
    if (!field) return 0;
    const char *s = field->c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    long long magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        magnitude = magnitude * 10 + (*s - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) break;
    }
    long long result = negative ? -magnitude : magnitude;
    if (result > INT_MAX) return INT_MAX;
    if (result < INT_MIN) return INT_MIN;
    return static_cast<int>(result);
}

datum key_of(const char *id) {
    datum key{};
    key.dptr = const_cast<char *>(id);
    key.dsize = static_cast<int>(std::strlen(id));
    return key;
}

int compare_ids(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? 1 : -1);
    return std::strcmp(a, b);
}

// ------------------------------------------------------------ handles

DBM *open(const char *path, int access) {
    if (path == nullptr) return nullptr;
    DBM *db = dbm_open(const_cast<char *>(path), access == 1 ? O_RDONLY : O_RDWR, kFileMode);
    if (db == nullptr) return nullptr;
    struct stat st {};
    if (fstat(dbm_pagfno(db), &st) == 0) {
        std::lock_guard lock(registry_mutex);
        registry[db] = Registered{path, st.st_dev, st.st_ino};
    }
    return db;
}

void close(DBM *db) {
    if (db == nullptr) return;
    {
        std::lock_guard lock(registry_mutex);
        registry.erase(db);
    }
    dbm_close(db);
}

OpHandle OpHandle::fresh(const std::string &path, int flags) {
    OpHandle handle;
    handle.owned_.reset(dbm_open(const_cast<char *>(path.c_str()), flags, kFileMode));
    return handle;
}

OpHandle OpHandle::borrow(DBM *db) {
    OpHandle handle;
    handle.borrowed_ = db;
    return handle;
}

OpHandle for_handle(DBM *held, Use use) {
    if (held == nullptr) return OpHandle();
    std::optional<std::string> path = registered_path(held);
    if (!path) return OpHandle::borrow(held);
    int flags = use == Use::kRead ? O_RDONLY : access_flags(held);
    return flags < 0 ? OpHandle() : OpHandle::fresh(*path, flags);
}

OpHandle for_file(DBM *held, const char *path, int access_level, Use use) {
    if (path == nullptr || *path == '\0') return for_handle(held, use);
    int flags = O_RDONLY;
    if (use == Use::kWrite) flags = held != nullptr ? access_flags(held) : (access_level == 1 ? O_RDONLY : O_RDWR);
    return flags < 0 ? OpHandle() : OpHandle::fresh(path, flags);
}

int store(DBM *db, const char *id, const std::string &value, int mode) {
    datum content{};
    content.dptr = const_cast<char *>(value.data());
    content.dsize = static_cast<int>(value.size());
    return dbm_store(db, key_of(id), content, mode) == 0 ? 0 : -1;
}

}  // namespace zt::status_dbm
