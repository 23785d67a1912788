// SPDX-License-Identifier: GPL-3.0-or-later
// admin_pool.cc - bound sessions with the primary kept for the next step
// that would open one.
//
// A batch opens a session with the primary for every existence check and
// every referred write, and drops it again right after.  Instead of
// unbinding such a session, the library keeps it here, keyed by everything
// its bind was made of, and the next step that would open the same session
// takes it back.  A kept session is handed out only after it has shown that
// it still works: nothing has arrived on it while it was idle (no end of
// file, no notice of disconnection, no late answer) and it answers a read
// of the root entry right now.  Otherwise it is unbound and the step opens
// a new session, exactly as it would have without the pool.
//
// The same check answers the primary's reachability probe: a kept session
// connected to the very address and port the probe would connect to, that
// answers now, proves that the server takes connections there, and the
// probe opens none.  The session that gave the proof is handed out without
// a second check to the step that asks for it right afterwards.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "admin_private.h"

namespace zt {
namespace {

// Sessions kept at most; the oldest goes first.  A command needs one, a
// desktop change that reads and writes on the primary two.
constexpr size_t kPoolCapacity = 4;

// How long a kept session may take to answer its check before a new one is
// opened instead; never longer than the session's own answer bound.
constexpr int kCheckMilliseconds = 1000;

// How long the answer that proved a session reachable also stands for the
// check of the take that follows it (the step in between reads only local
// files).
constexpr auto kProofValidity = std::chrono::milliseconds(100);

using Clock = std::chrono::steady_clock;

struct Kept {
    SessionKey key;
    LDAP *ld;
    Clock::time_point proven{};  // when it last answered a reachability check
    int check = -1;              // a check sent ahead, not yet read
    Clock::time_point check_sent{};
};

// The kept sessions, shared by the process's connections.  A child made
// by fork() shares their sockets with its parent and must never use them.
struct Pool {
    std::mutex lock;
    std::vector<Kept> idle;
    pid_t owner = getpid();

    // Forgets, without a word to the server, sessions another process kept.
    void claim() {
        if (owner == getpid()) return;
        idle.clear();
        owner = getpid();
    }
};

Pool &pool() {
    static Pool *shared = new Pool;  // never destroyed: used up to exit
    return *shared;
}

void unbind_all(std::vector<Kept> &gone) {
    for (Kept &k : gone) ldap_unbind_ext_s(k.ld, nullptr, nullptr);
    gone.clear();
}

// True when nothing has arrived on the idle session: no buffered bytes, and
// the socket neither readable (data, end of file) nor in error.
bool quiet(LDAP *ld) {
    Sockbuf *sb = nullptr;
    int fd = -1;
    if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr) return false;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_DATA_READY, nullptr) != 0) return false;
    if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return false;
    pollfd watch{fd, POLLIN, 0};
    return poll(&watch, 1, 0) == 0;
}

// Sends the check, a base read of the root entry asking for no attribute;
// its message ID, or -1.
int send_check(LDAP *ld) {
    char no_attributes[] = LDAP_NO_ATTRS;
    char *attrs[] = {no_attributes, nullptr};
    int msgid = -1;
    if (ldap_search_ext(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr, nullptr, 1,
                        &msgid) != LDAP_SUCCESS)
        return -1;
    return msgid;
}

// The check's bound for the session: never longer than its answer bound.
Clock::duration check_bound(LDAP *ld) {
    auto bound = std::chrono::milliseconds(kCheckMilliseconds);
    if (int seconds = answer_bound(ld); seconds > 0) bound = std::min(bound, std::chrono::milliseconds(seconds * 1000));
    return bound;
}

