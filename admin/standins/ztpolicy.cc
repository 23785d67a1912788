// SPDX-License-Identifier: GPL-3.0-or-later
// ztpolicy - stand-in for the server's authentication policy tool.
//
//   ztpolicy
//
// Prints the local policy kept in /etc/opt/KRVXzt/policy (under
// $ZTADMIN_ROOT when set) as it is, for instance "-r card -s both".  A
// missing file is the default policy, which sets no option: nothing is
// printed.  Only a regular file of bounded size is read, like the other
// configuration files, so that a FIFO or a device in its place cannot hold
// the library's caller.  Exit status: 0, 1 when the file exists but cannot
// be read, 2 usage.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "admin_private.h"

int main(int argc, char **) {
    if (argc != 1) {
        std::fputs("usage: ztpolicy\n", stderr);
        return 2;
    }
    std::string path = zt::fixed_path("/etc/opt/KRVXzt/policy");
    zt::FilePtr policy = zt::open_config_file(path);
    if (!policy) {
        if (errno == ENOENT) return 0;
        std::fprintf(stderr, "ztpolicy: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, policy.get())) > 0) std::fwrite(buffer, 1, n, stdout);
    return std::ferror(policy.get()) || std::fflush(stdout) != 0 ? 1 : 0;
}
