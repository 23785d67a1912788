// SPDX-License-Identifier: GPL-3.0-or-later
// platform.cc - what the library needs from the platform beyond POSIX:
// the caller's environment as far as it can be trusted, the root prefix of
// the fixed paths, bounded reads of configuration files, the package
// information, the host look-up of the session clients, and the server a
// token is connected to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin_private.h"
#include "auth_mgr.h"
#include "group_mgr.h"
#include "session_client.h"

namespace zt {

const char *caller_env(const char *name) {
    // A set-uid or set-gid run acts for someone other than its caller, who
    // must not steer its paths or files; secure_getenv also covers runs the
    // kernel marks as secure for other reasons (file capabilities).
    if (getuid() != geteuid() || getgid() != getegid()) return nullptr;
    return secure_getenv(name);
}

namespace {

// $ZTADMIN_ROOT when it is in effect, else null.
const char *root_prefix() {
    const char *root = caller_env("ZTADMIN_ROOT");
    if (root == nullptr || *root == '\0') return nullptr;
    return root;
}

}  // namespace

std::string fixed_path(std::string_view path) {
    const char *root = root_prefix();
    std::string prefixed(root != nullptr ? root : "");
    prefixed.append(path);
    return prefixed;
}

std::string platform_path(const PlatformPath &path) {
    if (root_prefix() != nullptr) return fixed_path(path.platform);
    return std::string(ZT_INSTALL_PREFIX) + "/" + path.installed;
}

namespace {

// Appends what `fd` holds to `bytes`, stopping once more than `limit` bytes
// were read; false (errno set) when a read fails.
bool read_bounded(int fd, size_t limit, std::string &bytes) {
    char chunk[8192];
    while (bytes.size() <= limit) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

// A read-only stream over a copy of `bytes`; null when memory runs out.
FilePtr memory_stream(const std::string &bytes) {
    FilePtr stream(fmemopen(nullptr, bytes.size() + 1, "w+"));
    if (!stream) return nullptr;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream.get()) != bytes.size()) return nullptr;
    std::rewind(stream.get());
    return stream;
}

}  // namespace

Fd open_regular_file(const std::string &path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return Fd();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Fd();
    }
    return fd;
}

namespace {

// The bytes of the opened regular file `fd`, when it holds at most
// kMaxConfigFileSize of them; false with errno set otherwise.
bool read_config_fd(const Fd &fd, std::string &bytes) {
    bytes.clear();
    if (!fd || !read_bounded(fd.get(), kMaxConfigFileSize, bytes)) return false;
    if (bytes.size() > kMaxConfigFileSize) {
        errno = EFBIG;
        return false;
    }
    return true;
}

}  // namespace

bool read_config_bytes(const std::string &path, std::string &bytes) {
    return read_config_fd(open_regular_file(path), bytes);
}

FilePtr open_config_file(const std::string &path) { return open_config_file(open_regular_file(path)); }

FilePtr open_config_file(Fd fd) {
    std::string bytes;
    if (!read_config_fd(fd, bytes)) return nullptr;
    return memory_stream(bytes);
}

char *dup_c(std::string_view s) {
    auto *copy = static_cast<char *>(safe_malloc(static_cast<int>(s.size()) + 1));
    std::memcpy(copy, s.data(), s.size());
    return copy;
}

}  // namespace zt

// ------------------------------------------------------ package information
// Each installed package keeps its description in DIR/PACKAGE/pkginfo, one
// KEY=VALUE per line: DIR is the platform's package register under
// $ZTADMIN_ROOT, and the one this package installs otherwise (a Linux
// server has no register of that kind; this package describes itself).

namespace {

bool safe_package_name(const char *package) {
    if (package == nullptr || *package == '\0' || std::strcmp(package, "..") == 0 || package[0] == '.') return false;
    return std::strchr(package, '/') == nullptr;
}

}  // namespace

extern "C" int zt_getProdInfo(const char *package, const char *key, char **value) {
    if (value == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *value = nullptr;
    if (!safe_package_name(package) || key == nullptr) return ADMIN_ERR_INVALID_ARGS;
    std::string path = zt::platform_path(zt::kPackageDescriptions) + "/" + package + "/pkginfo";
    zt::FilePtr file(std::fopen(path.c_str(), "r"));
    if (!file) return ADMIN_ERR_NOT_FOUND;
    char line[1024];
    size_t key_length = std::strlen(key);
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        if (std::strncmp(line, key, key_length) != 0 || line[key_length] != '=') continue;
        std::string found(line + key_length + 1);
        while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
        *value = zt::dup_c(found);
        return ADMIN_SUCCESS;
    }
    return ADMIN_ERR_NOT_FOUND;
}

