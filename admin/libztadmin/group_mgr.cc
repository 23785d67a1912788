// SPDX-License-Identifier: GPL-3.0-or-later
// group_mgr.cc - the failover group as an authentication manager reports
// it ("gstatus"), the members that are trusted and alive, and the
// group-wide login and terminal lists gathered from them.
//
// A "gstatus" reply is a host line announcing its interface count followed
// by that many interface lines, per member.  A member's entry is complete
// only when the line after its last interface line arrives.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "session_client.h"

namespace {

namespace ss = zt::session;

using Fields = std::vector<std::string_view>;

constexpr size_t kHostName = 1, kLastSeen = 3, kTimeOff = 5, kHostAddr = 7, kNumIfs = 9, kFirstWord = 10;
constexpr size_t kIfName = 1, kIfIpAddr = 3, kIfNetmask = 5, kIfBcastAddr = 7, kIfLastPkt = 9;

// No entry of kMaxRecord bytes can carry more interface lines than this;
// a host announcing more is refused rather than allocated for.
constexpr int kMaxInterfaces = static_cast<int>(ss::kMaxRecord / sizeof("interface"));

// The words after the fixed fields of a host line: state flags, and the
// period and start time, each followed by its value.
void apply_host_words(gm_host *host, const Fields &fields) {
    for (size_t i = kFirstWord; i < fields.size(); ++i) {
        if (ss::same_nocase(fields[i], "TRUSTED")) host->trusted = 1;
        if (ss::same_nocase(fields[i], "OFFLINE")) host->offline = 1;
        if (ss::same_nocase(fields[i], "LAN_OK")) host->lan_ok = 1;
        if (i + 1 < fields.size() && ss::same_nocase(fields[i], "period"))
            host->status->period = ss::decimal_field(fields, i + 1);
        if (i + 1 < fields.size() && ss::same_nocase(fields[i], "starttime"))
            host->status->starttime = ss::decimal_field(fields, i + 1);
    }
}

// Fills the member from a host line; false when the line cannot be taken
// whole: no name, a name over its field, or more interfaces than an entry
// can hold.
bool apply_host_line(gm_host *host, const Fields &fields) {
    gm_hoststatus *status = host->status;
    apply_host_words(host, fields);
    std::string_view name = fields.size() > kHostName ? fields[kHostName] : std::string_view();
    status->hostaddr = ss::hex_field(fields, kHostAddr);
    status->timeoff = ss::decimal_field(fields, kTimeOff);
    status->lastseen = ss::decimal_field(fields, kLastSeen);
    status->numifs = ss::decimal_field(fields, kNumIfs);
    std::free(status->ifs);
    status->ifs = nullptr;
    if (name.empty() || name.size() >= GM_NAME_SIZE || status->numifs > kMaxInterfaces) {
        status->numifs = 0;
        return false;
    }
    name.copy(status->name, name.size());
    status->name[name.size()] = '\0';
    if (status->numifs > 0)
        status->ifs = static_cast<gm_interface *>(safe_calloc(status->numifs, sizeof(gm_interface)));
    return true;
}

// An interface name longer than its field is cut: it only labels the
// interface, whereas the host name is used to reach the member.
void apply_interface_line(gm_interface *iface, const Fields &fields) {
    std::string_view name = fields.size() > kIfName ? fields[kIfName] : std::string_view();
    size_t length = name.copy(iface->ifname, GM_IFNAME_SIZE - 1);
    iface->ifname[length] = '\0';
    iface->ifipaddr = ss::hex_field(fields, kIfIpAddr);
    iface->ifnetmask = ss::hex_field(fields, kIfNetmask);
    iface->ifbcastaddr = ss::hex_field(fields, kIfBcastAddr);
    iface->iflastpkt = ss::decimal_field(fields, kIfLastPkt);
    for (size_t i = kFirstWord; i < fields.size(); ++i) {
        if (ss::same_nocase(fields[i], "LAN")) iface->lan = 1;
    }
}

}  // namespace

