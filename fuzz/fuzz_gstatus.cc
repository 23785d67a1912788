// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_gstatus.cc - a "gstatus" reply of arbitrary bytes through the group
// status reader: members and interfaces must stay inside their fields and
// come from the reply, each member once and no more of them than the limit,
// whatever the read size.  The first input byte picks the read size.
#include <cstring>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "session_client.h"
#include "utils.h"

namespace {

namespace ss = zt::session;
using zt::fuzz::check;

// The members of the reply read in pieces of `chunk` bytes, as text.
std::string members(const std::string &reply, size_t chunk, bool *stopped) {
    HostList *list = nullptr;
    ss::GstatusReader reader(&list);
    *stopped = !ss::feed_reply(reply, chunk, [&](std::string_view line) { return reader.line(line); });
    if (*stopped) check(list == nullptr, "the interface count error empties the list");
    std::string flat;
    std::set<std::string> names;
    for (HostList *node = list; node != nullptr; node = node->next) {
        const gm_hoststatus *s = node->host->status;
        size_t name = strnlen(s->name, GM_NAME_SIZE);
        check(name < GM_NAME_SIZE, "host name terminated inside its field");
        check(name > 0 && reply.find(s->name) != std::string::npos, "host name comes from the reply");
        std::string folded(s->name);
        for (char &c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        check(names.insert(folded).second, "each member named once");
        check(names.size() <= static_cast<size_t>(ss::kMaxGroupMembers), "no more members than the limit");
        check((s->ifs != nullptr) == (s->numifs > 0), "interfaces allocated exactly when announced");
        check(s->numifs <= static_cast<int>(ss::kMaxRecord), "interface count an entry can carry");
        flat += std::string(s->name) + ' ' + std::to_string(s->numifs) + ' ' + std::to_string(s->period) + ' ' +
                std::to_string(node->host->trusted);
        for (int i = 0; i < s->numifs; ++i) {
            check(strnlen(s->ifs[i].ifname, GM_IFNAME_SIZE) < GM_IFNAME_SIZE, "interface name inside its field");
            flat += std::string(" [") + s->ifs[i].ifname + ' ' + std::to_string(s->ifs[i].ifipaddr) + ']';
        }
        flat += '\n';
    }
    free_HostList(&list);
    return flat;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    set_suppress_output(1);
    std::string reply(reinterpret_cast<const char *>(data) + 1, size - 1);
    size_t chunk = 1 + data[0] % 97;
    bool whole_stopped = false, pieces_stopped = false;
    std::string whole = members(reply, ss::kReadSize, &whole_stopped);
    std::string pieces = members(reply, chunk, &pieces_stopped);
    check(whole == pieces && whole_stopped == pieces_stopped, "the same members however the reply is split");
    return 0;
}
