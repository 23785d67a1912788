// SPDX-License-Identifier: GPL-3.0-or-later
// init.cc - `ztadmin init`: the configuration file, the password file and
// the two status files ztuser needs, then `ztadmin check`.
//
// Every value is checked and the password read before anything is
// written; an existing configuration or password file is replaced only
// with --force, and existing status files are always kept (they hold the
// login services' records).  Under $ZTADMIN_ROOT every file lands below it.
#include "init.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"

namespace ztadmin {

namespace {

// The status files' places in the example configuration.
constexpr const char *kUserStatusFile = "/var/opt/KRVXzt/ustatus";
constexpr const char *kDesktopStatusFile = "/var/opt/KRVXzt/dstatus";

constexpr mode_t kConfigMode = 0644;  // unprivileged runs read it
constexpr mode_t kPasswordMode = 0600;

struct InitOptions {
    std::string server;
    std::string port = "389";
    std::string admin_dn;
    std::string subtree = "o=ztdata";
    std::string mech = "CRAM_MD5";
    std::string tls = "none";
    std::string cacert;
    std::string ustatus = kUserStatusFile;
    std::string dstatus = kDesktopStatusFile;
    bool password_stdin = false;
    bool force = false;
    bool quiet = false;
};

enum OptionId {
    kServer = 1,
    kPort,
    kAdminDn,
    kSubtree,
    kMech,
    kTls,
    kCacert,
    kUstatus,
    kDstatus,
    kStdin,
    kForce,
    kQuiet
};

constexpr option kOptions[] = {
    {"server", required_argument, nullptr, kServer},
    {"port", required_argument, nullptr, kPort},
    {"admin-dn", required_argument, nullptr, kAdminDn},
    {"subtree", required_argument, nullptr, kSubtree},
    {"mech", required_argument, nullptr, kMech},
    {"tls", required_argument, nullptr, kTls},
    {"cacert", required_argument, nullptr, kCacert},
    {"ustatus", required_argument, nullptr, kUstatus},
    {"dstatus", required_argument, nullptr, kDstatus},
    {"password-stdin", no_argument, nullptr, kStdin},
    {"force", no_argument, nullptr, kForce},
    {"quiet", no_argument, nullptr, kQuiet},
    {nullptr, 0, nullptr, 0},
};

std::string *text_option(InitOptions &o, int id) {
    switch (id) {
        case kServer: return &o.server;
        case kPort: return &o.port;
        case kAdminDn: return &o.admin_dn;
        case kSubtree: return &o.subtree;
        case kMech: return &o.mech;
        case kTls: return &o.tls;
        case kCacert: return &o.cacert;
        case kUstatus: return &o.ustatus;
        case kDstatus: return &o.dstatus;
        default: return nullptr;
    }
}

// `word` without an attached "=value" (which may be a secret).
std::string without_value(const std::string &word) { return word.substr(0, word.find('=')); }

// The option word getopt_long has just taken, as typed: the word before a
// separate value, without an attached value.
std::string option_word(char **argv) {
    return without_value(optarg != nullptr && optarg == argv[optind - 1] ? argv[optind - 2] : argv[optind - 1]);
}

// Reads the options; empty, or the usage error.  Options are taken only
// when typed in full: "--password" must not pass for --password-stdin.
std::string read_options(int argc, char **argv, InitOptions &o) {
    optind = 1;
    opterr = 0;
    int id, index = 0;
    while ((id = getopt_long(argc, argv, "+:", kOptions, &index)) != -1) {
        if (id == ':') return std::string("option ") + argv[optind - 1] + " needs a value";
        if (id == '?') return "unknown option " + without_value(argv[optind - 1]);
        if (option_word(argv) != std::string("--") + kOptions[index].name) return "unknown option " + option_word(argv);
        if (std::string *text = text_option(o, id)) *text = optarg;
        if (id == kStdin) o.password_stdin = true;
        if (id == kForce) o.force = true;
        if (id == kQuiet) o.quiet = true;
    }
    if (optind < argc) return "extra argument found";
    return {};
}

// A value goes into one "key=value" line that the reader trims: no control
// character may break the line, no blank at either end would survive.
std::string bad_value(const char *option, const std::string &value) {
    std::string name = std::string("--") + option;
    if (value.empty()) return name + " is empty";
    for (char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return name + " holds a control character";
    }
    if (value.front() == ' ' || value.back() == ' ') return name + " begins or ends with a blank";
    return {};
}

// Checks every value; empty, or the usage error.
std::string bad_options(const InitOptions &o) {
    if (o.server.empty()) return "--server is required";
    if (o.admin_dn.empty()) return "--admin-dn is required";
    const std::pair<const char *, const std::string *> texts[] = {
        {"server", &o.server}, {"port", &o.port}, {"admin-dn", &o.admin_dn}, {"subtree", &o.subtree},
        {"mech", &o.mech},     {"tls", &o.tls},   {"ustatus", &o.ustatus},   {"dstatus", &o.dstatus}};
    for (const auto &[name, value] : texts) {
        if (std::string bad = bad_value(name, *value); !bad.empty()) return bad;
    }
    if (!o.cacert.empty() && !bad_value("cacert", o.cacert).empty()) return bad_value("cacert", o.cacert);
    if (o.server.find_first_of(" \t") != std::string::npos) return "--server holds a blank";
    if (port_number(o.port) == 0) return "--port \"" + o.port + "\" is not a port number (1 to 65535)";
    if (!is_dn(o.subtree.c_str())) return "--subtree \"" + o.subtree + "\" is not a DN";
    if (o.mech != "CRAM_MD5" && o.mech != "SIMPLE") return "--mech must be CRAM_MD5 or SIMPLE";
    if (o.tls != "none" && o.tls != "starttls") return "--tls must be none or starttls";
    if (!o.cacert.empty() && o.tls != "starttls") return "--cacert needs --tls starttls";
    if (o.ustatus[0] != '/' || o.dstatus[0] != '/') return "--ustatus and --dstatus need absolute paths";
    return {};
}

// The configuration file's text; the status files by their places below
// $ZTADMIN_ROOT, since the library opens what the file names as it is.
std::string configuration_text(const InitOptions &o) {
    std::string text =
        "# Administration configuration, written by ztadmin init.\n"
        "# Every key is described in " ZT_INSTALL_PREFIX "/share/ztadmin/ztadmin.conf.example.\n";
    auto key = [&text](const char *name, const std::string &value) { text += std::string(name) + "=" + value + "\n"; };
    key("admin.server.name", o.server);
    key("admin.server.port", o.port);
    key("admin.user.name", o.admin_dn);
    key("admin.subtree", o.subtree);
    key("admin.dstatus.dbfile", zt::fixed_path(o.dstatus));
    key("admin.ustatus.dbfile", zt::fixed_path(o.ustatus));
    key("admin.server.authmech", o.mech);
    key("admin.server.tls", o.tls);
    if (!o.cacert.empty()) key("admin.server.tls.cacert", o.cacert);
    return text;
}

bool refuses_to_replace(const std::vector<std::string> &paths) {
    bool refused = false;
    for (const auto &path : paths) {
        if (!std::filesystem::exists(std::filesystem::symlink_status(path))) continue;
        std::fprintf(stderr, "ztadmin init: %s exists; --force replaces it\n", path.c_str());
        refused = true;
    }
    return refused;
}

// Writes the two files; false after a message.
bool write_files(const InitOptions &o, const std::string &config, const std::string &password_file,
                 const Secret &password) {
    for (const auto &path : {config, password_file}) {
        if (std::string failed = make_directories(std::filesystem::path(path).parent_path()); !failed.empty()) {
            std::fprintf(stderr, "ztadmin init: %s\n", failed.c_str());
            return false;
        }
    }
    zt::CString scrambled(scramble_text(password.text.c_str()));
    Secret line;  // built in place: no temporary copy is left behind unwiped
    line.text.reserve(password.text.size() + 1);
    line.text.append(scrambled.get()).push_back('\n');
    explicit_bzero(scrambled.get(), std::strlen(scrambled.get()));
    const std::pair<const std::string *, std::pair<std::string, mode_t>> files[] = {
        {&password_file, {line.text, kPasswordMode}}, {&config, {configuration_text(o), kConfigMode}}};
    for (const auto &[path, what] : files) {
        if (std::string failed = write_atomically(*path, what.first, what.second, o.force); !failed.empty()) {
            std::fprintf(stderr, "ztadmin init: %s: %s\n", path->c_str(), failed.c_str());
            return false;
        }
        if (!o.quiet) std::printf("wrote %s\n", path->c_str());
    }
    return true;
}

bool create_status_files(const InitOptions &o) {
    for (const auto &given : {o.ustatus, o.dstatus}) {
        std::string path = zt::fixed_path(given);
        bool created = false;
        std::string failed = make_directories(std::filesystem::path(path).parent_path());
        if (failed.empty()) failed = create_status_file(path, created);
        if (!failed.empty()) {
            std::fprintf(stderr, "ztadmin init: %s: %s\n", path.c_str(), failed.c_str());
            return false;
        }
        if (!o.quiet) std::printf("%s %s\n", created ? "created" : "kept", path.c_str());
    }
    return true;
}

}  // namespace

int command_init(int argc, char **argv) {
    InitOptions o;
    std::string error = read_options(argc, argv, o);
    if (error.empty()) error = bad_options(o);
    if (!error.empty()) return usage_error("init", error.c_str());

    std::string config = zt::fixed_path(zt::kConfigPath), password_file = zt::fixed_path(zt::kPasswordPath);
    if (!o.force && refuses_to_replace({config, password_file})) return kExitFailed;
    Secret password;
    if (!read_password(o.password_stdin, password, error)) {
        std::fprintf(stderr, "ztadmin init: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!write_files(o, config, password_file, password) || !create_status_files(o)) return kExitFailed;
    std::fflush(stdout);
    return run_check(o.quiet);
}

}  // namespace ztadmin
