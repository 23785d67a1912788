/* SPDX-License-Identifier: GPL-3.0-or-later */
// command_line.h - what the options of one ztuser run say.
#ifndef ZTUSER_COMMAND_LINE_H
#define ZTUSER_COMMAND_LINE_H

#include <string>

// Filled by read_options(); strings point into the argument vector.
struct CommandLine {
    int argc = 0;          // the (possibly re-based) argument vector
    char **argv = nullptr;
    int access_level = 1;  // 3 for the super-user, else 1

    int id_flag = 0;
    int file_flag = 0;
    int name_flag = 0;
    int current_flag = 0;
    int global_flag = 0;

    const char *user_data = nullptr;
    const char *file_name = nullptr;
    const char *reader_id = nullptr;
    const char *props_token = nullptr;
    const char *subject = nullptr;
    const char *second_word = nullptr;
    std::string kill_kind;  // "-tokenid" or "-xdisplay"; empty when absent
    const char *kill_value = nullptr;
    int list_style = 0;

    // Words left after the options.
    int words_left() const;
    // The first word left after the options (absent when none).
    const char *first_word_left() const;
};

// Reads the options and applies the checks that come before the connection.
// Exits the process (statuses 0, 1 and 255) when they say so.
CommandLine read_options(int argc, char **argv, int access_level);

// Writes the usage text (after `message`, when given) and exits.
[[noreturn]] void usage_exit(int status, const char *message = nullptr);

#endif  // ZTUSER_COMMAND_LINE_H
