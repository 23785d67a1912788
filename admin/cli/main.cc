// SPDX-License-Identifier: GPL-3.0-or-later
// main.cc - ztuser: read the options, connect, run exactly one mode.
#include <langinfo.h>
#include <libintl.h>
#include <sys/random.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "command_line.h"
#include "owned.h"
#include "ztuser.h"

namespace {

using ModeHandler = int (*)(AdminConfig *connection, const CommandLine &cl);

[[noreturn]] void fail(AdminConfig *connection) {
    close_connection(connection);
    std::exit(255);
}

[[noreturn]] void usage_fail(AdminConfig *connection) {
    usage();
    fail(connection);
}

// Adding, editing and deleting need the super-user.  The message has no
// line end.
void require_super_user(AdminConfig *connection, const CommandLine &cl) {
    if (cl.access_level == 3) return;
    std::fputs("You must be root to perform this operation", stderr);
    fail(connection);
}

int add_single_user(AdminConfig *connection, const CommandLine &cl) {
    cli::Args fields(parse_args(cl.user_data, ','));
    char **f = fields.get();
    int n = count_args(f);
    if (n < 4) usage_fail(connection);
    int token_count;
    if (validate_port(std::atoi(f[n - 3]), get_server_name(connection)) == 0) {
        token_count = n - 4;
    } else if (validate_port(std::atoi(f[n - 2]), get_server_name(connection)) == 0) {
        token_count = n - 3;
    } else {
        std::fputs("Invalid Port specification\n", stderr);
        fail(connection);
    }
    RawTokenIdNode *list = nullptr;
    for (int i = 0; i < token_count; ++i) add_to_raw_token_id_list(&list, f[i]);
    cli::RawTokenList tokens(list);
    if (token_count == 0) {
        std::fputs("Invalid input data - missing either token ID or server name.\n", stderr);
        usage_fail(connection);
    }
    const int k = token_count;
    return add_cl_user(connection, tokens.get(), f[k], f[k + 1], f[k + 2], f[k + 3], cl.reader_id);
}

int run_add(AdminConfig *connection, const CommandLine &cl) {
    require_super_user(connection, cl);
    if (cl.file_flag) return add_user_batch(connection, cl.file_name, cl.reader_id);
    if (cl.id_flag) return add_id_to_user(connection, cl.subject, cl.second_word, cl.reader_id, 0);
    return add_single_user(connection, cl);
}

int edit_single_user(AdminConfig *connection, const CommandLine &cl) {
    if (cl.words_left() != 1) {
        close_connection(connection);
        usage_exit(1);
    }
    cli::Args fields(parse_args(cl.first_word_left(), ','));
    char **f = fields.get();
    int n = count_args(f);
    if (n != 4 && n != 5) {
        close_connection(connection);
        usage();
        std::exit(255);
    }
    return edit_cl_user(connection, f[0], f[1], f[2], f[3], f[4]);
}

int toggle_token(AdminConfig *connection, const CommandLine &cl) {
    if (cl.second_word == nullptr) usage_fail(connection);
    if (std::strcmp(cl.second_word, "enable") != 0 && std::strcmp(cl.second_word, "disable") != 0) {
        std::fprintf(stderr, "%s: Please specify 'enable' or'disable'.\n", cl.second_word);
        close_connection(connection);
        usage();
        std::exit(255);
    }
    return toggle_token_state(connection, cl.subject, cl.second_word);
}

int run_edit(AdminConfig *connection, const CommandLine &cl) {
    require_super_user(connection, cl);
    if (cl.file_flag) return edit_user_batch(connection, cl.file_name);
    if (cl.id_flag) return toggle_token(connection, cl);
    return edit_single_user(connection, cl);
}

int run_delete(AdminConfig *connection, const CommandLine &cl) {
    require_super_user(connection, cl);
    if (cl.file_flag) return delete_user_batch(connection, cl.file_name);
    if (cl.id_flag) return delete_id_from_user(connection, cl.subject);
    if (cl.words_left() != 1) usage_fail(connection);
    cli::Args fields(parse_args(cl.first_word_left(), ','));
    return delete_cl_user(connection, fields.get()[0]);
}

int run_read_token(AdminConfig *connection, const CommandLine &cl) {
    std::free(get_token_id(connection, cl.reader_id, nullptr));
    return 0;
}

int run_list(AdminConfig *connection, const CommandLine &cl) {
    int sub_mode = LIST_ALL;
    if (cl.current_flag) sub_mode = LIST_CURRENT;
    if (cl.name_flag) sub_mode = LIST_BY_NAME;
    if (cl.id_flag) sub_mode = LIST_BY_ID;
    if (cl.global_flag) sub_mode = LIST_GLOBAL;
    return parse_list_options(connection, cl.list_style, sub_mode, cl.subject);
}

int run_properties(AdminConfig *connection, const CommandLine &cl) {
    return show_user_props(connection, cl.props_token);
}

int run_kill(AdminConfig *connection, const CommandLine &cl) {
    std::fputs("*** Deprecated ***\n'ztuser -k' has been deprecated. Please use the 'ztsession -k' command to "
               "kill sessions.\n\n",
               stderr);
    if (cl.access_level != 3) {
        std::fputs("You must be root to perform this operation\n", stderr);
        fail(connection);
    }
    if (cl.kill_kind.empty() || cl.kill_value == nullptr) usage_fail(connection);
    return kill_user_session(connection, safe_strdup(cl.kill_kind.c_str()), cl.kill_value);
}

int run_dump(AdminConfig *connection, const CommandLine &cl) {
    if (cl.words_left() > 0) {
        close_connection(connection);
        usage_exit(1, "Error: extra argument found\n");
    }
    return list_users_by_id(connection, nullptr, FORMAT_CSV);
}

struct ModeEntry {
    int mode;
    ModeHandler run;
};

// A mode not listed here (MODE_NONE among them) gets the usage text and
// status 255.
constexpr ModeEntry kModes[] = {
    {MODE_ADD, run_add},
    {MODE_EDIT, run_edit},
    {MODE_DELETE, run_delete},
    {MODE_READ_TOKEN, run_read_token},
    {MODE_LIST, run_list},
    {MODE_PROPERTIES, run_properties},
    {MODE_KILL, run_kill},
    {MODE_DUMP, run_dump},
};

ModeHandler handler_for(int selected) {
    for (const ModeEntry &entry : kModes) {
        if (entry.mode == selected) return entry.run;
    }
    return nullptr;
}

int caller_access_level() { return getuid() == 0 && geteuid() == 0 ? 3 : 1; }

// Status texts come in the caller's language and character set.  Only the
// language is taken from the environment, once the options are read (the
// option parser's diagnostics stay English like the command's own):
// character classes, case folding and formats stay those of the "C" locale,
// so host names compare and listings print alike for every administrator.
void use_callers_language() {
    std::setlocale(LC_MESSAGES, "");
    if (locale_t callers = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
        bind_textdomain_codeset("zt_libztadmin", nl_langinfo_l(CODESET, callers));
        freelocale(callers);
    }
    zt_err2str_init();
}

// New user IDs take four digits from random(), which the library leaves
// unseeded: every run would draw the same numbers, and the seventh add
// within one second would run out of tries.  The seed comes from the
// kernel's random source; should that fail, time and process ID still
// set runs apart.
void seed_user_id_generator() {
    unsigned int seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        seed = static_cast<unsigned int>(now.tv_nsec) ^ static_cast<unsigned int>(now.tv_sec) ^
               (static_cast<unsigned int>(getpid()) << 16);
    }
    srandom(seed);
}

}  // namespace

