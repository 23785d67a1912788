// SPDX-License-Identifier: GPL-3.0-or-later
// ztsessionkill - stand-in for the session-kill program.
//
//   ztsessionkill token|display VALUE
//
// The sessions this host runs are listed in /var/opt/KRVXzt/sessions, one
// "KIND VALUE" line each (under $ZTADMIN_ROOT when that is set).  Killing a
// session removes its line.  Exit status: 0 killed, 1 no such session (or
// the list cannot be read or written), 2 usage.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "admin_private.h"

namespace {

int usage() {
    std::fputs("usage: ztsessionkill token|display VALUE\n", stderr);
    return 2;
}

// Reads the list, drops the first line equal to `wanted`, writes it back.
// The file stays locked meanwhile so concurrent kills don't lose lines.
bool remove_session(const std::string &path, const std::string &wanted) {
    zt::Fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd || flock(fd.get(), LOCK_EX) != 0) return false;
    std::ifstream in(path);
    std::vector<std::string> lines;
    bool found = false;
    for (std::string line; std::getline(in, line);) {
        if (!found && line == wanted) {
            found = true;
            continue;
        }
        lines.push_back(line);
    }
    if (!found) return false;
    std::string rest;
    for (const std::string &line : lines) rest += line + "\n";
    if (ftruncate(fd.get(), 0) != 0) return false;
    return pwrite(fd.get(), rest.data(), rest.size(), 0) == static_cast<ssize_t>(rest.size());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return usage();
    std::string kind = argv[1];
    if (kind != "token" && kind != "display") return usage();
    std::string path = zt::fixed_path("/var/opt/KRVXzt/sessions");
    // Silent on purpose: the caller reports the outcome from the status.
    return remove_session(path, kind + " " + argv[2]) ? 0 : 1;
}
