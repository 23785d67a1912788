/* SPDX-License-Identifier: GPL-3.0-or-later */
// ztadmin.h - the administrator's set-up tool: what its commands share.
//
// `ztadmin check` walks everything ztuser needs, in the order ztuser needs
// it, and prints one verdict line per check; `ztadmin init` writes the
// configuration, the password file and the status files, then checks.
#ifndef ZTADMIN_H
#define ZTADMIN_H

#include <sys/stat.h>

#include <memory>
#include <string>

#include "admin_private.h"

namespace ztadmin {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a check FAILED, or init could not write
inline constexpr int kExitUsage = 2;
// The longest the check waits for any answer of a directory server.
inline constexpr int kCheckAnswerSeconds = 10;

// The access level ztuser runs at for this caller: 3 for the super-user,
// 1 for anyone else.
int caller_access_level();

// ---------------------------------------------------------------- report
enum class Verdict { kOk, kWarning, kFailed };

// Prints one line per check on standard output: the verdict ("ok",
// "warning" or "FAILED") padded to eight columns, then "SUBJECT: REASON".
// Quiet reports leave out the ok lines.
class Report {
public:
    explicit Report(bool quiet) : quiet_(quiet) {}
    void line(Verdict verdict, const std::string &subject, const std::string &reason);
    void ok(const std::string &subject, const std::string &reason) { line(Verdict::kOk, subject, reason); }
    void warning(const std::string &subject, const std::string &reason) { line(Verdict::kWarning, subject, reason); }
    void failed(const std::string &subject, const std::string &reason) { line(Verdict::kFailed, subject, reason); }
    bool any_failed() const { return failed_; }

private:
    bool quiet_;
    bool failed_ = false;
};

// ----------------------------------------------------------------- check
struct RecordDeleter {
    void operator()(AdminConfig *record) const { free_zta(record); }
};
using Record = std::unique_ptr<AdminConfig, RecordDeleter>;

// What the walk has learnt so far; later checks run only on what earlier
// ones found usable.
struct Setup {
    explicit Setup(int access_level) : level(access_level) {}
    int level;
    Record config;              // the configuration as read; null when unreadable
    bool server_known = false;  // server name and a usable port
    bool can_bind = false;      // the identity and password the level needs
    zt::LdapPtr session;        // bound with the configured server
    std::string primary;        // the primary's host; empty when unknown or this host
    int primary_port = -1;      // as the data-store configuration gives it
};

// One step of the walk.
using Step = void (*)(Setup &setup, Report &report);

// The steps, in files by area.
void check_configuration_file(Setup &setup, Report &report);
void check_configuration_keys(Setup &setup, Report &report);
void check_password_file(Setup &setup, Report &report);
void check_status_files(Setup &setup, Report &report);
void check_data_store_configuration(Setup &setup, Report &report);
void check_directory_server(Setup &setup, Report &report);
void check_directory_entries(Setup &setup, Report &report);
void check_primary_server(Setup &setup, Report &report);
void check_session_managers(Setup &setup, Report &report);
void check_policy_tool(Setup &setup, Report &report);

// Runs every step as the caller's access level needs it; the exit status.
int run_check(bool quiet);

// ------------------------------------------------------- values and files
// Digits only, as the configuration reader wants numbers.
bool is_digits(const std::string &value);
// The port a digits-only text names, or 0 when it names none (1 to 65535).
int port_number(const std::string &value);
// True when libldap reads `value` as a DN.
bool is_dn(const char *value);

// The rule the library applies at access level 3 to the configuration, the
// data-store configuration and the password file (`secret`): a file not
// owned by root or writable by group or others is refused, a password file
// readable by group or others too.  A password file with any other mode
// than 0600 that passes is a warning.
struct FileVerdict {
    Verdict verdict;
    std::string reason;
};
FileVerdict owner_and_mode_verdict(const struct stat &st, bool secret);

// "0644" for the permission bits of `mode`.
std::string octal_mode(mode_t mode);

// The system's text for `err`.
std::string error_text(int err);

}  // namespace ztadmin

#endif  // ZTADMIN_H
