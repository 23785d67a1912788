/* SPDX-License-Identifier: GPL-3.0-or-later */
// daemon.h - the frame shared by the stand-in daemons: command line,
// listening socket, signals, one thread per connection.
//
//   PROGRAM --listen ADDR[:PORT] --scenario FILE [--pidfile FILE] [--requests FILE]
//
// ADDR is a loopback IPv4 address; PORT defaults to the one the clients
// find for the daemon's service.  The pidfile appears once the socket
// listens (callers wait for it); SIGTERM or SIGINT end the daemon with
// status 0 even while connections are held open.
#ifndef ZT_STANDIN_DAEMON_H
#define ZT_STANDIN_DAEMON_H

namespace zt::standin {

// What tells one daemon from the other.
struct DaemonSpec {
    const char *program;  // name in messages and usage
    const char *service;  // TCP service the clients look up
    int fallback_port;    // their port when the service is unknown
};

// Runs the daemon; returns the exit status: 0 after SIGTERM/SIGINT, 1 when
// it cannot start (port taken, unwritable file), 2 on a usage error.
int run_daemon(const DaemonSpec &spec, int argc, char **argv);

}  // namespace zt::standin

#endif  // ZT_STANDIN_DAEMON_H