int parse_list_options(AdminConfig *connection, int list_style, int sub_mode, const char *substring) {
    int format = list_style == LIST_STYLE_LONG ? FORMAT_LONG : FORMAT_SHORT;
    int status;
    switch (sub_mode) {
        case LIST_ALL: status = list_users_by_id(connection, nullptr, format); break;
        case LIST_BY_ID: status = list_users_by_id(connection, substring, format); break;
        case LIST_BY_NAME: status = list_users_by_name(connection, substring, format); break;
        case LIST_CURRENT: status = list_current_users(connection, format); break;
        case LIST_GLOBAL:
            status = list_current_users(connection, LIST_GLOBAL);
            if (status == -1) fail(connection);
            break;
        default: return -1;
    }
    return status == -1 ? -1 : 0;
}

int validate_port(int port, const char * /*server_name*/) { return port < 1 ? -1 : 0; }

int main(int argc, char **argv) {
    CommandLine cl = read_options(argc, argv, caller_access_level());
    use_callers_language();
    seed_user_id_generator();

    AdminStatus status = ADMIN_SUCCESS;
    AdminConfig *connection = open_connection(cl.access_level, nullptr, nullptr, nullptr, &status);
    if (connection == nullptr) {
        std::fputs("Error: could not connect to admin server\n", stderr);
        return 255;
    }

    ModeHandler run = handler_for(mode);
    if (run == nullptr) usage_fail(connection);
    if (run(connection, cl) != 0) fail(connection);
    close_connection(connection);
    return 0;
}
