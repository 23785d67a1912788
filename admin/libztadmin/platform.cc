// platform.cc - what the library needs from the platform beyond POSIX:
// the root prefix of the fixed paths, and the package information.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"

namespace zt {

namespace {

// $ZTADMIN_ROOT when it is in effect, else null.  A set-uid run ignores it:
// whoever starts the program must not choose the files it trusts.
const char *root_prefix() {
    const char *root = std::getenv("ZTADMIN_ROOT");
    if (root == nullptr || *root == '\0' || getuid() != geteuid()) return nullptr;
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
