// SPDX-License-Identifier: GPL-3.0-or-later
// authmgr-standin - stands in for the server's authentication manager in
// tests and the demo: answers the manager's queries ("status", "ustatus",
// "gstatus", ...) as a scenario file says.  See daemon.h for the command line
// and scenario.h for the scenario.
#include "daemon.h"

int main(int argc, char **argv) {
    return zt::standin::run_daemon({"authmgr-standin", "ztauthd-cb", 7010}, argc, argv);
}
