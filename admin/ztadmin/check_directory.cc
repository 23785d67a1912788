// SPDX-License-Identifier: GPL-3.0-or-later
// check_directory.cc - the directory servers: the configured server (name,
// TCP, StartTLS, bind), the entries ztuser works below, and the primary
// that writes are referred to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "records_common.h"
#include "ztadmin.h"

namespace ztadmin {

namespace {

// How long a TCP connection attempt to a directory server may take.
constexpr int kConnectSeconds = 5;

// The start of the library's log line for a failed StartTLS.
constexpr const char *kStartTlsFailure = "open_connection(): StartTLS with DS server";

using AddrinfoList = zt::AddrinfoPtr;

std::string at(const char *host, int port) { return std::string(host) + " port " + std::to_string(port); }

std::string address_text(const addrinfo *ai) {
    char text[INET6_ADDRSTRLEN] = "?";
    const void *address =
        ai->ai_family == AF_INET6
            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr)->sin6_addr)
            : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr);
    inet_ntop(ai->ai_family, address, text, sizeof text);
    return text;
}

// Connects to one address within kConnectSeconds; 0, or the errno.
int connect_within(const addrinfo *ai) {
    zt::Fd fd(socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return errno;
    if (connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd watch{fd.get(), POLLOUT, 0};
    int ready;
    while ((ready = poll(&watch, 1, kConnectSeconds * 1000)) < 0 && errno == EINTR) {
    }
    if (ready == 0) return ETIMEDOUT;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return errno;
    return pending;
}

// Resolves the configured server as libldap does (any address family);
// prints the line, and returns the addresses (null when none).
AddrinfoList resolve_server(const char *host, Report &report) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    AddrinfoList list(found);
    std::string subject = std::string("directory server ") + host;
    if (rc != 0 || !list) {
        report.failed(subject, std::string("does not resolve (") + gai_strerror(rc) + ")");
        return nullptr;
    }
    report.ok(subject, "resolves to " + address_text(list.get()));
    return list;
}

// Tries every address in turn, as libldap does; prints the line.
bool accepts_tcp(const addrinfo *list, const char *host, int port, Report &report) {
    int err = 0;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_port = htons(port);
        if (ai->ai_family == AF_INET6) reinterpret_cast<sockaddr_in6 *>(ai->ai_addr)->sin6_port = htons(port);
        if ((err = connect_within(ai)) == 0) {
            report.ok("directory server " + at(host, port), "accepts TCP connections");
            return true;
        }
    }
    std::string reason =
        err == ETIMEDOUT ? "no answer within " + std::to_string(kConnectSeconds) + " s" : error_text(err);
    report.failed("directory server " + at(host, port), reason);
    return false;
}

std::string bind_subject(const AdminConfig &c, const char *host) {
    std::string who = c.user_name != nullptr ? c.user_name : "(none)";
    return "bind as " + who + " at " + at(host, c.server_port);
}

// Opens a session as ztuser would, with StartTLS when configured, and
// prints the StartTLS and bind lines.  Every answer is awaited for at most
// kCheckAnswerSeconds, however long ztuser would wait, so that a server
// that accepts and never answers cannot hold the check.  The bound session,
// or null.
zt::LdapPtr open_and_bind(const AdminConfig &c, const char *host, Report &report) {
    zt::LogCapture capture;
    AdminStatus status = ADMIN_SUCCESS;
    AdminConfig bounded = c;
    if (bounded.op_timeout == 0 || bounded.op_timeout > kCheckAnswerSeconds) bounded.op_timeout = kCheckAnswerSeconds;
    zt::LdapPtr session(zt::open_session(&bounded, host, &status));
    if (c.tls_mode == ZT_TLS_STARTTLS) {
        std::string tls_failure;
        for (const auto &record : capture.records()) {
            if (record.starts_with(kStartTlsFailure)) tls_failure = record;
        }
        if (!tls_failure.empty()) {
            report.failed("StartTLS with " + at(host, c.server_port), tls_failure);
            return nullptr;
        }
        report.ok("StartTLS with " + at(host, c.server_port), "the server's certificate and name verified");
    }
    if (session) {
        report.ok(bind_subject(c, host), "accepted");
    } else {
        report.failed(bind_subject(c, host), capture.records().empty() ? zt_err2str(status) : capture.joined());
    }
    return session;
}

// Whether `dn` exists, by a search of its base; empty when it does,
// otherwise the reason.
std::string missing_entry(LDAP *session, const std::string &dn) {
    char attribute[] = "1.1";
    char *attrs[] = {attribute, nullptr};
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(session, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr,
                               nullptr, 1, &raw);
    zt::LdapMsgPtr result(raw);
    if (rc != LDAP_SUCCESS) return ldap_err2string(rc);
    if (ldap_count_entries(session, result.get()) != 1) return "not found";
    return {};
}

// The library logs the pending error of a failed connection attempt to the
// primary by its number only; the reason adds its text.
std::string with_error_text(const std::string &records) {
    static const std::regex kErrorNumber("internal socket error ([0-9]+)$");
    std::smatch number;
    if (!std::regex_search(records, number, kErrorNumber)) return records;
    return records + " (" + error_text(std::stoi(number[1].str())) + ")";
}

}  // namespace

void check_directory_server(Setup &setup, Report &report) {
    if (!setup.server_known) return;
    const AdminConfig &c = *setup.config;
    AddrinfoList addresses = resolve_server(c.server_name, report);
    if (!addresses || !accepts_tcp(addresses.get(), c.server_name, c.server_port, report)) return;
    if (!setup.can_bind) return;
    setup.session = open_and_bind(c, c.server_name, report);
}

void check_directory_entries(Setup &setup, Report &report) {
    if (!setup.session || setup.config->subtree == nullptr) return;
    const char *subtree = setup.config->subtree;
    for (const std::string &dn :
         {std::string(subtree), zt::search_base(zt::kUsersContainer, subtree),
          zt::search_base(zt::kLogicalTokensContainer, subtree), zt::search_base(zt::kRawTokensContainer, subtree)}) {
        std::string missing = missing_entry(setup.session.get(), dn);
        if (missing.empty()) {
            report.ok("entry " + dn, "exists");
        } else {
            report.failed("entry " + dn, missing);
        }
    }
}

void check_primary_server(Setup &setup, Report &report) {
    if (setup.primary.empty()) return;
    const char *host = setup.primary.c_str();
    std::string subject = "primary server " + at(host, setup.primary_port);
    zt::LogCapture capture;
    AdminStatus status = zt_pingDShost(host, setup.primary_port, DStimeout);
    if (status == ADMIN_ERR_NOT_FOUND) {
        report.failed(subject, "does not resolve");
        return;
    }
    if (status == ADMIN_ERR_TIMEOUT) {
        report.failed(subject, "no answer within " + std::to_string(DStimeout) + " s (admin.server.timeout)");
        return;
    }
    if (status != ADMIN_SUCCESS) {
        report.failed(subject, capture.records().empty() ? zt_err2str(status) : with_error_text(capture.joined()));
        return;
    }
    report.ok(subject, "accepts TCP connections");
    // Writes reach the primary at the host the referral names and the
    // configured port.
    if (setup.server_known && setup.can_bind) open_and_bind(*setup.config, host, report);
}

}  // namespace ztadmin
