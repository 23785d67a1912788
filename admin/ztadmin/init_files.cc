// SPDX-License-Identifier: GPL-3.0-or-later
// init_files.cc - how `ztadmin init` writes files: whole or not at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "init.h"

namespace ztadmin {

namespace {

constexpr mode_t kDirectoryMode = 0755;
// Unprivileged runs read the status files; the login services write them.
constexpr mode_t kStatusFileMode = 0644;

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Flushes the directory holding `path`, so that a rename survives a crash.
void sync_directory_of(const std::string &path) {
    std::string directory = std::filesystem::path(path).parent_path().string();
    zt::Fd fd(open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) fsync(fd.get());
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string write_atomically(const std::string &path, std::string_view content, mode_t mode, bool replace) {
    std::string temp = path + ".tmpXXXXXX";
    zt::Fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return temp + ": " + error_text(errno);
    struct Unlink {
        const std::string &path;
        ~Unlink() { unlink(path.c_str()); }  // after a rename there is nothing left to remove
    } remove_temp{temp};
    if (fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), content) || fsync(fd.get()) != 0 ||
        close(fd.release()) != 0) {
        return temp + ": " + error_text(errno);
    }
    int moved = replace ? rename(temp.c_str(), path.c_str()) : link(temp.c_str(), path.c_str());
    if (moved != 0) return error_text(errno);
    sync_directory_of(path);
    return {};
}

std::string make_directories(const std::string &path) {
    std::string partial;
    for (const auto &part : std::filesystem::path(path)) {
        partial = (std::filesystem::path(partial) / part).string();
        if (mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return partial + ": " + error_text(errno);
    }
    return {};
}

std::string create_status_file(const std::string &path, bool &created) {
    created = false;
    if (exists(path + ".pag") || exists(path + ".dir")) return {};
    DBM *db = dbm_open(const_cast<char *>(path.c_str()), O_RDWR | O_CREAT, kStatusFileMode);
    if (db == nullptr) return error_text(errno);
    dbm_close(db);
    for (const char *suffix : {".pag", ".dir"}) {
        std::string file = path + suffix;
        if (exists(file) && chmod(file.c_str(), kStatusFileMode) != 0) return file + ": " + error_text(errno);
    }
    created = true;
    return {};
}

}  // namespace ztadmin
