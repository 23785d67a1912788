// SPDX-License-Identifier: GPL-3.0-or-later
// utils_policy.cc - the local authentication policy as the policy tool
// prints it, reduced to whether pseudo tokens may log in, and the filter
// that hides the pseudo-token logins the policy does not admit.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "admin_private.h"
#include "auth_mgr.h"
#include "session_client.h"

namespace {

constexpr int kPolicyLine = 128;
constexpr size_t kMaxServerName = 255;
constexpr int kNoCode = 0, kCardOnly = 2, kReaderPseudo = 15, kAnyPseudo = 16;
constexpr std::string_view kPseudoPrefix = "pseudo.";

bool names_pseudo(std::string_view value) { return value == "both" || value == "pseudo"; }

// Reads the tool's output: every line (in pieces of at most 127 bytes) not
// beginning with "#".
std::string read_policy(FILE *pipe) {
    std::string text;
    char line[kPolicyLine];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (line[0] != '#') text += line;
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The working code and self-registration mark of the policy's words,
// separated by single blanks (or line feeds, when the tool prints several
// lines).
int working_code(const std::string &policy, bool *self_registration) {
    int code = kNoCode;
    std::string_view words(policy);
    auto next_word = [&words]() {
        size_t end = words.find_first_of(" \n");
        std::string_view word = words.substr(0, end);
        words.remove_prefix(end == std::string_view::npos ? words.size() : end + 1);
        return word;
    };
    while (!words.empty()) {
        std::string_view option = next_word();
        if ((option != "-r" && option != "-z" && option != "-s") || words.empty()) continue;
        std::string_view value = next_word();
        if (option == "-s") {
            if (names_pseudo(value)) *self_registration = true;
        } else if (names_pseudo(value)) {
            code = option == "-r" ? kReaderPseudo : kAnyPseudo;
        } else if (value == "card" && code == kNoCode) {
            code = kCardOnly;
        }
    }
    return code;
}

bool is_hidden(AdminConfig *config, const CurrentEntry *entry, int code, const char *server_name) {
    if (entry->token_id == nullptr || std::string_view(entry->token_id).substr(0, kPseudoPrefix.size()) != kPseudoPrefix)
        return false;
    switch (code) {
        case ZT_PSEUDO_NOT_LOCAL:
            return server_name != nullptr && entry->server != nullptr && std::strcmp(entry->server, server_name) == 0;
        case ZT_PSEUDO_NEVER:
            return true;
        case ZT_PSEUDO_REGISTERED_ONLY:
            return raw_token_exists(config, entry->token_id) != 1;
        default:
            return false;
    }
}

}  // namespace

extern "C" {

// The tool's standard error goes to /dev/null: library diagnostics never
// reach the terminal.  A tool that cannot be run or fails gives no policy.
char *get_local_policy(void) {
    std::string command = zt::shell_word(zt::platform_path(zt::kPolicyProgram)) + " 2> /dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        zt::dprintf("Error obtaining local policy! %s\n", std::strerror(errno));
        return nullptr;
    }
    std::string policy = read_policy(pipe);
    int status = pclose(pipe);
    if (status != 0) {
        zt::dprintf("Error obtaining local policy! %s\n", "policy tool failed");
        return nullptr;
    }
    return zt::dup_c(policy);
}

int pseudo_allowed(void) {
    zt::CString policy(get_local_policy());
    if (!policy) return -1;
    bool self_registration = false;
    switch (working_code(policy.get(), &self_registration)) {
        case kReaderPseudo:
            return self_registration ? ZT_PSEUDO_ALLOWED : ZT_PSEUDO_REGISTERED_ONLY;
        case kCardOnly:
            return ZT_PSEUDO_NOT_LOCAL;
        default:
            return ZT_PSEUDO_ALLOWED;
    }
}

CurrentEntry *filter_pseudo_entries(AdminConfig *config, const CurrentEntry *list, int mode) {
    const char *server_name = config != nullptr ? get_server_name(config) : nullptr;
    if (server_name != nullptr && std::strlen(server_name) > kMaxServerName) return nullptr;
    if (mode != 1 && mode != 2) return nullptr;
    int code = pseudo_allowed();
    CurrentEntry *result = nullptr;
    for (const CurrentEntry *entry = list; entry != nullptr; entry = entry->next) {
        bool hidden = is_hidden(config, entry, code, server_name);
        if (mode == 2 && hidden) continue;
        add_to_linked_list(&result, entry->terminal_id, hidden ? "???" : entry->token_id, mode, entry->server,
                           entry->group_name, entry->flag);
    }
    return result;
}

}  // extern "C"
