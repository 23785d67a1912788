// Reading the administration configuration and password files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "admin.h"
#include "test_support.h"
#include "utils.h"

namespace {

using zt::test::TempDir;

struct ZtaDeleter {
    void operator()(AdminConfig *zta) const { free_zta(zta); }
};
using ZtaPtr = std::unique_ptr<AdminConfig, ZtaDeleter>;

struct CFree {
    void operator()(char *s) const { std::free(s); }
};
using CText = std::unique_ptr<char, CFree>;

std::optional<std::string> text(const char *s) { return s ? std::optional<std::string>(s) : std::nullopt; }

// Each test gets its own log mirror and configuration root, and the
// process-wide time-out starts from its initial value.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = dir_.path() + "/admin.log";
        setenv("ZTADMIN_LOG", log_path_.c_str(), 1);
        setenv("ZTADMIN_ROOT", (dir_.path() + "/root").c_str(), 1);
        DStimeout = 10;
    }
    void TearDown() override {
        unsetenv("ZTADMIN_LOG");
        unsetenv("ZTADMIN_ROOT");
        DStimeout = 10;
    }

    // Reads `contents` as a configuration file into a new record.
    ZtaPtr read(const std::string &contents) {
        std::string path = dir_.write("ztadmin.conf", contents);
        ZtaPtr zta(allocate_zta());
        EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_SUCCESS);
        return zta;
    }

    // The log records written so far, and a fresh start.
    std::string take_log() {
        std::string log = zt::test::read_file(log_path_);
        unlink(log_path_.c_str());
        return log;
    }

    std::string root_file(const std::string &name) { return dir_.path() + "/root/etc/opt/KRVXzt/" + name; }
    void write_root_file(const std::string &name, const std::string &contents) {
        dir_.write("root/etc/opt/KRVXzt/" + name, contents);
    }

    TempDir dir_;
    std::string log_path_;
};

const std::string kComplete =
    "admin.server.name=ds.example\n"
    "admin.server.port=389\n"
    "admin.user.name=cn=admin,o=zt\n"
    "admin.subtree=o=zt\n"
    "admin.dstatus.dbfile=/var/dstatus\n"
    "admin.ustatus.dbfile=/var/ustatus\n"
    "admin.defaultlocale=de_DE\n";

TEST_F(ConfigTest, CompleteFileFillsEveryField) {
    auto zta = read(kComplete);
    EXPECT_EQ(text(zta->server_name), "ds.example");
    EXPECT_EQ(zta->server_port, 389);
    EXPECT_EQ(text(zta->user_name), "cn=admin,o=zt");
    EXPECT_EQ(text(zta->subtree), "o=zt");
    EXPECT_EQ(text(zta->dstatus_dbfile), "/var/dstatus");
    EXPECT_EQ(text(zta->ustatus_dbfile), "/var/ustatus");
    EXPECT_EQ(text(zta->default_locale), "de_DE");
    EXPECT_EQ(zta->auth_mech, AUTH_CRAM_MD5);
    EXPECT_EQ(check_zta(zta.get()), 0);
    EXPECT_EQ(take_log(), "");
}

// One line (or a few) and what it leaves in the one field it concerns.
struct LineCase {
    const char *name;
    std::string contents;
    std::optional<std::string> server_name;
    int server_port;
};

// Printed by name: the bytes of the record include padding.
void PrintTo(const LineCase &c, std::ostream *os) { *os << c.name; }

class LineRules : public ConfigTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineRules, LeavesExpectedServer) {
    const LineCase &c = GetParam();
    auto zta = read(c.contents);
    EXPECT_EQ(text(zta->server_name), c.server_name);
    EXPECT_EQ(zta->server_port, c.server_port);
}

const std::string k600(600, 'x');
// A comment that fills one whole read: its remainder is read as a line of its own.
const std::string kLongComment = "#" + std::string(510, 'c');

