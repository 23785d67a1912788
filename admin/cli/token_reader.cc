// SPDX-License-Identifier: GPL-3.0-or-later
// token_reader.cc - reading a token ID from a token reader, and handing a
// session to the session-kill program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth_mgr.h"
#include "owned.h"
#include "session_client.h"
#include "ztuser.h"

using cli::CString;

namespace {

constexpr size_t kKillLineBuffer = 128;
constexpr size_t kPseudoTokenBuffer = 24;

// The pseudo-token that names the reader terminal: "TerminalId." and the
// reader's ID without its namespace, so both spellings of a reader name
// the same terminal.
std::string terminal_pseudo_token(const char *reader_id) {
    CString short_id(get_short_terminal_id(reader_id));
    return std::string("TerminalId.") + short_id.get();
}

// The server the reader terminal is connected to, or null.
CString reader_server(AdminConfig *connection, const char *pseudo_token) {
    char *server = nullptr;
    if (zt_get_server_for_token(get_server_name(connection), pseudo_token, &server) < 0) {
        std::free(server);
        return nullptr;
    }
    return CString(server);
}

// True when `token` (from the reader) names a card; otherwise says why not.
bool reader_holds_card(const char *token, const char *reader_id) {
    if (token == nullptr) {
        std::fprintf(stderr,
                     "Error: Could not get token ID from token reader '%s'.\n"
                     "Please make sure this desktop is configured as a token reader\n"
                     "and is currently up and running.\n",
                     reader_id);
        return false;
    }
    if (*token == '\0') {
        std::fprintf(stderr, "Error: No token currently inserted in reader '%s'.\n", reader_id);
        return false;
    }
    if (std::strcmp(token, "unknown.unknown") == 0) {
        std::fprintf(stderr, "Error: Unknown token from token reader '%s'.\n", reader_id);
        return false;
    }
    return true;
}

const char *kill_kind_word(const char *kill_kind) {
    if (std::strcmp(kill_kind, "-xdisplay") == 0) return "display";
    if (std::strcmp(kill_kind, "-tokenid") == 0) return "token";
    return nullptr;
}

// The value goes between single quotes in a shell command line; a quote in
// it closes the quoting, adds an escaped quote and reopens it, so the shell
// always sees the value as one literal word.
std::string shell_quoted_body(const char *value) {
    std::string body;
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c == '\'') {
            body += "'\\''";
        } else {
            body += *c;
        }
    }
    return body;
}

// The package's base directory goes into the shell command line unquoted:
// only an absolute path that the shell takes as it is may go there.
bool plain_absolute_path(const char *dir) { return dir[0] == '/' && zt::shell_word(dir) == dir; }

// The administration package's base directory, or null after saying that
// the package cannot be found.
CString package_base_dir() {
    char *found = nullptr;
    CString base_dir(zt_getProdInfo("KRVXzta", "BASEDIR", &found) == 0 ? found : nullptr);
    if (base_dir && !plain_absolute_path(base_dir.get())) {
        zt::dprintf("kill_user_session(): base directory (%s) of package KRVXzta is not a plain absolute path\n",
                    base_dir.get());
        base_dir.reset();
    }
    if (!base_dir) std::fprintf(stderr, "Error: Could not find package %s.\n", "KRVXzta");
    return base_dir;
}

}  // namespace

char *get_token_id(AdminConfig *connection, const char *reader_id, const char *label) {
    if (reader_id == nullptr) {
        std::fputs("Error: No token reader specified.\n", stderr);
        return nullptr;
    }
    if (label != nullptr) {
        std::printf("Insert token for '%s' into token reader '%s'\n and press return. ", shown(label).c_str(),
                    reader_id);
    } else {
        std::printf("Insert token into token reader '%s' and press return. ", reader_id);
    }
    std::fflush(stdout);
    if (std::fgetc(stdin) == EOF) return nullptr;
    std::string pseudo_token = terminal_pseudo_token(reader_id);
    if (pseudo_token.size() >= kPseudoTokenBuffer) {
        std::fputs("Internal Error: Buffer Overflow\n", stderr);
        return nullptr;
    }
    // The reader's server is found among the group and then asked: each
    // host is probed once per reading.
    zt::session::ProbeScope one_probe_per_host;
    CString server = reader_server(connection, pseudo_token.c_str());
    if (!server) {
        std::fprintf(stderr,
                     "Error: Could not get the server name to which the token reader '%s' is connected to.\n"
                     "Please make sure this desktop is currently up.\n",
                     reader_id);
        return nullptr;
    }
    CString token(get_token_id_from_reader(server.get(), reader_id));
    if (!reader_holds_card(token.get(), reader_id)) return nullptr;
    // The ID comes from the network: it reaches the terminal without its
    // control characters.
    std::printf("Read token ID '%s'\n", shown(token.get()).c_str());
    return token.release();
}

int kill_user_session(AdminConfig * /*connection*/, char *kill_kind, const char *value) {
    const char *kind = kill_kind_word(kill_kind);
    std::free(kill_kind);
    if (kind == nullptr) return -1;
    CString base_dir = package_base_dir();
    if (!base_dir) return -1;
    std::string command = std::string(base_dir.get()) + "/KRVXzt/lib/ztsessionkill " + kind + " '" +
                          shell_quoted_body(value) + "'";
    base_dir.reset();
    if (command.size() >= kKillLineBuffer) {
        std::fputs("Error: line too long.\n", stderr);
        zt::log_admin("user", "Error: line too long.");
        return -1;
    }
    if (std::system(command.c_str()) == 0) {
        zt::log_admin("user", "Session associated with %s '%s' killed.", kind, value);
        std::fprintf(stderr, "Session associated with %s '%s' killed.\n", kind, value);
        return 0;
    }
    std::fprintf(stderr, "Error: Could not kill session associated with %s '%s'.\n", kind, value);
    zt::log_admin("user", "Error: Could not kill session associated with %s '%s'.", kind, value);
    return -1;
}
