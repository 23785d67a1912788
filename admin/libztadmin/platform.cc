// platform.cc - what the library needs from the platform beyond POSIX:
// the root prefix of the fixed paths.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"

namespace zt {

std::string fixed_path(std::string_view path) {
    const char *root = std::getenv("ZTADMIN_ROOT");
    if (root == nullptr || *root == '\0' || getuid() != geteuid()) return std::string(path);
    std::string prefixed(root);
    prefixed.append(path);
    return prefixed;
}

char *dup_c(std::string_view s) {
    auto *copy = static_cast<char *>(safe_malloc(static_cast<int>(s.size()) + 1));
    std::memcpy(copy, s.data(), s.size());
    return copy;
}

}  // namespace zt
