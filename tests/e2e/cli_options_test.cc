// SPDX-License-Identifier: GPL-3.0-or-later
// The option grammar of ztuser: every combination that is settled before a connection is made, compared byte for byte.
// The configuration tree is empty, so a command that gets as far as connecting fails there.
#include "test_support.h"

namespace zt::test {
namespace {

// The usage text, byte for byte, kept beside the tests.
const std::string kUsageText = read_file(source_path("tests/e2e/golden/usage.txt"));
const std::string kExtra = "Error: extra argument found\n";
const std::string kNoConnect = "Error: could not connect to admin server\n";
const std::string kDeprecatedG = "Warning: this command is deprecated, use '-L -g'\n";

std::string getopt_says(const std::string &what) { return ztuser_path() + ": " + what + "\n"; }

TEST(OptionGrammar, PrintsAndExitsExactly) {
    struct Case { const char *name; Strings args; std::string out, err; int status; } cases[] = {
        // Help and usage errors found while reading the options (status 1).
        {"HelpAlone", {"-h"}, "", kUsageText, 0},
        {"HelpWithWord", {"-h", "-l"}, "", kExtra + kUsageText, 1},
        {"HelpInClusterWithMore", {"-hl"}, "", kExtra + kUsageText, 1},
        {"TwoModes", {"-l", "-L"}, "", kUsageText, 1},
        {"ReaderThenAdd", {"-r", "rdr", "-a", "t1, s, 1, n"}, "", kUsageText, 1},
        {"ListWithG", {"-l", "-g"}, "", kUsageText, 1},
        {"GWithCurrent", {"-Gc"}, kDeprecatedG, kUsageText, 1},
        {"CurrentWithoutList", {"-c"}, "", kUsageText, 1},
        {"GlobalWithoutList", {"-g"}, "", kUsageText, 1},
        {"CurrentAndGlobal", {"-Lcg"}, "", kUsageText, 1},
        {"CurrentWithWord", {"-lc", "x"}, "", kExtra + kUsageText, 1},
        {"ListWithWord", {"-l", "x"}, "", kExtra + kUsageText, 1},
        {"ListByIdTwoMoreWords", {"-li", "foo", "bar", "baz"}, "", kExtra + kUsageText, 1},
        {"NameAndId", {"-Ln", "foo", "-i", "bar"}, "", kUsageText, 1},
        {"FileAndId", {"-d", "-f", "x", "-i", "y"}, "", kUsageText, 1},
        {"UnknownOption", {"-z"}, "", getopt_says("invalid option -- 'z'") + kUsageText, 1},
        {"MissingArgument", {"-p"}, "", getopt_says("option requires an argument -- 'p'") + kUsageText, 1},
        {"AddMissingArgument", {"-a"}, "", getopt_says("option requires an argument -- 'a'") + kUsageText, 1},
        {"SingleAddThenId", {"-a", "t1, s, 1, n", "-i", "card.2"}, "", kUsageText, 1},
        // Missing or malformed positional words (status 255).
        {"AddFileMissing", {"-a", "f"}, "", kUsageText, 255},
        {"AddFileClusterMissing", {"-af"}, "", kUsageText, 255},
        {"AddIdOneWord", {"-ai", "cur"}, "", kUsageText, 255},
        {"AddIdNoWords", {"-a", "i"}, "", kUsageText, 255},
        {"EditIdNoKeyword", {"-ei", "tok"}, "", kUsageText, 255},
        {"KillTokenNoValue", {"-k", "-tokenid"}, "", kUsageText, 255},
        {"KillDisplayNoValue", {"-k", "-xdisplay"}, "", kUsageText, 255},
        {"KillMisspelledKind", {"-k", "-xdisp", "v"}, "", kUsageText, 255},
        {"KillMisspelledToken", {"-k", "-tokens", "v"}, "", kUsageText, 255},
        // Everything else gets as far as the connection (the forms the command tests run against the directory or the
        // session managers, -G, -L -g and -r among them, are left to them).
        {"ListByIdPassesOverOneWord", {"-li", "foo", "bar"}, "", kNoConnect, 255},
        {"ListByIdAttached", {"-lifoo"}, "", kNoConnect, 255},
        {"AddThenReader", {"-a", "t1, srv, 7007, Jane Doe", "-r", "rdr"}, "", kNoConnect, 255},
        {"AddIdRebasedThenReader", {"-ai", "cur", "new", "-r", "rdr"}, "", kNoConnect, 255},
        {"KillDisplayThenMore", {"-k", "-xdisplay", ":3", "-l"}, "", kUsageText, 1},
        {"DumpWithWord", {"-o", "x"}, "", kNoConnect, 255},
        {"ModifierIgnored", {"-l", "-f", "x"}, "", kNoConnect, 255},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir empty_root;
        RunResult r = run_ztuser(c.args, empty_root.path());
        EXPECT_EQ(std::tie(r.out, r.err, r.status), std::tie(c.out, c.err, c.status));
    }
}

}  // namespace
}  // namespace zt::test
