// SPDX-License-Identifier: GPL-3.0-or-later
// check_files.cc - the local files ztuser reads: the configuration file and
// its keys, the password file, the two status files, and the data-store
// configuration with the primary it names.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ztadmin.h"

namespace ztadmin {

namespace {

// How the library opens the file at `path`: configuration files are read
// whole (up to a bound), the password file only by its first line.
std::optional<std::string> open_failure(const std::string &path, bool secret) {
    bool opened =
        secret ? static_cast<bool>(zt::open_regular_file(path)) : static_cast<bool>(zt::open_config_file(path));
    if (opened) return std::nullopt;
    return error_text(errno);
}

// The verdict on a file the library reads: present, a regular file,
// readable as the library reads it and, at level 3, owned and protected as
// the library demands there.
FileVerdict file_verdict(const Setup &setup, const std::string &path, bool secret) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {Verdict::kFailed, error_text(errno)};
    if (!S_ISREG(st.st_mode)) return {Verdict::kFailed, "not a regular file"};
    if (auto failure = open_failure(path, secret)) return {Verdict::kFailed, *failure};
    if (setup.level != 3) return {Verdict::kOk, "present and readable"};
    FileVerdict verdict = owner_and_mode_verdict(st, secret);
    if (verdict.verdict == Verdict::kOk) verdict.reason = "present, readable, " + verdict.reason;
    return verdict;
}

// ------------------------------------------------------------------ keys

bool is_port(int port) { return port >= 1 && port <= 65535; }

bool is_mechanism(const std::string &value) { return value == "CRAM_MD5" || value == "SIMPLE"; }

// A key ztuser reads, and what a value the reader passes over means.
struct KeyRule {
    const char *key;
    bool (*valid)(const std::string &value);  // null: any text is taken
    const char *if_invalid;
};

// Required keys are judged on the record as read (below); these rules
// judge each line.  admin.server.tls is judged on the record too: an
// invalid value is kept and fails every connection.
constexpr KeyRule kKeys[] = {
    {"admin.server.name", nullptr, nullptr},
    {"admin.server.port", is_digits, "is not a port number (digits only); the line is ignored"},
    {"admin.user.name", nullptr, nullptr},
    {"admin.subtree", nullptr, nullptr},
    {"admin.dstatus.dbfile", nullptr, nullptr},
    {"admin.ustatus.dbfile", nullptr, nullptr},
    {"admin.defaultlocale", nullptr, nullptr},
    {"admin.debug", nullptr, nullptr},
    {"admin.server.timeout", is_digits, "is not a number of seconds (digits only); the line is ignored"},
    {"admin.server.optimeout", is_digits, "is not a number of seconds (digits only); the line is ignored"},
    {"admin.server.authmech", is_mechanism, "is neither CRAM_MD5 nor SIMPLE; the line is ignored"},
    {"admin.server.tls", nullptr, nullptr},
    {"admin.server.tls.cacert", nullptr, nullptr},
};

const KeyRule *rule_for(const std::string &key) {
    for (const KeyRule &rule : kKeys) {
        if (key == rule.key) return &rule;
    }
    return nullptr;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The key/value pairs of the file in order, by the reader's line rules.
Pairs config_pairs(const std::string &path) {
    Pairs pairs;
    zt::FilePtr in = zt::open_config_file(path);
    char line[512];
    while (in && std::fgets(line, sizeof line, in.get()) != nullptr) {
        char *key = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(line, &key, &value) == 1 && key != nullptr && value != nullptr) {
            pairs.emplace_back(key, value);
        }
        std::free(key);
        std::free(value);
    }
    return pairs;
}

// The last value given for `key`, if any.
std::optional<std::string> last_value(const Pairs &pairs, const char *key) {
    std::optional<std::string> value;
    for (const auto &[k, v] : pairs) {
        if (k == key) value = v;
    }
    return value;
}

std::string quoted(const std::string &value) { return "\"" + value + "\""; }

// The failures of the record as ztuser would use it: "key", "reason".
std::vector<std::pair<std::string, std::string>> record_failures(const Setup &setup, const Pairs &pairs) {
    const AdminConfig &c = *setup.config;
    std::vector<std::pair<std::string, std::string>> failures;
    auto missing = [&](const char *key, const char *value) {
        if (value == nullptr) failures.emplace_back(key, "missing");
        return value == nullptr;
    };
    missing("admin.server.name", c.server_name);
    if (!is_port(c.server_port)) {
        auto given = last_value(pairs, "admin.server.port");
        failures.emplace_back("admin.server.port",
                              given ? quoted(*given) + " is not a port number (1 to 65535)" : std::string("missing"));
    }
    if (setup.level != 1 && c.user_name == nullptr) {
        failures.emplace_back("admin.user.name", "missing (root binds with it)");
    }
    if (!missing("admin.subtree", c.subtree) && !is_dn(c.subtree)) {
        failures.emplace_back("admin.subtree", quoted(c.subtree) + " is not a DN");
    }
    missing("admin.dstatus.dbfile", c.dstatus_dbfile);
    missing("admin.ustatus.dbfile", c.ustatus_dbfile);
    if (c.tls_mode == ZT_TLS_INVALID) {
        failures.emplace_back("admin.server.tls", quoted(last_value(pairs, "admin.server.tls").value_or("")) +
                                                      " is neither none nor starttls; every connection fails");
    }
    if (c.tls_mode == ZT_TLS_STARTTLS && c.tls_cacert != nullptr && !zt::open_regular_file(c.tls_cacert)) {
        failures.emplace_back("admin.server.tls.cacert", std::string(c.tls_cacert) + ": " + error_text(errno));
    }
    return failures;
}

// Lines ztuser's reader passes over: unknown keys, values it ignores.
std::vector<std::pair<std::string, std::string>> ignored_lines(const Pairs &pairs) {
    std::vector<std::pair<std::string, std::string>> ignored;
    for (const auto &[key, value] : pairs) {
        const KeyRule *rule = rule_for(key);
        if (rule == nullptr) {
            ignored.emplace_back(key, "not a key ztuser reads; ignored");
        } else if (rule->valid != nullptr && !rule->valid(value)) {
            ignored.emplace_back(key, quoted(value) + " " + rule->if_invalid);
        }
    }
    return ignored;
}

// ------------------------------------------------------------ status files

void check_status_file(const Setup &setup, Report &report, const char *what, const char *path,
                       DBM *(*open)(const char *, int), void (*close)(DBM *)) {
    int access = setup.level == 1 ? 1 : 0;
    std::string subject = std::string(what) + " status file " + path;
    errno = 0;
    DBM *db = open(path, access);
    if (db == nullptr) {
        report.failed(subject, errno != 0 ? error_text(errno) : "cannot be opened as a DBM file");
        return;
    }
    close(db);
    report.ok(subject, access == 1 ? "opens read-only" : "opens read-write");
}

// The verdict on the data-store configuration once the library's reader
// has read it: `so_far`, or the reader's own reason why not.
FileVerdict read_verdict(const FileVerdict &so_far) {
    zt::LogCapture capture;
    BackendList list{};
    AdminStatus status = read_ds_config(&list);
    free_backend(&list);
    if (status == ADMIN_SUCCESS) return so_far;
    return {Verdict::kFailed, capture.records().empty() ? zt_err2str(status) : capture.joined()};
}

// The primary the data-store configuration at `path` names, found as the
// library finds it; remembered in `setup` unless it is this host.
void check_primary_named(Setup &setup, Report &report, const std::string &path) {
    zt::LogCapture capture;
    char *name = nullptr;
    int port = -1;
    AdminStatus status = zt_getDSprimary(&name, &port);
    zt::CString host(name);
    if (status == ADMIN_ERR_NOT_FOUND) {
        report.failed("primary server", "no database with the suffix o=ztdata in " + path);
    } else if (status != ADMIN_SUCCESS) {
        report.failed("primary server", capture.records().empty() ? zt_err2str(status) : capture.joined());
    } else if (port == -1) {
        report.ok("primary server", std::string("this host (") + host.get() + ") is the primary");
    } else {
        report.ok("primary server", std::string(host.get()) + " port " + std::to_string(port) + ", named in " + path);
        setup.primary = host.get();
        setup.primary_port = port;
    }
}

}  // namespace

