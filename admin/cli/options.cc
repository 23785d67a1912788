// SPDX-License-Identifier: GPL-3.0-or-later
// options.cc - the option grammar of ztuser and the checks made before any
// connection is opened.
//
// Some options take positional words from the middle of the command line
// (-af FILE, -ai CUR NEW, -ei TOKEN KEYWORD, -tokenid VALUE, -xdisplay
// VALUE).  After taking them the argument vector is "re-based": it is
// replaced by the tail that starts at the last word taken, and getopt starts
// over at index 1 of it, so that word becomes element 0 and is never parsed.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line.h"
#include "ztuser.h"

namespace {

// '+' keeps getopt from permuting: scanning stops at the first word that is
// not an option, as POSIX getopt does.
constexpr const char *kOptionString = "+LGca:edf:ghi:ln:op:r:kx:t:";

constexpr const char *kExtraArgument = "Error: extra argument found\n";

// The word at `index` of the current vector, or absent.
const char *word_at(const CommandLine &cl, int index) {
    return index < cl.argc ? cl.argv[index] : nullptr;
}

void rebase(CommandLine &cl, int index) {
    cl.argv += index;
    cl.argc -= index;
    optind = 0;  // glibc: start over, at index 1 of the new vector
}

void select_mode(int new_mode) {
    if (!set_mode(new_mode)) usage_exit(1);
}

void read_add_argument(CommandLine &cl, const char *arg) {
    select_mode(MODE_ADD);
    if (std::strcmp(arg, "f") == 0) {
        cl.file_name = word_at(cl, optind);
        if (cl.file_name == nullptr) usage_exit(255);
        cl.file_flag = 1;
        rebase(cl, optind);
    } else if (std::strcmp(arg, "i") == 0) {
        cl.subject = word_at(cl, optind);
        cl.second_word = word_at(cl, optind + 1);
        if (cl.subject == nullptr || cl.second_word == nullptr) usage_exit(255);
        cl.id_flag = 1;
        rebase(cl, optind + 1);
    } else {
        cl.user_data = arg;
    }
}

void read_id_argument(CommandLine &cl, const char *arg) {
    cl.subject = arg;
    cl.id_flag = 1;
    if (mode == MODE_EDIT) {
        cl.second_word = word_at(cl, optind);
        if (cl.second_word == nullptr) usage_exit(255);
    }
    rebase(cl, optind);
}

// -xdisplay VALUE and -tokenid VALUE: getopt sees -x with "display" and -t
// with "okenid".
void read_kill_argument(CommandLine &cl, const char *arg, const char *expected, const char *kind) {
    if (std::strcmp(arg, expected) != 0) usage_exit(255);
    cl.kill_value = word_at(cl, optind);
    if (cl.kill_value == nullptr) usage_exit(255);
    cl.kill_kind = kind;
    rebase(cl, optind);
}

void read_help(const CommandLine &cl) {
    if (word_at(cl, optind) != nullptr) usage_exit(1, kExtraArgument);
    usage_exit(0);
}

void read_option(CommandLine &cl, int option) {
    switch (option) {
        case 'a': read_add_argument(cl, optarg); break;
        case 'e': select_mode(MODE_EDIT); break;
        case 'd': select_mode(MODE_DELETE); break;
        case 'l':
            select_mode(MODE_LIST);
            cl.list_style = LIST_STYLE_SHORT;
            break;
        case 'L':
            select_mode(MODE_LIST);
            cl.list_style = LIST_STYLE_LONG;
            break;
        case 'G':
            select_mode(MODE_LIST);
            std::fputs("Warning: this command is deprecated, use '-L -g'\n", stdout);
            cl.list_style = LIST_STYLE_LONG;
            cl.global_flag = 1;
            break;
        case 'p':
            select_mode(MODE_PROPERTIES);
            cl.props_token = optarg;
            break;
        case 'o': select_mode(MODE_DUMP); break;
        case 'r':
            if (mode == MODE_NONE) set_mode(MODE_READ_TOKEN);
            cl.reader_id = optarg;
            break;
        case 'k': select_mode(MODE_KILL); break;
        case 'i': read_id_argument(cl, optarg); break;
        case 'n':
            cl.name_flag = 1;
            cl.subject = optarg;
            break;
        case 'f':
            cl.file_name = optarg;
            cl.file_flag = 1;
            break;
        case 'c': cl.current_flag = 1; break;
        case 'g': cl.global_flag = 1; break;
        case 'x': read_kill_argument(cl, optarg, "display", "-xdisplay"); break;
        case 't': read_kill_argument(cl, optarg, "okenid", "-tokenid"); break;
        case 'h': read_help(cl); break;
        default: usage_exit(1);  // getopt has printed its own diagnostic
    }
}

void check_options(const CommandLine &cl) {
    int current_or_global = cl.current_flag + cl.global_flag;
    if (current_or_global == 0 && mode == MODE_LIST && cl.words_left() > 0) usage_exit(1, kExtraArgument);
    if (current_or_global == 1) {
        if (mode != MODE_LIST) usage_exit(1);
        if (cl.words_left() > 0) usage_exit(1, kExtraArgument);
    }
    if (current_or_global == 2) usage_exit(1);
    if (cl.id_flag + cl.file_flag + cl.name_flag + cl.current_flag + cl.global_flag > 1) usage_exit(1);
    if (cl.global_flag && cl.list_style != LIST_STYLE_LONG) usage_exit(1);
    // A single-add description followed by -i would reach the token add
    // without a new token ID.
    if (mode == MODE_ADD && cl.id_flag && cl.second_word == nullptr) usage_exit(1);
}

}  // namespace

int mode = MODE_NONE;

int set_mode(int new_mode) {
    if (mode != MODE_NONE) return 0;
    mode = new_mode;
    return 1;
}

int CommandLine::words_left() const { return optind < argc ? argc - optind : 0; }

const char *CommandLine::first_word_left() const { return word_at(*this, optind); }

void usage_exit(int status, const char *message) {
    if (message != nullptr) std::fputs(message, stderr);
    usage();
    std::exit(status);
}

CommandLine read_options(int argc, char **argv, int access_level) {
    CommandLine cl;
    cl.argc = argc;
    cl.argv = argv;
    cl.access_level = access_level;
    optind = 0;
    int option;
    while ((option = getopt(cl.argc, cl.argv, kOptionString)) != -1) read_option(cl, option);
    check_options(cl);
    return cl;
}
