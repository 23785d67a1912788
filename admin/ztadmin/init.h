/* SPDX-License-Identifier: GPL-3.0-or-later */
// init.h - the parts of `ztadmin init`.
#ifndef ZTADMIN_INIT_H
#define ZTADMIN_INIT_H

#include <sys/types.h>

#include <string>
#include <string_view>

#include "ztadmin.h"

namespace ztadmin {

// A password in memory, wiped when it goes away.
struct Secret {
    Secret() = default;
    ~Secret();
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    std::string text;
};

// Reads the administrator's password: the first line of standard input
// (`from_stdin`), or typed twice on the terminal without echo.  False with
// `error` set when there is none, or one the password file cannot hold.
bool read_password(bool from_stdin, Secret &out, std::string &error);

// Writes `content` to `path` so that a reader sees the old file or the
// whole new one, never a part: a temporary file beside it, created
// exclusively with `mode` and flushed to disk, is renamed over `path`
// (`replace`) or linked to it, which fails rather than replace a file
// that appeared meanwhile; the directory is flushed too.  Empty, or the
// reason it failed.
std::string write_atomically(const std::string &path, std::string_view content, mode_t mode, bool replace);

// Creates the directory `path` and its missing parents with mode 0755;
// empty, or the reason it failed.
std::string make_directories(const std::string &path);

// Creates an empty status database at `path` (the DBM library's files
// beside it) unless one of its files is there; sets `created`.  Empty, or
// the reason it failed.
std::string create_status_file(const std::string &path, bool &created);

}  // namespace ztadmin

#endif  // ZTADMIN_INIT_H
