/* SPDX-License-Identifier: GPL-3.0-or-later */
// commands.h - the commands of ztadmin and their usage text.
#ifndef ZTADMIN_COMMANDS_H
#define ZTADMIN_COMMANDS_H

#include <cstdio>

namespace ztadmin {

// Each takes the words from the command's name on and returns the exit
// status.
int command_check(int argc, char **argv);
int command_init(int argc, char **argv);

// Writes the usage text to `out`.
void usage(FILE *out);

// Writes "ztadmin COMMAND: MESSAGE" and the usage text to standard error;
// returns the usage exit status.
int usage_error(const char *command, const char *message);

}  // namespace ztadmin

#endif  // ZTADMIN_COMMANDS_H
