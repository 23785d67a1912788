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

// The programs carry the library's objects themselves: one that also
// loaded libztadmin.so.1 would hold the library's process-wide state twice.
TEST(StagedInstall, HoldsExactlyThePackageFilesAndNothingElsewhere) {
    EXPECT_EQ(files_under(stage_dir()), expected_files());
    EXPECT_EQ(fs::read_symlink(staged("lib/libztadmin.so")), "libztadmin.so.1");
    auto dynamic = [](const std::string &file) { return shell("readelf -d \"$1\"", {file}).out; };
    EXPECT_NE(dynamic(staged("lib/libztadmin.so.1")).find("soname: [libztadmin.so.1]"), std::string::npos);
    int programs = 0;
    for (const auto &entry : fs::recursive_directory_iterator(stage_dir())) {
        bool program = entry.is_regular_file() && entry.path().string().find(".so") == std::string::npos &&
                       (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
        if (!program) continue;
        ++programs;
        EXPECT_EQ(dynamic(entry.path()).find("libztadmin"), std::string::npos) << entry.path();
    }
    EXPECT_GE(programs, 5);
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

// Every option a usage line names ("-k <-tokenid|-xdisplay> ..." names three) is described under OPTIONS.
TEST(StagedInstall, ManualPageRendersCleanlyAndDocumentsEveryOption) {
    std::string page = staged("share/man/man1/ztuser.1");
    RunResult lint = shell("groff -man -ww -z \"$1\"", {page});
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.err, "");
    RunResult man = shell("MANWIDTH=80 man -l \"$1\"", {page});
    EXPECT_EQ(man.status, 0) << man.err;
    EXPECT_NE(man.out.find("ZTUSER(1)"), std::string::npos);

    std::string text = shell("groff -man -Tascii -P-cbou \"$1\"", {page}).out;
    size_t from = text.find("\nOPTIONS\n"), to = text.find("\nEXIT STATUS\n");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << text;
    std::string described = text.substr(from, to - from);
    const std::regex option(R"((?:^|[^\w-])(-\w+))");
    for (const auto &line : lines_of(read_file(source_path("tests/e2e/golden/usage.txt")))) {
        if (!line.starts_with("   ztuser ")) continue;
        for (std::sregex_iterator m(line.begin(), line.end(), option), end; m != end; ++m)
            EXPECT_TRUE(std::regex_search(described, std::regex(" " + (*m)[1].str() + "\\b"))) << (*m)[1];
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
