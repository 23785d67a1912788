// SPDX-License-Identifier: GPL-3.0-or-later
// pkginfo - stand-in for the platform's package query.
//
// Usage: pkginfo -r PACKAGE
// Prints the base directory of PACKAGE (the BASEDIR of its description in
// /var/sadm/pkg/PACKAGE/pkginfo, under $ZTADMIN_ROOT when set) and exits 0;
// exits 1 when the package is not installed and 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin.h"

int main(int argc, char **argv) {
    if (argc != 3 || std::strcmp(argv[1], "-r") != 0) {
        std::fprintf(stderr, "usage: pkginfo -r PACKAGE\n");
        return 2;
    }
    char *base = nullptr;
    if (zt_getProdInfo(argv[2], "BASEDIR", &base) != ADMIN_SUCCESS) {
        std::fprintf(stderr, "pkginfo: package \"%s\" is not installed\n", argv[2]);
        return 1;
    }
    std::printf("%s\n", base);
    std::free(base);
    return 0;
}
