// SPDX-License-Identifier: GPL-3.0-or-later
// main.cc - ztadmin: the administrator's set-up tool.  The first word names
// the command, found in a table; each command reads its own options.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "ztadmin.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);  // argv[0] is the command's name
};

constexpr Command kCommands[] = {
    {"check", ztadmin::command_check},
    {"init", ztadmin::command_init},
};

bool asks_for_help(const char *word) {
    return std::strcmp(word, "-h") == 0 || std::strcmp(word, "--help") == 0 || std::strcmp(word, "help") == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        ztadmin::usage(stderr);
        return ztadmin::kExitUsage;
    }
    if (asks_for_help(argv[1])) {
        ztadmin::usage(stdout);
        return ztadmin::kExitOk;
    }
    for (const Command &command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "ztadmin: unknown command '%s'\n", argv[1]);
    ztadmin::usage(stderr);
    return ztadmin::kExitUsage;
}
