/* SPDX-License-Identifier: GPL-3.0-or-later */
// install_support.h - what the tests of the installed package share: the staged install of this build, a C program
// built against it with nothing but pkg-config's flags, and a German locale of our own.
#ifndef ZT_TESTS_INSTALL_SUPPORT_H
#define ZT_TESTS_INSTALL_SUPPORT_H

#include "test_support.h"

namespace zt::test {

// The tree `cmake --install` staged with DESTDIR (the install_stage fixture).
inline std::string stage_dir() { return build_path("stage"); }
inline std::string staged(const std::string &relative) {
    return stage_dir() + ZT_INSTALL_PREFIX + "/" + relative;
}

// A shell command line run with `args` as $1, $2, ...
inline RunResult shell(const std::string &script, const std::vector<std::string> &args = {},
                       const RunOptions &options = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options);
}

// Prints, one a line: the text of the status given as its argument, the
// privilege message, and the package root of "KRVXzta" (or "(none)").
inline constexpr const char *kCatalogueProgram = R"c(#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <ztadmin/admin.h>
#include <ztadmin/utils.h>
#include <ztadmin/zterrno.h>

int main(int argc, char **argv) {
    char *root;
    if (argc != 2) return 2;
    setlocale(LC_ALL, "");
    zt_err2str_init();
    root = get_package_root("KRVXzta");
    printf("%s\n%s\n%s\n", zt_err2str(atoi(argv[1])), zt_errNotPrivileged(), root ? root : "(none)");
    free(root);
    return 0;
}
)c";

// Builds kCatalogueProgram in `dir` as C99 with the flags pkg-config gives
// for the staged libztadmin.pc; returns the program's path.
inline std::string build_catalogue_program(const TempDir &dir) {
    std::string source = dir.write("program.c", kCatalogueProgram);
    RunResult cc = shell(
        "flags=$(PKG_CONFIG_PATH=\"$1\" pkg-config --define-prefix --cflags --libs libztadmin) || exit 1; "
        "exec cc -std=c99 -Wall -Wextra -Werror -pedantic " ZT_EXTRA_CFLAGS " -o \"$2\" \"$3\" $flags",
        {staged("lib/pkgconfig"), dir.path() + "/program", source});
    EXPECT_EQ(cc.status, 0) << cc.err;
    return dir.path() + "/program";
}

// Options that run a program in the locale `lang`.  de_DE.UTF-8 comes from a directory of our own (LOCPATH), compiled
// once per process, so that no locale need be installed system-wide.  glibc never frees the search list it builds from
// LOCPATH; LeakSanitizer is told so.
inline RunOptions in_locale(const std::string &lang) {
    static TempDir dir;
    static const bool made =
        shell("localedef -i de_DE -f UTF-8 \"$1/de_DE.UTF-8\" && echo leak:__argz_add_sep > \"$1/lsan.supp\"",
              {dir.path()})
            .status == 0;
    EXPECT_TRUE(made) << "localedef could not make de_DE.UTF-8";
    RunOptions options;
    options.env = {{"LANG", lang},
                   {"LOCPATH", dir.path()},
                   {"LSAN_OPTIONS", "print_suppressions=0:suppressions=" + dir.path() + "/lsan.supp"}};
    options.unset_env = {"LC_ALL", "LC_MESSAGES", "LANGUAGE"};
    return options;
}

}  // namespace zt::test

#endif  // ZT_TESTS_INSTALL_SUPPORT_H
