// SPDX-License-Identifier: GPL-3.0-or-later
// report.cc - the verdict lines, the usage text and small shared helpers.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "ztadmin.h"

namespace ztadmin {

namespace {

const char *verdict_word(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk: return "ok";
        case Verdict::kWarning: return "warning";
        case Verdict::kFailed: return "FAILED";
    }
    return "?";
}

constexpr const char kUsage[] =
    "usage:\n"
    "   ztadmin check [--quiet]\n"
    "      - check everything ztuser needs, one line per check\n"
    "   ztadmin init --server <host> --admin-dn <dn> [--port <port>] [--subtree <dn>]\n"
    "        [--mech CRAM_MD5|SIMPLE] [--tls none|starttls] [--cacert <file>]\n"
    "        [--ustatus <file>] [--dstatus <file>] [--password-stdin] [--force] [--quiet]\n"
    "      - write the configuration, the password file and the status files, then check\n"
    "   ztadmin -h\n"
    "      - show usage information (this message)\n";

// Texts from files, servers and other programs reach the terminal without
// their control characters, and every verdict stays one line.
std::string printable(std::string text) {
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

}  // namespace

void Report::line(Verdict verdict, const std::string &subject, const std::string &reason) {
    if (verdict == Verdict::kFailed) failed_ = true;
    if (quiet_ && verdict == Verdict::kOk) return;
    std::printf("%-7s %s: %s\n", verdict_word(verdict), printable(subject).c_str(), printable(reason).c_str());
    std::fflush(stdout);
}

int caller_access_level() { return getuid() == 0 && geteuid() == 0 ? 3 : 1; }

std::string octal_mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string error_text(int err) { return std::strerror(err); }

void usage(FILE *out) { std::fputs(kUsage, out); }

int usage_error(const char *command, const char *message) {
    std::fprintf(stderr, "ztadmin %s: %s\n", command, message);
    usage(stderr);
    return kExitUsage;
}

}  // namespace ztadmin