INSTANTIATE_TEST_SUITE_P(
    Config, LineRules,
    ::testing::Values(
        LineCase{"Plain", "admin.server.name=a\n", "a", 0},
        LineCase{"BlanksAndTabsTrimmed", " \tadmin.server.name \t= \ta b \t\n", "a b", 0},
        LineCase{"CarriageReturnIsKept", "admin.server.name=a\r\n", "a\r", 0},
        LineCase{"NoFinalLineEnd", "admin.server.name=last", "last", 0},
        LineCase{"LastOccurrenceWins", "admin.server.name=one\nadmin.server.name=two\n", "two", 0},
        LineCase{"CommentIgnored", "#admin.server.name=a\n", std::nullopt, 0},
        LineCase{"BlankBeforeHashIsNoComment", "  # admin.server.name = a\n", std::nullopt, 0},
        LineCase{"KeysAreCaseSensitive", "Admin.Server.Name=a\n", std::nullopt, 0},
        LineCase{"EmptyValueSkipped", "admin.server.name=a\nadmin.server.name = \t\n", "a", 0},
        LineCase{"EmptyKeySkipped", " =a\n", std::nullopt, 0},
        LineCase{"NoEqualsSkipped", "admin.server.name a\n", std::nullopt, 0},
        LineCase{"ValueKeepsFurtherEquals", "admin.server.name=a=b==\n", "a=b==", 0},
        LineCase{"PortDigits", "admin.server.port=0389\n", std::nullopt, 389},
        LineCase{"PortTrailingLetter", "admin.server.port=389x\n", std::nullopt, 0},
        LineCase{"PortSign", "admin.server.port=+389\n", std::nullopt, 0},
        LineCase{"PortInnerBlank", "admin.server.port=3 89\n", std::nullopt, 0},
        LineCase{"BadPortKeepsEarlier", "admin.server.port=389\nadmin.server.port=x\n", std::nullopt, 389},
        LineCase{"PortOverflowSaturates", "admin.server.port=99999999999999999999\n", std::nullopt, INT_MAX},
        LineCase{"LongLineCutAt511", "admin.server.name=" + k600 + "\n", std::string(511 - 18, 'x'), 0},
        LineCase{"RemainderOfLongLineIsALine", kLongComment + "admin.server.name=hidden\n", "hidden", 0},
        LineCase{"ExactlyFullReadThenLineEnd", "admin.server.name=" + std::string(493, 'y') + "\n",
                 std::string(493, 'y'), 0},
        LineCase{"NulEndsTheLine", std::string("admin.server.name=ok\0junk\n", 26), "ok", 0},
        LineCase{"NulBeforeEquals", std::string("admin.server.name\0=x\n", 21), std::nullopt, 0},
        LineCase{"BinaryJunk", std::string("\xff\xfe\x01=\x80\n\0\0\n=\n\x7f", 12) + "\nadmin.server.name=b\n", "b",
                 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConfigTest, OnlyCommentsAndEmptyLinesIsIncomplete) {
    auto zta = read("# nothing here\n\n#admin.server.name=x\n\n");
    EXPECT_EQ(zta->server_name, nullptr);
    EXPECT_EQ(check_zta(zta.get()), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(take_log(), "14 check_zta(): zta - important fields are not filled.\n");
}

TEST_F(ConfigTest, AuthMechanism) {
    auto simple = read("admin.server.authmech=SIMPLE\n");
    EXPECT_EQ(simple->auth_mech, AUTH_SIMPLE);
    auto back = read("admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n");
    EXPECT_EQ(back->auth_mech, AUTH_CRAM_MD5);
    EXPECT_EQ(take_log(), "");

    // A wrong case is rejected, and the message names the standard file
    // even though another file was read.
    auto bad = read("admin.server.authmech=SIMPLE\nadmin.server.authmech=cram_md5\n");
    EXPECT_EQ(bad->auth_mech, AUTH_SIMPLE);
    EXPECT_EQ(take_log(), "14 invalid authentication mechanism specified in /etc/opt/KRVXzt/ztadmin.conf\n");
}

TEST_F(ConfigTest, TimeoutIsProcessWide) {
    struct {
        const char *line;
        int expected;
    } cases[] = {
        {"admin.server.timeout=30\n", 30},
        {"admin.server.timeout=-5\n", 10},
        {"admin.server.timeout=0\n", 0},
        {"admin.server.timeout=abc\n", 10},
        {"admin.server.timeout=99999999999\n", INT_MAX},
    };
    for (const auto &c : cases) {
        DStimeout = 10;
        read(c.line);
        EXPECT_EQ(DStimeout, c.expected) << c.line;
    }
    // A later file without the key keeps what an earlier one set.
    read("admin.server.timeout=25\n");
    read(kComplete);
    EXPECT_EQ(DStimeout, 25);
}

TEST_F(ConfigTest, DebugKeySwitchesCategories) {
    read("admin.debug=q\n");
    EXPECT_EQ(gdebug("q"), 1);
    EXPECT_NE(take_log().find("running with debug options |q|"), std::string::npos);
}

TEST_F(ConfigTest, MissingFileReportsMappedErrno) {
    ZtaPtr zta(allocate_zta());
    std::string path = dir_.path() + "/absent.conf";
    EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "14 read_config_file(): Could not open config file (" + path + "), error 2\n");
    EXPECT_EQ(read_config_file(nullptr, path.c_str()), ADMIN_ERR_INVALID_ARGS);
}

TEST_F(ConfigTest, UnreadableFileIsNoPermission) {
    if (geteuid() == 0) GTEST_SKIP() << "the super-user reads every file";
    std::string path = dir_.write("locked.conf", kComplete);
    chmod(path.c_str(), 0);
    ZtaPtr zta(allocate_zta());
    EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_ERR_NO_PERMISSION);
}

TEST_F(ConfigTest, NullPathReadsTheStandardFile) {
    write_root_file("ztadmin.conf", kComplete);
    ZtaPtr zta(allocate_zta());
    EXPECT_EQ(read_config_file(zta.get(), nullptr), ADMIN_SUCCESS);
    EXPECT_EQ(text(zta->server_name), "ds.example");
}

TEST_F(ConfigTest, AllocateAndSetValue) {
    ZtaPtr zta(allocate_zta());
    EXPECT_EQ(zta->session, nullptr);
    EXPECT_EQ(zta->server_port, 0);
    EXPECT_EQ(zta->auth_mech, AUTH_CRAM_MD5);
    EXPECT_EQ(set_zta_val(zta.get(), nullptr, "x"), zta.get());
    EXPECT_EQ(set_zta_val(zta.get(), "admin.server.name", nullptr), zta.get());
    EXPECT_EQ(set_zta_val(nullptr, "admin.server.name", "x"), nullptr);
    EXPECT_EQ(zta->server_name, nullptr);
    set_zta_val(zta.get(), "admin.unknown", "x");
    set_zta_val(zta.get(), "admin.subtree", "o=a");
    set_zta_val(zta.get(), "admin.subtree", "o=b");
    EXPECT_EQ(text(zta->subtree), "o=b");
    // Every owned string is released by free_zta (checked by the leak checkers).
    zta->password = safe_strdup("secret");
    zta->primary_name = safe_strdup("primary");
    free_zta(nullptr);
}

// check_zta over records missing one field each.
TEST_F(ConfigTest, CheckZtaNamesWhatIsMissing) {
    const std::string important = "14 check_zta(): zta - important fields are not filled.\n";
    const std::string user = "14 check_zta(): zta - user fields are not filled.\n";
    struct {
        const char *drop;  // key left out of the complete file
        int access_level;
        int result;
        std::string log;
    } cases[] = {
        {"", 3, 0, ""},
        {"admin.server.name", 3, -1, important},
        {"admin.server.port", 3, -1, important},
        {"admin.subtree", 1, -1, important},
        {"admin.dstatus.dbfile", 1, -1, important},
        {"admin.ustatus.dbfile", 1, -1, important},
        {"admin.defaultlocale", 3, 0, ""},
        {"admin.user.name", 1, 0, ""},
        {"admin.user.name", 2, -1, user},
        {"admin.user.name", 4, -1, user},
    };
    for (const auto &c : cases) {
        std::string contents;
        for (size_t start = 0; start < kComplete.size();) {
            size_t end = kComplete.find('\n', start) + 1;
            std::string line = kComplete.substr(start, end - start);
            if (*c.drop == '\0' || line.rfind(std::string(c.drop) + "=", 0) != 0) contents += line;
            start = end;
        }
        auto zta = read(contents);
        zta->access_level = c.access_level;
        take_log();
        EXPECT_EQ(check_zta(zta.get()), c.result) << c.drop;
        EXPECT_EQ(take_log(), c.log) << c.drop;
    }
    EXPECT_EQ(check_zta(nullptr), -1);
    EXPECT_EQ(take_log(), important);
}

TEST_F(ConfigTest, DSauthCodesAndLog) {
    struct {
        const char *mechanism;
        int result;
        std::string log;
    } cases[] = {
        {nullptr, 1, "14 DSauth ret=1\n"},
        {"", 1, "14 DSauth ret=1\n"},
        {"CRAM_MD5", 1, "14 DSauth=CRAM_MD5\n14 DSauth ret=1\n"},
        {"SIMPLE", 0, "14 DSauth=SIMPLE\n14 DSauth ret=0\n"},
        {"simple", -1, "14 DSauth=simple\n14 DSauth ret=-1\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DSauth(c.mechanism), c.result);
        EXPECT_EQ(take_log(), c.log);
    }
}

TEST_F(ConfigTest, PasswordFile) {
    struct {
        const char *name;
        std::string contents;
        std::optional<std::string> password;
        AdminStatus status;
    } cases[] = {
        {"Rotated", "frperg\n", "secret", 0},
        {"TrimmedFirstLineOnly", " \tFrperg-42 \nother\n", "Secret-42", 0},
        {"NoLineEnd", "nop", "abc", 0},
        {"Empty", "", std::nullopt, -1},
        {"BlankFirstLine", " \t\nfrperg\n", std::nullopt, -1},
        {"LongLineCut", std::string(600, 'n'), std::string(511, 'a'), 0},
    };
    for (const auto &c : cases) {
        std::string path = dir_.write("ztadmin.pw", c.contents);
        AdminStatus status = 99;
        CText password(read_passwd_file(path.c_str(), &status));
        EXPECT_EQ(text(password.get()), c.password) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
    }
    AdminStatus status = 99;
    EXPECT_EQ(read_passwd_file((dir_.path() + "/none.pw").c_str(), &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "");
}

TEST_F(ConfigTest, DefaultLocaleFromStandardFile) {
    CText missing(get_defaultlocale());
    EXPECT_EQ(missing, nullptr);
    std::string expected_path = root_file("ztadmin.conf");
    EXPECT_NE(take_log().find("14 get_defaultlocale(): Could not read config file (" + expected_path + ")\n"),
              std::string::npos);

    write_root_file("ztadmin.conf", "admin.server.name=x\n");
    CText none(get_defaultlocale());
    EXPECT_EQ(none, nullptr);

    write_root_file("ztadmin.conf", kComplete);
    CText locale(get_defaultlocale());
    EXPECT_EQ(text(locale.get()), "de_DE");
}

TEST_F(ConfigTest, ZtadminInfoFirstOccurrenceWins) {
    CText missing(get_ztadmin_info("admin.server.name"));
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(take_log(),
              "14 get_ztadmin_info(): Could not open config file (" + root_file("ztadmin.conf") + ")\n");

    write_root_file("ztadmin.conf",
                    "#admin.server.name=comment\nadmin.server.name = first \nadmin.server.name=second\n"
                    "other.key = some = value\n");
    CText first(get_ztadmin_info("admin.server.name"));
    EXPECT_EQ(text(first.get()), "first");
    CText other(get_ztadmin_info("other.key"));
    EXPECT_EQ(text(other.get()), "some = value");
    CText absent(get_ztadmin_info("admin.subtree"));
    EXPECT_EQ(absent, nullptr);
    EXPECT_EQ(get_ztadmin_info(nullptr), nullptr);

    ZtaPtr zta(allocate_zta());
    ASSERT_EQ(read_config_file(zta.get(), root_file("ztadmin.conf").c_str()), 0);
    EXPECT_EQ(text(zta->server_name), "second");
}

}  // namespace
