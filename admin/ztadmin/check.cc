// SPDX-License-Identifier: GPL-3.0-or-later
// check.cc - `ztadmin check`: the walk over everything ztuser needs.
//
// The walk writes nothing: files are opened for reading (the status files
// as ztuser opens them, which stores nothing), the directory is only bound
// and searched, the managers are asked what a listing asks them.  The
// library logs what it logs as usual; its records are captured to name
// the reason of a failure.
#include <getopt.h>

#include <cstring>
#include <string>

#include "commands.h"
#include "ztadmin.h"

namespace ztadmin {

namespace {

// The bound of the check's connects to a directory server when the
// configuration sets none (admin.server.timeout = 0).
constexpr int kLdapNetworkSeconds = 5;

// In the order ztuser meets them.
constexpr Step kSteps[] = {
    check_configuration_file,       check_configuration_keys, check_password_file,     check_status_files,
    check_data_store_configuration, check_directory_server,   check_directory_entries, check_primary_server,
    check_session_managers,         check_policy_tool,
};

// Every session made from here on inherits this limit.
void bound_ldap_waits() {
    timeval network{kLdapNetworkSeconds, 0};
    ldap_set_option(nullptr, LDAP_OPT_NETWORK_TIMEOUT, &network);
}

}  // namespace

int run_check(bool quiet) {
    bound_ldap_waits();
    Report report(quiet);
    Setup setup(caller_access_level());
    for (Step step : kSteps) step(setup, report);
    return report.any_failed() ? kExitFailed : kExitOk;
}

int command_check(int argc, char **argv) {
    static const option kOptions[] = {{"quiet", no_argument, nullptr, 'q'}, {nullptr, 0, nullptr, 0}};
    bool quiet = false;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+q", kOptions, nullptr)) != -1) {
        if (c != 'q') return usage_error("check", ("unknown option " + std::string(argv[optind - 1])).c_str());
        quiet = true;
    }
    if (optind < argc) return usage_error("check", "extra argument found");
    return run_check(quiet);
}

}  // namespace ztadmin
