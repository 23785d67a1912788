// SPDX-License-Identifier: GPL-3.0-or-later
// sessionmgr-standin - stands in for the server's session manager in tests
// and the demo: answers "smstatus" as a scenario file says.  See daemon.h
// for the command line and scenario.h for the scenario.
#include "daemon.h"

int main(int argc, char **argv) {
    return zt::standin::run_daemon({"sessionmgr-standin", "ztsessiond", 7007}, argc, argv);
}
