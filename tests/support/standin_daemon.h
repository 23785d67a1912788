/* SPDX-License-Identifier: GPL-3.0-or-later */
// standin_daemon.h - a stand-in authentication or session manager for the length of a test.
//
// The managers' ports are fixed per address and other test runs in the same network namespace may use them at the same
// time, so while any StandinDaemon of this process runs, the process holds an exclusive flock on the port lock of its
// network namespace (taken with a blocking wait; runs in private namespaces, as scripts/test makes them, never wait for
// each other).  CTest tests that use the class also carry the RESOURCE_LOCK session_ports (tests/CMakeLists.txt adds
// it).
#ifndef ZT_TEST_STANDIN_DAEMON_H
#define ZT_TEST_STANDIN_DAEMON_H

#include "test_support.h"

namespace zt::test {

// Holds the machine-wide port lock while at least one object exists in this process.
class PortLockHold {
public:
    PortLockHold();
    ~PortLockHold();
    PortLockHold(const PortLockHold &) = delete;
    PortLockHold &operator=(const PortLockHold &) = delete;
};

class StandinDaemon {
public:
    enum class Service { AuthMgr, SessionMgr };

    // Starts the stand-in for `service` listening on `listen` (ADDR or ADDR:PORT) with `scenario` (JSON text); returns
    // once it listens. Throws std::runtime_error, with the daemon's messages, if it cannot.
    StandinDaemon(Service service, const std::string &listen, const std::string &scenario);
    // Stops the daemon (see stop()).
    ~StandinDaemon();
    StandinDaemon(const StandinDaemon &) = delete;
    StandinDaemon &operator=(const StandinDaemon &) = delete;

    // Replaces the scenario; the next connection reads the new one.
    void set_scenario(const std::string &scenario) const;
    // The requests received so far, oldest first, as sent.
    std::vector<std::string> requests() const;
    // What the daemon wrote on its standard error so far.
    std::string errors() const;

    // Sends SIGTERM and waits for the daemon (SIGKILL after 5 s); returns
    // its exit status (128 + signal when killed), the same on later calls.
    int stop();

private:
    std::string path(const char *name) const { return dir_.path() + "/" + name; }
    void wait_until_listening();

    PortLockHold lock_;  // first in, last out: held until the daemon is gone
    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace zt::test

#endif  // ZT_TEST_STANDIN_DAEMON_H