namespace zt::session {

bool trusted_and_alive(const HostList *node) {
    return node->host != nullptr && node->host->status != nullptr && node->host->trusted != 0 &&
           isTimedOut(node->host->status->lastseen, node->host->status->period) == 0;
}

Result ask_group(const char *host, HostList **list) {
    GstatusReader reader(list);
    Result result = exchange({"get_gstatus", kAuthManager, true, true, kStatusWords, "gstatus\n"}, host,
                             [&](std::string_view line) { return reader.line(line); });
    if (reader.repeated() > 0 || reader.beyond_limit() > 0)
        report("get_gstatus", "ignored %d members named before and %d beyond the first %d\n", reader.repeated(),
               reader.beyond_limit(), kMaxGroupMembers);
    return result;
}

void GstatusReader::take_entry() {
    HostList *parsed = nullptr;
    parse_host_entry(&parsed, entry_.text().c_str());
    if (parsed == nullptr) return;
    HostList **tail = list_;
    bool named_before = false;
    for (; *tail != nullptr; tail = &(*tail)->next) {
        const gm_host *held = (*tail)->host;
        if (held != nullptr && held->status != nullptr)
            named_before = named_before || same_nocase(held->status->name, parsed->host->status->name);
    }
    if (named_before) {
        ++repeated_;
    } else if (taken_ >= kMaxGroupMembers) {
        ++beyond_limit_;
    } else {
        *tail = parsed;
        parsed = nullptr;
        ++taken_;
    }
    free_HostList(&parsed);
}

LineStatus GstatusReader::line(std::string_view line) {
    if (ifcount_ > 0 && ifcount_ == numifs_) {
        take_entry();
        ifcount_ = numifs_ = 0;
        entry_.clear();
    }
    if (ifcount_ > numifs_) {
        report("get_gstatus", "error: ifcount=%d > numifs=%d.\n", ifcount_, numifs_);
        free_HostList(list_);
        return LineStatus::kStop;
    }
    int kind = parse_host_line(std::string(line).c_str(), &numifs_);
    if (kind == 0) return LineStatus::kTaken;
    if (kind == 2) ++ifcount_;
    return entry_.append_line(line) ? LineStatus::kTaken : LineStatus::kDropped;
}

}  // namespace zt::session

