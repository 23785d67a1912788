// pkginfo - stand-in for the platform's package query.
//
// Usage: pkginfo -r PACKAGE
// Prints the base directory of PACKAGE and exits 0; exits 1 when the package
// is unknown and 2 on a usage error.  The installed packages are listed in
// the text file /var/sadm/pkginfo.db (under $ZTADMIN_ROOT when set), one
// package a line: its name, blanks or tabs, its base directory (the rest of
// the line).  Empty lines and lines beginning with "#" are ignored.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "admin_private.h"

namespace {

constexpr const char *kDatabasePath = "/var/sadm/pkginfo.db";
constexpr const char *kBlanks = " \t\r";

std::optional<std::string> base_directory(const std::string &database, const std::string &package) {
    std::ifstream in(database);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t name_end = line.find_first_of(kBlanks);
        if (name_end == std::string::npos || line.compare(0, name_end, package) != 0) continue;
        size_t start = line.find_first_not_of(kBlanks, name_end);
        if (start == std::string::npos) continue;
        size_t end = line.find_last_not_of(kBlanks);
        return line.substr(start, end - start + 1);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || std::strcmp(argv[1], "-r") != 0) {
        std::fprintf(stderr, "usage: pkginfo -r PACKAGE\n");
        return 2;
    }
    auto base = base_directory(zt::fixed_path(kDatabasePath), argv[2]);
    if (!base) {
        std::fprintf(stderr, "pkginfo: package \"%s\" is not installed\n", argv[2]);
        return 1;
    }
    std::printf("%s\n", base->c_str());
    return 0;
}
