// SPDX-License-Identifier: GPL-3.0-or-later
// session_mgr.cc - the session manager's status line ("smstatus") and the
// start times of a group member's authentication and session managers.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

namespace ss = zt::session;

constexpr int kGroupWaitSeconds = 120;
constexpr unsigned kGroupRetrySeconds = 2;

void apply_status_word(smstatus *status, std::string_view word) {
    std::string text(word);
    char *key = nullptr;
    char *value = nullptr;
    if (parse_key_and_value(text.c_str(), &key, &value) == 1 && key != nullptr && value != nullptr) {
        int number = std::atoi(value);
        if (ss::same_nocase(key, "stime")) status->stime = number;
        if (ss::same_nocase(key, "sessions")) status->sessions = number;
        if (ss::same_nocase(key, "connected")) status->connected = number;
        if (ss::same_nocase(key, "auth")) status->auth = number;
    }
    std::free(key);
    std::free(value);
}

// The member named exactly `host` of the group reported by `host`, waiting
// while the group is empty.  The list holding it is left in *list.
gm_host *wait_for_member(const char *host, HostList **list) {
    const time_t started = std::time(nullptr);
    for (;;) {
        int count = 0;
        *list = get_gm_hosts(nullptr, host, &count);
        for (HostList *node = *list; node != nullptr; node = node->next) {
            if (node->host != nullptr && std::strcmp(node->host->status->name, host) == 0) return node->host;
        }
        if (*list != nullptr) {
            zt::dprintf("Error obtaining auth manager status for host %s.", host);
            return nullptr;
        }
        sleep(kGroupRetrySeconds);
        if (std::time(nullptr) - started > kGroupWaitSeconds) {
            zt::dprintf("Timed out waiting for host %s", host);
            return nullptr;
        }
    }
}

}  // namespace

extern "C" {

smstatus *allocate_smstatus(void) { return static_cast<smstatus *>(safe_calloc(1, sizeof(smstatus))); }

void free_smstatus(smstatus *status) {
    if (status == nullptr) return;
    std::free(status->error);
    std::free(status);
}

void parse_smstatus_line(smstatus **status, const char *line) {
    if (status == nullptr || *status == nullptr || line == nullptr) return;
    std::vector<std::string_view> words = ss::split_words(line);
    if (words.empty()) return;
    if (words[0] == "OK/smstatus") {
        for (size_t i = 1; i < words.size(); ++i) apply_status_word(*status, words[i]);
    } else if (words[0] == "ERR/smstatus" && words.size() > 1) {
        std::free((*status)->error);
        (*status)->error = zt::dup_c(words[1]);
    }
}

int get_smstatus(AdminConfig *config, const char *host, smstatus **status, int /*unused1*/, int /*unused2*/) {
    if (config == nullptr && host == nullptr) {
        zt::dprintf("get_smstatus(): First and second args are NULL pointers\n");
        return -1;
    }
    if (status == nullptr || *status == nullptr) return -1;
    ss::Result result = ss::exchange(
        {"get_smstatus", ss::kSessionManager, false, false, ss::kStatusWords, "smstatus\n"},
        host != nullptr ? host : get_server_name(config), [status](std::string_view line) {
            parse_smstatus_line(status, std::string(line).c_str());
            return ss::LineStatus::kTaken;
        });
    return result.outcome == ss::Outcome::kFailed ? -1 : 0;
}

void print_smstatus(const smstatus *status) {
    if (status == nullptr) return;
    if (status->error != nullptr) {
        std::fprintf(stderr, "status: ERROR - %s\n", status->error);
        return;
    }
    std::fprintf(stderr, "status:\n  starttime = %d\n  sessions  = %d\n  connected = %d\n  auth      = %d\n",
                 status->stime, status->sessions, status->connected, status->auth);
}

int get_start_times(gm_host *member, const char *host, int *gm_start, int *sm_start) {
    HostList *list = nullptr;
    if (member == nullptr) {
        if (host == nullptr) return -1;
        member = wait_for_member(host, &list);
        if (member == nullptr) {
            free_HostList(&list);
            return -1;
        }
    }
    smstatus *status = allocate_smstatus();
    int result = get_smstatus(nullptr, member->status->name, &status, 0, 0);
    if (result == 0) {
        if (gm_start != nullptr) *gm_start = member->status->starttime;
        if (sm_start != nullptr) *sm_start = status->stime;
    } else {
        zt::dprintf("Error obtaining session manager status for host %s\n", member->status->name);
    }
    free_smstatus(status);
    free_HostList(&list);
    return result;
}

}  // extern "C"
