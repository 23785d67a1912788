// SPDX-License-Identifier: GPL-3.0-or-later
// check_services.cc - what ztuser asks besides the directory: the
// authentication and session managers of the configured server, and the
// policy tool.  None of them is needed by the directory commands, so a
// missing one is a warning.
#include <string>

#include "session_client.h"
#include "ztadmin.h"

namespace ztadmin {

namespace {

namespace ss = zt::session;

// The captured records that say why, without the notes that the service
// is unknown to the services database (the subject names the port) and
// without the audit copies of the socket errors.
std::string reason(const zt::LogCapture &capture, const char *fallback) {
    std::string text;
    for (const auto &record : capture.records()) {
        if (record.find("Could not find service") != std::string::npos ||
            record.find("Using hard-coded port") != std::string::npos || record.starts_with("socket : ")) {
            continue;
        }
        text += (text.empty() ? "" : "; ") + record;
    }
    return text.empty() ? fallback : text;
}

std::string manager_subject(const char *what, const ss::Service &service, const char *host) {
    return std::string(what) + " at " + host + " port " + std::to_string(ss::service_port(service, nullptr));
}

void check_authentication_manager(const char *host, Report &report) {
    std::string subject = manager_subject("authentication manager", ss::kAuthManager, host);
    zt::LogCapture capture;
    HostList *list = nullptr;
    ss::Result result = ss::ask_group(host, &list);
    int members = 0;
    for (HostList *node = list; node != nullptr; node = node->next) ++members;
    free_HostList(&list);
    if (result.outcome == ss::Outcome::kFailed) {
        report.warning(subject, reason(capture, zt_err2str(result.status)) +
                                    "; logged-in listings and token readers need it, the directory commands do not");
    } else if (members == 0) {
        report.ok(subject, "answers (no failover group)");
    } else {
        report.ok(subject, "answers (a failover group of " + std::to_string(members) + ")");
    }
}

void check_session_manager(AdminConfig *config, Report &report) {
    std::string subject = manager_subject("session manager", ss::kSessionManager, config->server_name);
    zt::LogCapture capture;
    smstatus *status = allocate_smstatus();
    int result = get_smstatus(config, nullptr, &status, 0, 0);
    std::string error = status->error != nullptr ? status->error : "";
    free_smstatus(status);
    if (result != 0) {
        report.warning(subject, reason(capture, "no answer") + "; the directory commands do not need it");
    } else if (!error.empty()) {
        report.warning(subject, "answers with the error " + error);
    } else {
        report.ok(subject, "answers");
    }
}

}  // namespace

void check_session_managers(Setup &setup, Report &report) {
    if (!setup.config || setup.config->server_name == nullptr) return;
    check_authentication_manager(setup.config->server_name, report);
    check_session_manager(setup.config.get(), report);
}

void check_policy_tool(Setup &, Report &report) {
    std::string subject = "policy tool " + zt::platform_path(zt::kPolicyProgram);
    zt::LogCapture capture;
    zt::CString policy(get_local_policy());
    if (!policy) {
        report.warning(subject,
                       reason(capture, "no policy") + "; logged-in listings then show every pseudo-token login");
    } else if (*policy == '\0') {
        report.ok(subject, "no options: the default policy");
    } else {
        std::string words(policy.get());
        for (char &c : words) c = c == '\n' ? ' ' : c;
        report.ok(subject, "policy \"" + words + "\"");
    }
}

}  // namespace ztadmin