// ------------------------------------------------------------ host look-up

extern "C" struct hostent *_zt_os_gethostbyname_r(const char *name, struct hostent *result, char *buffer,
                                                  int size, int *error) {
    int ignored = 0;
    if (error == nullptr) error = &ignored;
    if (name == nullptr || result == nullptr || buffer == nullptr || size <= 0) {
        *error = NO_RECOVERY;
        return nullptr;
    }
    hostent *found = nullptr;
    int herr = 0;
    int rc = gethostbyname_r(name, result, buffer, static_cast<size_t>(size), &found, &herr);
    if (rc == ERANGE) {
        *error = ERANGE;
        errno = ERANGE;
        return nullptr;
    }
    if (rc != 0 || found == nullptr) {
        *error = herr != 0 ? herr : HOST_NOT_FOUND;
        return nullptr;
    }
    return found;
}

namespace {

// Far beyond any real host's names and addresses; a resolver still asking
// for more is broken.
constexpr int kMaxResolverBuffer = 1 << 16;

}  // namespace

bool zt::resolve_ipv4(const char *host, in_addr *address) {
    if (host == nullptr) return false;
    if (inet_pton(AF_INET, host, address) == 1) return true;
    for (int size = 512; size <= kMaxResolverBuffer; size *= 2) {
        std::vector<char> work(static_cast<size_t>(size));
        hostent entry{};
        int error = 0;
        hostent *found = _zt_os_gethostbyname_r(host, &entry, work.data(), size, &error);
        if (found == nullptr && error == ERANGE) continue;
        if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr) return false;
        std::memcpy(address, found->h_addr_list[0], sizeof *address);
        return true;
    }
    return false;
}

// ------------------------------------------------- server of a token

namespace {

// True when the manager on `host` reports at least one record of `token`;
// `status` receives the query's result.
bool member_has_token(const char *host, const char *token, AdminStatus *status) {
    static const char *const no_extra_keys[] = {nullptr};
    KeyValuesNode *records = nullptr;
    *status = zt_getAuthMgrRecordsForToken(host, token, 1, nullptr, no_extra_keys, &records);
    bool found = *status == ADMIN_SUCCESS && records != nullptr;
    zt_free_KeyValuesNode_list(records);
    return found;
}

}  // namespace

// Asks every trusted, alive member of the failover group of `host` (or
// `host` alone when it has no group), in group order, for the records of
// `token`.  0 with a new copy of the first member that has one; -9 when
// some member answered and none had it; otherwise the last failure, or the
// failure of the group query itself: a manager that could not be asked for
// its group is not asked again for the token, which would only repeat the
// probe's or the first reply's wait.
extern "C" int zt_get_server_for_token(const char *host, const char *token, char **server) {
    if (server == nullptr) return ADMIN_ERR_INVALID_ARGS;
    *server = nullptr;
    if (host == nullptr || *host == '\0' || token == nullptr || *token == '\0') return ADMIN_ERR_INVALID_ARGS;
    zt::session::ProbeScope one_probe_per_host;
    HostList *group = nullptr;
    zt::session::Result asked = zt::session::ask_group(host, &group);
    std::vector<std::string> members;
    for (HostList *node = group; node != nullptr; node = node->next) {
        if (zt::session::trusted_and_alive(node)) members.emplace_back(node->host->status->name);
    }
    free_HostList(&group);
    if (asked.outcome == zt::session::Outcome::kFailed) return asked.status;
    if (members.empty()) members.emplace_back(host);
    AdminStatus result = ADMIN_ERR_SERVER_UNREACHABLE;
    bool answered = false;
    for (const std::string &member : members) {
        AdminStatus status = ADMIN_SUCCESS;
        if (member_has_token(member.c_str(), token, &status)) {
            *server = zt::dup_c(member);
            return ADMIN_SUCCESS;
        }
        if (status == ADMIN_SUCCESS) {
            answered = true;
        } else {
            result = status;
        }
    }
    return answered ? ADMIN_ERR_TOKEN_NOT_FOUND : result;
}