// ---------------------------------------------------------------- steps

void check_configuration_file(Setup &setup, Report &report) {
    std::string path = zt::fixed_path(zt::kConfigPath);
    FileVerdict verdict = file_verdict(setup, path, false);
    report.line(verdict.verdict, "configuration file " + path, verdict.reason);
    if (verdict.verdict == Verdict::kFailed) return;
    setup.config.reset(allocate_zta());
    setup.config->access_level = setup.level;
    if (read_config_file(setup.config.get(), path.c_str()) != ADMIN_SUCCESS) setup.config.reset();
}

void check_configuration_keys(Setup &setup, Report &report) {
    if (!setup.config) return;
    std::string path = zt::fixed_path(zt::kConfigPath);
    Pairs pairs = config_pairs(path);
    auto failures = record_failures(setup, pairs);
    auto ignored = ignored_lines(pairs);
    zt::LogCapture capture;
    if (check_zta(setup.config.get()) != ADMIN_SUCCESS && failures.empty()) {
        failures.emplace_back("in " + path, capture.joined());  // the library's own test is the last word
    }
    auto failed = [&failures](const std::string &key) {
        return std::ranges::any_of(failures, [&key](const auto &failure) { return failure.first == key; });
    };
    for (const auto &[key, reason] : failures) report.failed("configuration key " + key, reason);
    for (const auto &[key, reason] : ignored) {
        if (!failed(key)) report.warning("configuration key " + key, reason);
    }
    if (failures.empty() && ignored.empty())
        report.ok("configuration keys in " + path, "every required key present and valid");
    const AdminConfig &c = *setup.config;
    setup.server_known = c.server_name != nullptr && is_port(c.server_port);
}

