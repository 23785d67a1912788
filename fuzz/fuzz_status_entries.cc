// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_status_entries.cc - "status" and "ustatus" replies of another
// server, of arbitrary bytes, built into desktop and user status records.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "session_client.h"
#include "utils.h"

namespace {

namespace ss = zt::session;
using zt::fuzz::check;

bool one_of(const char *s, std::initializer_list<const char *> values) {
    for (const char *v : values)
        if (std::strcmp(s, v) == 0) return true;
    return false;
}

void check_desktops(const std::string &reply) {
    DesktopList *list = nullptr;
    ss::RecordFramer framer([&](const char *record) { parse_desktop_entry(&list, record); });
    ss::feed_reply(reply, ss::kReadSize, [&](std::string_view line) { return framer.line(line); });
    const char *previous = nullptr;
    for (DesktopList *node = list; node != nullptr; node = node->next) {
        const DbmDesktop *d = node->desktop;
        check(d->id != nullptr && std::strchr(d->id, '.') == nullptr, "desktop ID is the text after the last dot");
        check(previous == nullptr || std::strcmp(previous, d->id) <= 0, "desktops ordered by ID");
        previous = d->id;
        if (d->model != nullptr)
            check(reply.find(std::string(d->model) + "." + d->id) != std::string::npos, "model and ID from one value");
        check(d->status == nullptr || one_of(d->status, {"Up", "Down", "Unknown"}), "status is a known word");
    }
    free_DesktopList(&list);
}

void check_users(const std::string &reply) {
    UserList *list = nullptr;
    ss::RecordFramer framer([&](const char *record) { parse_user_entry(&list, record); });
    ss::feed_reply(reply, ss::kReadSize, [&](std::string_view line) { return framer.line(line); });
    for (UserList *node = list; node != nullptr; node = node->next) {
        const DbmUser *u = node->user;
        check(u->id != nullptr && reply.find(u->id) != std::string::npos, "user ID comes from the reply");
        check(u->status >= 0 && u->status <= 3, "login state is a known value");
        check(u->name == nullptr, "the reply names no user");
    }
    free_UserList(&list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    set_suppress_output(1);
    std::string reply(reinterpret_cast<const char *>(data), size);
    check_desktops(reply);
    check_users(reply);
    return 0;
}
