// SPDX-License-Identifier: GPL-3.0-or-later
// package_test.cc - the staged install and the Debian packages: which files, whether a C tool builds from pkg-config
// alone and finds the library, the manual page, completion and catalogue in them; lintian, hardening, and the
// packages' install, upgrade and purge.
#include <fstream>
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
        options.unset_env.push_back("LD_LIBRARY_PATH");  // the run path from pkg-config finds the library
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

// ------------------------------------------------------------ Debian packages

// The packages the debian_packages fixture built with the README's command.
const char *const kPackages[] = {"libztadmin1", "libztadmin-dev", "ztadmin"};
std::string deb_dir() { return build_path("debian-packages"); }
std::string built_file(const std::string &name) {
    static const std::string arch = lines_of(shell("dpkg --print-architecture").out).at(0);
    return deb_dir() + "/" + name + "_1.0-1_" + arch;
}
std::string deb_of(const std::string &package) { return built_file(package) + ".deb"; }

std::vector<std::string> files_in(const std::string &deb) {
    std::vector<std::string> files;
    for (const auto &line : lines_of(shell("dpkg-deb -c \"$1\"", {deb}).out)) {
        if (line[0] == 'd') continue;
        std::string path = line.substr(line.find("./") + 2);
        files.push_back(path.substr(0, path.find(" -> ")));
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Where each file of the install goes, as Debian's library policy splits
// them: the runtime library with what it loads and runs, what a tool is
// built with, and the command with its documents.  First match wins.
std::string package_of(const std::string &file) {
    static const std::pair<std::regex, const char *> kRules[] = {
        {std::regex("include/.*|lib/libztadmin\\.so|lib/pkgconfig/.*"), "libztadmin-dev"},
        {std::regex("share/ztadmin/pkg/.*"), "libztadmin1"},
        {std::regex("(bin|share)/.*"), "ztadmin"},
        {std::regex(".*"), "libztadmin1"}};
    for (const auto &[rule, package] : kRules)
        if (std::regex_match(file, rule)) return package;
    return "";
}

// The files of `package`: its share of the install (manual pages
// compressed, the completion where bash-completion looks), its documents
// and its lintian overrides.
std::vector<std::string> expected_package_files(const std::string &package) {
    std::vector<std::string> files = {"usr/share/doc/" + package + "/changelog.Debian.gz",
                                      "usr/share/doc/" + package + "/copyright",
                                      "usr/share/lintian/overrides/" + package};
    if (package == "ztadmin")
        files.insert(files.end(), {"usr/share/doc/ztadmin/README.md.gz", "usr/share/doc/ztadmin/decisions.md.gz"});
    const std::string completions = "share/bash-completion/completions/";
    for (const auto &file : lines_of(read_file(source_path("tests/install/files.txt")))) {
        if (package_of(file) != package) continue;
        if (file.starts_with(completions))
            files.push_back("usr/" + file);
        else
            files.push_back(std::string(ZT_INSTALL_PREFIX).substr(1) + "/" + file +
                            (file.starts_with("share/man/") ? ".gz" : ""));
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(DebianPackages, SplitTheInstallAsTheLibraryPolicyAsks) {
    for (const char *package : kPackages)
        EXPECT_EQ(files_in(deb_of(package)), expected_package_files(package)) << package;
    auto depends = [](const char *package) { return shell("dpkg-deb -f \"$1\" Depends", {deb_of(package)}).out; };
    for (const auto &[package, needs] :
         {std::pair{"libztadmin1", "libsasl2-modules"}, std::pair{"libztadmin1", "libldap-"},
          std::pair{"libztadmin1", "libgdbm-compat"}, std::pair{"libztadmin-dev", "libztadmin1 (= 1.0-1)"},
          std::pair{"libztadmin-dev", "libldap-dev"}, std::pair{"libztadmin-dev", "libgdbm-compat-dev"},
          std::pair{"ztadmin", "libztadmin1 (= 1.0-1)"}})
        EXPECT_NE(depends(package).find(needs), std::string::npos) << package << " lacks " << needs;
}

TEST(DebianPackages, LintianReportsNothingButTheOverriddenOptTags) {
    RunResult lintian = shell("lintian --pedantic \"$@\"", {built_file("ztadmin") + ".changes", deb_of("libztadmin1"),
                                                             deb_of("libztadmin-dev"), deb_of("ztadmin")});
    EXPECT_EQ(lintian.out, "");
    EXPECT_EQ(lintian.status, 0) << lintian.err;
}

// BIND_NOW, RELRO, PIE, stack protector and the fortified functions, in
// every program and the library.  (Control-flow protection needs start
// files built with it, which Debian 12 lacks.)
TEST(DebianPackages, ProgramsAndLibraryAreHardened) {
    TempDir dir;
    for (const char *package : {"libztadmin1", "ztadmin"})
        ASSERT_EQ(shell("dpkg-deb -x \"$1\" \"$2\"", {deb_of(package), dir.path()}).status, 0);
    RunResult check = shell("find \"$1/opt\" -type f \\( -perm -u+x -o -name '*.so.*' \\) | sort | "
                            "xargs hardening-check --nocfprotection",
                            {dir.path()});
    EXPECT_EQ(check.status, 0) << check.out;
    for (const char *file : {"/bin/ztuser:", "/lib/libztadmin.so.1:"})
        EXPECT_NE(check.out.find(file), std::string::npos) << check.out;
}

// The machine's root file system seen through an overlay whose upper layer
// is a directory of our own, entered in a mount namespace of its own for
// each command: everything dpkg and the packages' scripts write lands in
// that layer, and the machine's /opt, /etc and /var stay as they are.
class PrivateRoot {
public:
    PrivateRoot() {
        for (const char *dir : {"upper", "work", "root", "mnt"}) fs::create_directory(dir_.path() + "/" + dir);
    }

    // A directory that the commands see as /mnt.
    std::string mnt() const { return dir_.path() + "/mnt"; }

    // Runs `script` with /bin/sh in the private root, on a fresh /tmp.
    RunResult run(const std::string &script) const {
        return shell(
            "unshare --mount --propagation private sh -c '"
            "r=$1/root; mount -t overlay overlay -o lowerdir=/,upperdir=$1/upper,workdir=$1/work $r && "
            "mount --rbind /dev $r/dev && mount -t proc proc $r/proc && mount -t tmpfs tmpfs $r/tmp && "
            "mount --bind $1/mnt $r/mnt || exit 99; "
            "exec chroot $r env -i PATH=/opt/KRVXzt/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C sh -c \"$2\"' sh \"$@\"",
            {dir_.path(), script});
    }

    // A file as the private root holds it ("" when it is not there).
    std::string file(const std::string &path) const {
        std::string upper = dir_.path() + "/upper" + path;
        return fs::exists(upper) ? read_file(upper) : "";
    }

    // What the private root holds beyond the machine's: new paths, and
    // "removed PATH" for what it took away.  dpkg's own records and log,
    // and the directories the machine has too, are left out.
    std::vector<std::string> changes() const {
        std::string upper = dir_.path() + "/upper";
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(upper); it != fs::recursive_directory_iterator(); ++it) {
            std::string path = "/" + it->path().lexically_relative(upper).string();
            if (path == "/var/lib/dpkg" || path == "/var/log/dpkg.log") {
                it.disable_recursion_pending();
                continue;
            }
            if (it->is_character_file())
                found.push_back("removed " + path);  // an overlay whiteout
            else if (!it->is_directory() || !fs::is_directory(path))
                found.push_back(path);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    TempDir dir_;
};

// Copies the packages into `dir` as VERSION/NAME.deb, as built (1.0-1) or
// with only the version in their control files changed, so that dpkg
// upgrades between them.
void place_packages(const std::string &dir, const std::string &version) {
    fs::create_directories(dir + "/" + version);
    for (const char *package : kPackages) {
        RunResult placed = shell(
            "set -e; w=$(mktemp -d); trap 'rm -rf \"$w\"' EXIT; cd \"$w\"; ar x \"$1\"; mkdir c; "
            "tar -xf control.tar.xz -C c; sed -i \"s/1\\.0-1/$2/\" c/control; "
            "tar -C c --owner=0 --group=0 -cJf control.tar.xz .; "
            "ar rcD \"$3\" debian-binary control.tar.xz data.tar.xz",
            {deb_of(package), version, dir + "/" + version + "/" + package + ".deb"});
        ASSERT_EQ(placed.status, 0) << placed.err;
    }
}

// Lists the records of both status databases and, given an ID, stores a
// user's record under it and lists them again: the library reads and
// writes the files the package made.
constexpr const char *kStatusProgram = R"c(#include <stdio.h>
#include <ztadmin/admin.h>

static void list(void) {
    DBM *users = open_user_dbm("/var/opt/KRVXzt/ustatus", 1);
    DBM *desktops = open_desktop_dbm("/var/opt/KRVXzt/dstatus", 1);
    UserList *u = users ? get_all_dbm_users(users) : NULL;
    DesktopList *d = desktops ? get_all_dbm_desktops(desktops) : NULL;
    printf("%s %s users:%s\n", users ? "open" : "-", desktops ? "open" : "-", u ? u->user->id : "");
    free_UserList(&u);
    free_DesktopList(&d);
    if (users) close_user_dbm(users);
    if (desktops) close_desktop_dbm(desktops);
}

int main(int argc, char **argv) {
    list();
    if (argc == 2) {
        DbmUser user = {argv[1], "Ada Lovelace", 1, USTATUS_NEVER, "", 0};
        DBM *db = open_user_dbm("/var/opt/KRVXzt/ustatus", 2);
        printf("stored %d\n", db ? modify_ustatus(db, &user) : -9);
        if (db) close_user_dbm(db);
        list();
    }
    return 0;
}
)c";

// Installs the packages, builds a C tool with pkg-config alone and runs it
// on the status files the package made, configures the system as an
// administrator would, upgrades to 1.0-2 and purges: nothing is left.
TEST(DebianPackages, InstallUpgradeAndPurgeLeaveNothingBehind) {
    if (shell("unshare --mount true").status != 0) GTEST_SKIP() << "cannot make a mount namespace here";
    PrivateRoot root;
    place_packages(root.mnt(), "1.0-1");
    place_packages(root.mnt(), "1.0-2");
    std::ofstream(root.mnt() + "/status.c") << kStatusProgram;
    auto dpkg = [&](const std::string &command) {
        RunResult r = root.run("dpkg " + command + " > /dev/null");
        EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
        EXPECT_EQ(r.err, "") << command;  // no warnings either
    };

    dpkg("-i /mnt/1.0-1/*.deb");
    RunResult tool = root.run(
        "cd /tmp && cc -std=c99 -Wall -Wextra -Werror -pedantic -o status /mnt/status.c "
        "$(PKG_CONFIG_PATH=/opt/KRVXzt/lib/pkgconfig pkg-config --cflags --libs libztadmin) && ./status u.1 && "
        "stat -c '%n %U:%G %a' /var/opt/KRVXzt /var/opt/KRVXzt/* && ztuser -h 2> /dev/null; echo \"ztuser $?\"");
    EXPECT_EQ(tool.out, read_file(source_path("tests/install/golden/installed_status_files.txt"))) << tool.err;

    ASSERT_EQ(root.run("mkdir -p /etc/opt/KRVXzt && cp /opt/KRVXzt/share/ztadmin/ztadmin.conf.example "
                       "/etc/opt/KRVXzt/ztadmin.conf && umask 077 && echo frperg > /etc/opt/KRVXzt/ztadmin.pw")
                  .status, 0);
    const std::vector<std::string> kept = {"/etc/opt/KRVXzt/ztadmin.conf", "/etc/opt/KRVXzt/ztadmin.pw",
                                           "/var/opt/KRVXzt/ustatus.pag", "/var/opt/KRVXzt/ustatus.dir",
                                           "/var/opt/KRVXzt/dstatus.pag", "/var/opt/KRVXzt/dstatus.dir"};
    std::vector<std::string> before;
    for (const auto &path : kept) before.push_back(root.file(path));

    dpkg("-i /mnt/1.0-2/*.deb");
    EXPECT_EQ(root.run("dpkg-query -W -f '${Version} ' libztadmin1 libztadmin-dev ztadmin").out, "1.0-2 1.0-2 1.0-2 ");
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(root.file(kept[i]), before[i]) << kept[i];
    EXPECT_NE(before[0], "");

    dpkg("--purge ztadmin libztadmin-dev libztadmin1");
    EXPECT_EQ(root.changes(), std::vector<std::string>{});
}

}  // namespace
}  // namespace zt::test