void check_password_file(Setup &setup, Report &report) {
    std::string path = zt::fixed_path(zt::kPasswordPath);
    std::string subject = "password file " + path;
    if (setup.level != 3) {
        report.ok(subject, "not read: unprivileged runs bind anonymously");
        if (setup.config) zt::apply_access_level(setup.config.get(), setup.level, nullptr, nullptr);
        setup.can_bind = true;
        return;
    }
    FileVerdict verdict = file_verdict(setup, path, true);
    if (verdict.verdict != Verdict::kFailed && setup.config) {
        zt::LogCapture capture;
        AdminStatus status = zt::apply_access_level(setup.config.get(), setup.level, nullptr, nullptr);
        if (status == ADMIN_ERR_INTERNAL)
            verdict = {Verdict::kFailed, "its first line is empty"};
        else if (status != ADMIN_SUCCESS)
            verdict = {Verdict::kFailed, zt_err2str(status)};
        setup.can_bind = status == ADMIN_SUCCESS && setup.config->user_name != nullptr;
    }
    report.line(verdict.verdict, subject, verdict.reason);
}

void check_status_files(Setup &setup, Report &report) {
    if (!setup.config) return;
    if (setup.config->ustatus_dbfile != nullptr) {
        check_status_file(setup, report, "user", setup.config->ustatus_dbfile, open_user_dbm, close_user_dbm);
    }
    if (setup.config->dstatus_dbfile != nullptr) {
        check_status_file(setup, report, "desktop", setup.config->dstatus_dbfile, open_desktop_dbm, close_desktop_dbm);
    }
}

void check_data_store_configuration(Setup &setup, Report &report) {
    std::string path = zt::fixed_path(zt::kDsConfigPath);
    FileVerdict verdict = file_verdict(setup, path, false);
    if (verdict.verdict != Verdict::kFailed) verdict = read_verdict(verdict);
    report.line(verdict.verdict, "data-store configuration file " + path, verdict.reason);
    if (verdict.verdict != Verdict::kFailed) check_primary_named(setup, report, path);
}

}  // namespace ztadmin
