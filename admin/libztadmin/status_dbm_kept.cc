// SPDX-License-Identifier: GPL-3.0-or-later
// status_dbm_kept.cc - status database handles kept between the short
// connections of the existence checks on the primary (see status_dbm.h).
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "status_dbm.h"

namespace zt::status_dbm {
namespace {

// Handles kept at most; the oldest is closed first.  A connection keeps two.
constexpr size_t kKeptCapacity = 4;

// What tells one state of a file from another.
struct FileState {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    bool operator==(const FileState &o) const {
        return dev == o.dev && ino == o.ino && mode == o.mode && uid == o.uid && gid == o.gid && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

bool before(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

std::optional<FileState> state_of(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileState{st.st_dev, st.st_ino, st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtim, st.st_ctim};
}

// The two files gdbm opens for a database at `path`.
struct Files {
    FileState pag;
    FileState dir;
    bool operator==(const Files &) const = default;
};

std::optional<Files> files_of(const std::string &path) {
    std::optional<FileState> pag = state_of(path + ".pag");
    std::optional<FileState> dir = state_of(path + ".dir");
    if (!pag || !dir) return std::nullopt;
    return Files{*pag, *dir};
}

struct Kept {
    std::string path;
    int access;
    Files files;
    DBM *db;
};

struct Store {
    std::mutex lock;
    // Handles handed out by open_or_take, with what they were opened on;
    // absent files mean they cannot be told unchanged later.
    std::unordered_map<DBM *, std::pair<Kept, bool>> out;
    std::vector<Kept> idle;
    pid_t owner = getpid();

    // A child made by fork() shares the parent's files and leaves them be.
    void claim() {
        if (owner == getpid()) return;
        out.clear();
        idle.clear();
        owner = getpid();
    }
};

Store &store() {
    static Store *shared = new Store;  // never destroyed: used up to exit
    return *shared;
}

int access_mode(int access) { return access == 1 ? 1 : 0; }

// The kept handle on `path` with `access` whose files are unchanged, now
// the caller's; kept ones on the same path and access that changed are
// handed back in `stale` to be closed.
DBM *take_unchanged(const std::string &path, int access, std::vector<DBM *> &stale) {
    Store &s = store();
    std::lock_guard hold(s.lock);
    s.claim();
    for (auto it = s.idle.begin(); it != s.idle.end(); ++it) {
        if (it->path != path || it->access != access) continue;
        Kept k = std::move(*it);
        s.idle.erase(it);
        std::optional<Files> now = files_of(path);
        if (now && *now == k.files) {
            s.out.insert_or_assign(k.db, std::make_pair(k, true));
            return k.db;
        }
        stale.push_back(k.db);
        return nullptr;
    }
    return nullptr;
}

// Opens the database and notes what it was opened on.  The files count as
// unchanged later only when they were last changed before this open began:
// a change in the same clock tick could otherwise leave the same times.
DBM *open_noting_files(const std::string &path, int access) {
    timespec started{};
    clock_gettime(CLOCK_REALTIME_COARSE, &started);
    DBM *db = open(path.c_str(), access);
    if (db == nullptr) return nullptr;
    std::optional<Files> files = files_of(path);
    struct stat opened {};
    bool knowable = files && fstat(dbm_pagfno(db), &opened) == 0 && opened.st_ino == files->pag.ino &&
                    opened.st_dev == files->pag.dev && before(files->pag.mtime, started) &&
                    before(files->pag.ctime, started) && before(files->dir.mtime, started) &&
                    before(files->dir.ctime, started);
    Store &s = store();
    std::lock_guard hold(s.lock);
    s.claim();
    s.out.insert_or_assign(db, std::make_pair(Kept{path, access, files.value_or(Files{}), db}, knowable));
    return db;
}

}  // namespace

DBM *open_or_take(const char *path, int access) {
    if (path == nullptr) return nullptr;
    access = access_mode(access);
    std::vector<DBM *> stale;
    DBM *db = take_unchanged(path, access, stale);
    for (DBM *old : stale) close(old);
    return db != nullptr ? db : open_noting_files(path, access);
}

void keep(DBM *db) {
    if (db == nullptr) return;
    std::vector<DBM *> closing;
    {
        Store &s = store();
        std::lock_guard hold(s.lock);
        s.claim();
        auto it = s.out.find(db);
        if (it == s.out.end() || !it->second.second) {
            closing.push_back(db);
            if (it != s.out.end()) s.out.erase(it);
        } else {
            s.idle.push_back(std::move(it->second.first));
            s.out.erase(it);
            while (s.idle.size() > kKeptCapacity) {
                closing.push_back(s.idle.front().db);
                s.idle.erase(s.idle.begin());
            }
        }
    }
    for (DBM *d : closing) close(d);
}

void close_kept() {
    std::vector<Kept> gone;
    {
        Store &s = store();
        std::lock_guard hold(s.lock);
        s.claim();
        gone.swap(s.idle);
    }
    for (Kept &k : gone) close(k.db);
}

}  // namespace zt::status_dbm
