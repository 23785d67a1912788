// package_test.cc - the staged install and the Debian package: which files, whether the programs find their library,
// whether a C tool builds from pkg-config alone, and the manual page, completion and catalogue in them.
#include <regex>
#include <sstream>

#include "install_support.h"

namespace zt::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The package's files (not directories) as paths relative to the root.
std::vector<std::string> expected_files() {
    std::string prefix = std::string(ZT_INSTALL_PREFIX).substr(1) + "/";
    std::vector<std::string> files;
    for (const auto &line : lines_of(read_file(source_path("tests/install/files.txt")))) files.push_back(prefix + line);
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> files_under(const std::string &root) {
    std::vector<std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) files.push_back(entry.path().lexically_relative(root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every program must load libztadmin through a RUNPATH relative to itself
// (the runs from an unpacked package and a bare server prove it works).
TEST(StagedInstall, HoldsExactlyThePackageFilesAndNothingElsewhere) {
    EXPECT_EQ(files_under(stage_dir()), expected_files());
    EXPECT_EQ(fs::read_symlink(staged("lib/libztadmin.so")), "libztadmin.so.1");
    auto dynamic = [](const std::string &file) { return shell("readelf -d \"$1\"", {staged(file)}).out; };
    EXPECT_NE(dynamic("lib/libztadmin.so.1").find("soname: [libztadmin.so.1]"), std::string::npos);
    for (const auto &[program, runpath] : {std::pair{"bin/ztuser", "[$ORIGIN/../lib]"},
                                           std::pair{"bin/ztadmin", "[$ORIGIN/../lib]"},
                                           std::pair{"lib/pkginfo", "[$ORIGIN]"},
                                           std::pair{"lib/ztsessionkill", "[$ORIGIN]"}}) {
        EXPECT_NE(dynamic(program).find("(RUNPATH)            Library runpath: " + std::string(runpath)),
                  std::string::npos) << program;
    }
}

TEST(StagedInstall, CProgramBuiltFromPkgConfigAloneUsesTheCatalogue) {
    TempDir dir;
    std::string program = build_catalogue_program(dir);
    for (const auto &[lang, out] :
         {std::pair{"C", "Object not found\nAdministrator privilege is required to perform this activity\n"},
          std::pair{"de_DE.UTF-8", "Objekt nicht gefunden\nF\u00fcr diesen Vorgang sind Administratorrechte "
                                   "erforderlich\n"}}) {
        RunOptions options = in_locale(lang);
        options.env["ZTADMIN_ROOT"] = stage_dir();
        options.env["LD_LIBRARY_PATH"] = staged("lib");
        RunResult r = run({program, "-4"}, options);
        // No package register under the stage root: the package root is unknown.
        EXPECT_EQ(r.out, std::string(out) + "(none)\n") << lang << "\n" << r.err;
    }
}

// Every option a usage text names ("-k <-tokenid|-xdisplay> ..." names three) is described in the manual page, under
// OPTIONS (ztuser) or COMMANDS and OPTIONS (ztadmin).
TEST(StagedInstall, ManualPagesRenderCleanlyAndDocumentEveryOption) {
    const struct { std::string page, title, usage, from; } pages[] = {
        {"share/man/man1/ztuser.1", "ZTUSER(1)", read_file(source_path("tests/e2e/golden/usage.txt")), "\nOPTIONS\n"},
        {"share/man/man8/ztadmin.8", "ZTADMIN(8)", run({staged("bin/ztadmin"), "-h"}).out, "\nCOMMANDS\n"},
    };
    for (const auto &p : pages) {
        std::string page = staged(p.page);
        RunResult lint = shell("groff -man -ww -z \"$1\"", {page});
        EXPECT_EQ(lint.status, 0);
        EXPECT_EQ(lint.err, "") << p.page;
        RunResult man = shell("MANWIDTH=80 man -l \"$1\"", {page});
        EXPECT_EQ(man.status, 0) << man.err;
        EXPECT_NE(man.out.find(p.title), std::string::npos);

        std::string text = shell("groff -man -Tascii -P-cbou \"$1\"", {page}).out;
        size_t from = text.find(p.from), to = text.find("\nEXIT STATUS\n");
        ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << text;
        std::string described = text.substr(from, to - from);
        const std::regex option(R"((?:^|[^\w-])(--?\w[\w-]*))");
        ASSERT_FALSE(p.usage.empty()) << p.page;
        for (const auto &line : lines_of(p.usage)) {
            if (line.starts_with("      - ") || line == "usage:") continue;
            for (std::sregex_iterator m(line.begin(), line.end(), option), end; m != end; ++m)
                EXPECT_TRUE(std::regex_search(described, std::regex(" " + (*m)[1].str() + "\\b"))) << (*m)[1];
        }
    }
}

TEST(StagedInstall, BashCompletionOffersCommandsKindsFilesAndKeywords) {
    TempDir dir;
    for (const char *name : {"users.csv", "users2.csv", "other"}) dir.write(name, "");
    const std::string script =
        "source \"$1\"; cd \"$2\"; shift 2; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _ztuser; "
        "for w in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$w\"; done | sort";
    struct Case { Strings words; const char *offered; };
    for (const Case &c : {Case{{"ztuser", "-l"}, "-l\n-lc\n-li\n-ln\n"}, Case{{"ztuser", "-e"}, "-e\n-ef\n-ei\n"},
                          Case{{"ztuser", "-af", "us"}, "users.csv\nusers2.csv\n"},
                          Case{{"ztuser", "-a", "f", "o"}, "other\n"}, Case{{"ztuser", "-k", "-"}, "-tokenid\n-xdisplay\n"},
                          Case{{"ztuser", "-ei", "card.1", "d"}, "disable\n"}, Case{{"ztuser", "-L", "-"}, "-g\n"},
                          Case{{"ztuser", "-p", ""}, ""}}) {
        std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash",
                                         staged("share/bash-completion/completions/ztuser"), dir.path()};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        RunResult r = run(argv);
        EXPECT_EQ(r.out, c.offered) << c.words.back() << "\n" << r.err;
    }
}

TEST(DebianPackage, HoldsTheInstallNamesItsLibrariesAndRunsUnpacked) {
    TempDir dir;
    RunResult pack = shell("cd \"$1\" && cpack -G DEB --config \"$2\" -B \"$1\" > /dev/null && ls \"$1\"/*.deb",
                           {dir.path(), build_path("CPackConfig.cmake")});
    ASSERT_EQ(pack.status, 0) << pack.err;
    std::string deb = lines_of(pack.out).at(0);

    std::vector<std::string> files;
    for (const auto &line : lines_of(shell("dpkg-deb -c \"$1\"", {deb}).out)) {
        if (line[0] == 'd') continue;
        std::string path = line.substr(line.find("./") + 2);
        files.push_back(path.substr(0, path.find(" -> ")));
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected_files());

    std::string depends = shell("dpkg-deb -f \"$1\" Depends", {deb}).out;
    for (const char *library : {"libldap-", "libsasl2-2", "libsasl2-modules", "libgdbm"})
        EXPECT_NE(depends.find(library), std::string::npos) << depends;

    ASSERT_EQ(shell("dpkg-deb -x \"$1\" \"$2\"", {deb, dir.path() + "/root"}).status, 0);
    RunOptions options;
    options.unset_env = {"LD_LIBRARY_PATH"};
    RunResult help = run({dir.path() + "/root" + ZT_INSTALL_PREFIX + "/bin/ztuser", "-h"}, options);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, read_file(source_path("tests/e2e/golden/usage.txt")));
}

}  // namespace
}  // namespace zt::test