extern "C" {

gm_host *allocate_gm_host(void) {
    auto *host = static_cast<gm_host *>(safe_calloc(1, sizeof(gm_host)));
    host->status = static_cast<gm_hoststatus *>(safe_calloc(1, sizeof(gm_hoststatus)));
    host->status->period = GM_DEFAULT_PERIOD;
    return host;
}

void free_gm_host(gm_host *host) {
    if (host == nullptr) return;
    if (host->status != nullptr) std::free(host->status->ifs);
    std::free(host->status);
    std::free(host);
}

void add_host_to_list(HostList **list, gm_host *host) {
    if (list == nullptr) return;
    while (*list != nullptr) list = &(*list)->next;
    *list = static_cast<HostList *>(safe_calloc(1, sizeof(HostList)));
    (*list)->host = host;
}

void free_HostList(HostList **list) {
    if (list == nullptr) return;
    while (*list != nullptr) {
        HostList *next = (*list)->next;
        free_gm_host((*list)->host);
        std::free(*list);
        *list = next;
    }
}

int isTimedOut(int lastseen, int period) {
    uint64_t seen = static_cast<uint32_t>(lastseen);
    return seen > 3 * static_cast<uint64_t>(static_cast<uint32_t>(period)) ? 1 : 0;
}

int parse_host_line(const char *line, int *numifs) {
    if (line == nullptr) return 0;
    Fields fields = ss::split_words(line);
    if (fields.empty()) return 0;
    if (fields[0] == "host") {
        if (numifs != nullptr) *numifs = ss::decimal_field(fields, kNumIfs);
        return 1;
    }
    return fields[0] == "interface" ? 2 : 0;
}

void parse_host_entry(HostList **list, const char *entry) {
    if (list == nullptr || entry == nullptr) return;
    gm_host *host = allocate_gm_host();
    bool seen_host = false, refused = false;
    int filled = 0;
    std::string_view text(entry);
    while (!text.empty()) {
        size_t end = text.find('\n');
        Fields fields = ss::split_words(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (fields.empty()) continue;
        if (ss::same_nocase(fields[0], "host")) {
            seen_host = true;
            refused = !apply_host_line(host, fields);
            filled = 0;
        } else if (fields[0] == "interface" && seen_host && filled < host->status->numifs) {
            apply_interface_line(&host->status->ifs[filled++], fields);
        }
    }
    if (refused) zt::dprintf("parse_host_entry(): host line does not fit its fields, member ignored\n");
    if (seen_host && !refused) {
        add_host_to_list(list, host);
    } else {
        free_gm_host(host);
    }
}

void get_gstatus(const char *host, HostList **list) {
    if (list != nullptr) ss::ask_group(host, list);
}

HostList *get_gm_hosts(AdminConfig *config, const char *host, int *count) {
    int ignored = 0;
    if (count == nullptr) count = &ignored;
    *count = 0;
    if (config == nullptr && host == nullptr) {
        zt::dprintf("get_gm_hosts(): First and second args are NULL pointers\n");
        return nullptr;
    }
    HostList *list = nullptr;
    get_gstatus(host != nullptr ? host : get_server_name(config), &list);
    for (HostList *node = list; node != nullptr; node = node->next) ++*count;
    if (*count > 0) zt::dlprintf("e", "found %d hosts\n", *count);
    return list;
}

HostList *get_trusted_alive_gm_hosts(AdminConfig *config, const char *host, int *count) {
    int ignored = 0;
    if (count == nullptr) count = &ignored;
    HostList *list = get_gm_hosts(config, host, count);
    for (HostList **link = &list; *link != nullptr;) {
        HostList *node = *link;
        if (node->host == nullptr || node->host->status == nullptr) {
            zt::dprintf("Bad host list from get_gm_hosts\n");
            free_HostList(&list);
            *count = 0;
            return nullptr;
        }
        if (ss::trusted_and_alive(node)) {
            link = &node->next;
            continue;
        }
        *link = node->next;
        free_gm_host(node->host);
        std::free(node);
        --*count;
    }
    return list;
}

CurrentEntry *get_currentHA_list(HostList *hosts, int /*mode*/) {
    // Each member's list is in token order and names the member as its
    // server; merged in one pass, in the order of inserting them one after
    // the other.
    std::vector<CurrentEntry *> parts;
    for (HostList *node = hosts; node != nullptr; node = node->next) {
        if (!ss::trusted_and_alive(node)) continue;
        int count = 0;
        parts.push_back(get_current_list(node->host->status->name, &count, 2, nullptr));
    }
    return ss::merge_chains(std::move(parts), [](const CurrentEntry *e) { return e->token_id; });
}

TermEntry *zt_get_termHA_list(HostList *hosts) {
    std::vector<TermEntry *> parts;
    for (HostList *node = hosts; node != nullptr; node = node->next) {
        if (!ss::trusted_and_alive(node)) continue;
        const char *name = node->host->status->name;
        int status = 0;
        parts.push_back(zt_get_term_list(name, &status));
        if (status != 0) zt::dprintf("zt_get_termHA_list(): Could not get terminal list from server (%s)\n", name);
    }
    return ss::merge_chains(std::move(parts), [](const TermEntry *e) { return e->terminal_id; });
}

void print_gm_host(const gm_host *host) {
    if (host == nullptr || host->status == nullptr) return;
    const gm_hoststatus *s = host->status;
    std::string states;
    if (host->trusted) states += " TRUSTED";
    if (host->offline) states += " OFFLINE";
    if (host->lan_ok) states += " LAN_OK";
    std::fprintf(stderr, "host:%s\n", states.empty() ? " " : states.c_str());
    std::fprintf(stderr,
                 "  name      = %s\n  numifs    = %d\n  lastseen  = %d\n  timeoff   = %d\n  period    = %d\n"
                 "  starttime = %d\n  hostaddr  = %x\n",
                 s->name, s->numifs, s->lastseen, s->timeoff, s->period, s->starttime, s->hostaddr);
    for (int i = 0; s->ifs != nullptr && i < s->numifs; ++i) {
        const gm_interface *f = &s->ifs[i];
        std::fprintf(stderr,
                     "  interface:\n    ifname      = %s\n    ifipaddr    = %x\n    ifnetmask   = %x\n"
                     "    ifbcastaddr = %x\n    iflastpkt   = %d\n",
                     f->ifname, f->ifipaddr, f->ifnetmask, f->ifbcastaddr, f->iflastpkt);
    }
}

}  // extern "C"