// True when the check `msgid`, sent at `sent`, is answered with success
// within its bound from then, and nothing else has arrived since.
bool check_answered(LDAP *ld, int msgid, Clock::time_point sent) {
    if (msgid < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(sent + check_bound(ld) - Clock::now());
    if (left.count() < 0) left = {};
    timeval bound{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
    LDAPMessage *raw = nullptr;
    int got = ldap_result(ld, msgid, LDAP_MSG_ALL, &bound, &raw);
    LdapMsgPtr result(raw);
    return got == LDAP_RES_SEARCH_RESULT && ldap_result2error(ld, result.get(), 0) == LDAP_SUCCESS && quiet(ld);
}

// True when the session's socket is connected to `target`.
bool connected_to(LDAP *ld, const sockaddr_in &target) {
    int fd = -1;
    if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return false;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 || peer.ss_family != AF_INET) return false;
    const auto &in = reinterpret_cast<const sockaddr_in &>(peer);
    return in.sin_port == target.sin_port && in.sin_addr.s_addr == target.sin_addr.s_addr;
}

// True when the kept session works now: a check sent ahead a moment ago is
// read, any other is read and forgotten and a new one made.
bool works(Kept &k) {
    int ahead = std::exchange(k.check, -1);
    if (ahead >= 0 && Clock::now() - k.check_sent < kProofValidity) return check_answered(k.ld, ahead, k.check_sent);
    if (ahead >= 0 && !check_answered(k.ld, ahead, k.check_sent)) return false;
    return quiet(k.ld) && check_answered(k.ld, send_check(k.ld), Clock::now());
}

// Takes the kept sessions that `wanted` picks out of the pool.
template <typename Wanted>
std::vector<Kept> take_out(Wanted wanted) {
    std::vector<Kept> taken;
    Pool &p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    p.claim();
    for (auto it = p.idle.begin(); it != p.idle.end();) {
        if (wanted(*it)) {
            taken.push_back(std::move(*it));
            it = p.idle.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

// Keeps `k` as the newest session, unbinding the oldest when the pool is
// full.
void put_back(Kept k) {
    std::vector<Kept> evicted;
    {
        Pool &p = pool();
        std::lock_guard<std::mutex> hold(p.lock);
        p.claim();
        p.idle.push_back(std::move(k));
        while (p.idle.size() > kPoolCapacity) {
            evicted.push_back(std::move(p.idle.front()));
            p.idle.erase(p.idle.begin());
        }
    }
    unbind_all(evicted);
}

// True when a kept session connected to `target` works now; it is then
// marked as proven.  Those connected there that fail are unbound.
bool kept_session_reaches(const sockaddr_in &target) {
    std::vector<Kept> there = take_out([&](const Kept &k) { return connected_to(k.ld, target); });
    bool reached = false;
    for (Kept &k : there) {
        if (reached) {
            put_back(std::move(k));
        } else if (works(k)) {
            reached = true;
            k.proven = Clock::now();
            put_back(std::move(k));
        } else {
            ldap_unbind_ext_s(k.ld, nullptr, nullptr);
        }
    }
    return reached;
}

// A kept session proven reachable a moment ago needs no second check.
bool recently_proven(const Kept &k) {
    return k.proven != Clock::time_point{} && Clock::now() - k.proven < kProofValidity;
}

}  // namespace

SessionKey::~SessionKey() {
    if (password) explicit_bzero(password->data(), password->size());
}

LDAP *take_kept_session(const SessionKey &key) {
    std::vector<Kept> matching = take_out([&](const Kept &k) { return k.key == key; });
    if (matching.empty()) return nullptr;
    Kept chosen = std::move(matching.back());
    matching.pop_back();
    // The others wait for the same server; one that fails its check speaks
    // for all of them, and one that passes needs no company.
    unbind_all(matching);
    if (recently_proven(chosen) && chosen.check < 0 ? quiet(chosen.ld) : works(chosen)) return chosen.ld;
    ldap_unbind_ext_s(chosen.ld, nullptr, nullptr);
    return nullptr;
}

void keep_session(SessionKey key, LDAP *ld) {
    if (ld != nullptr) put_back({std::move(key), ld});
}

void check_kept_sessions_ahead() {
    Pool &p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    p.claim();
    for (Kept &k : p.idle) {
        if (k.check >= 0 || recently_proven(k) || !quiet(k.ld)) continue;
        k.check = send_check(k.ld);
        k.check_sent = Clock::now();
    }
}

void empty_session_pool() {
    std::vector<Kept> gone;
    {
        Pool &p = pool();
        std::lock_guard<std::mutex> hold(p.lock);
        p.claim();
        gone.swap(p.idle);
    }
    unbind_all(gone);
}

AdminStatus probe_primary(const char *host, int port, int timeout) {
    if (host != nullptr && timeout >= 0 && port > 0 && port <= 65535) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<uint16_t>(port));
        if (resolve_ipv4(host, &target.sin_addr) && kept_session_reaches(target)) return ADMIN_SUCCESS;
    }
    return zt_pingDShost(host, port, timeout);
}

}  // namespace zt
