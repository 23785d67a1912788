// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the administration configuration and password files.
#include <sys/stat.h>

#include <climits>
#include <memory>

#include "test_support.h"

namespace {

using namespace zt::test;
using ZtaPtr = std::unique_ptr<AdminConfig, decltype([](AdminConfig *zta) { free_zta(zta); })>;

Opt text(const char *s) { return s ? Opt(s) : std::nullopt; }

// Each test gets its own log mirror and configuration root.
class ConfigTest : public ::testing::Test {
protected:
    // Reads `contents` as a configuration file into a new record.
    ZtaPtr read(const std::string &contents) {
        std::string path = root_.write("ztadmin.conf", contents);
        ZtaPtr zta(allocate_zta());
        EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_SUCCESS);
        return zta;
    }
    std::string take_log() { return log_.take(); }
    std::string standard_file() { return root_.path() + "/etc/opt/KRVXzt/ztadmin.conf"; }
    void write_standard_file(const std::string &contents) { root_.write("etc/opt/KRVXzt/ztadmin.conf", contents); }

    RootDir root_;
    LogFile log_;
};

const std::string kComplete =
    "admin.server.name=ds.example\nadmin.server.port=389\nadmin.user.name=cn=admin,o=zt\nadmin.subtree=o=zt\n"
    "admin.dstatus.dbfile=/var/dstatus\nadmin.ustatus.dbfile=/var/ustatus\nadmin.defaultlocale=de_DE\n";

// One line (or a few) and what it leaves in the server name and port.
TEST_F(ConfigTest, LineRules) {
    const std::string name = "admin.server.name=", port = "admin.server.port=";
    for (const auto &[contents, server_name, server_port] : std::initializer_list<std::tuple<std::string, Opt, int>>{
        {" \tadmin.server.name \t= \ta b \t\n", "a b", 0},  {name + "a\r\n", "a\r", 0},
        {name + "last", "last", 0},                         {name + "one\n" + name + "two\n", "two", 0},
        {name + "a\nadmin.server.name = \t\n", "a", 0},     {port + "99999999999999999999\n", {}, INT_MAX},
        // A comment, a blank before "#" (a key that is not known), a key in another case, no "=".
        {"#" + name + "a\n  # admin.server.name = a\nAdmin.Server.Name=a\nadmin.server.name a\n", {}, 0},
        {port + "0389\n", {}, 389},                         {port + "389\n" + port + "38x\n", {}, 389},
        {name + std::string(600, 'x') + "\n", std::string(511 - 18, 'x'), 0},  // cut at 511
        {"#" + std::string(510, 'c') + name + "hidden\n", "hidden", 0},       // a read's remainder is a line
        {name + std::string(493, 'y') + "\n", std::string(493, 'y'), 0},       // the line end read alone
        {std::string("\xff\xfe\x01=\x80\n\0\0\n=\n\x7f", 12) + "\n" + name + "b\n", "b", 0},
    }) {
        auto zta = read(contents);
        EXPECT_EQ(text(zta->server_name), server_name) << contents;
        EXPECT_EQ(zta->server_port, server_port) << contents;
    }
}

TEST_F(ConfigTest, MechanismDebugTimeoutAndDSauth) {
    const std::string mech = "admin.server.authmech=";
    EXPECT_EQ(read(mech + "SIMPLE\n" + mech + "CRAM_MD5\n")->auth_mech, AUTH_CRAM_MD5);
    // A wrong case is rejected (and only it is reported); the message names the standard file whichever was read.
    EXPECT_EQ(read(mech + "SIMPLE\n" + mech + "cram_md5\n")->auth_mech, AUTH_SIMPLE);
    EXPECT_EQ(take_log(), "14 invalid authentication mechanism specified in /etc/opt/KRVXzt/ztadmin.conf\n");
    for (auto [mechanism, result, log] : {std::tuple<const char *, int, const char *>{nullptr, 1, ""}, {"", 1, ""},
                                          {"CRAM_MD5", 1, "14 DSauth=CRAM_MD5\n"}, {"SIMPLE", 0, "14 DSauth=SIMPLE\n"},
                                          {"simple", -1, "14 DSauth=simple\n"}}) {
        EXPECT_EQ(DSauth(mechanism), result);
        EXPECT_EQ(take_log(), log + ("14 DSauth ret=" + std::to_string(result) + "\n"));
    }
    read("admin.debug=q\n");
    EXPECT_EQ(gdebug("q"), 1);
    // The connect's time-out is process-wide, the answers' one belongs to the record (120 when not given).
    for (auto [value, expected] : {std::pair{"30", 30}, {"-5", 10}, {"0", 0}, {"abc", 10}, {"99999999999", INT_MAX}}) {
        DStimeout = 10;
        read(std::string("admin.server.timeout=") + value + "\n");
        EXPECT_EQ(DStimeout, expected) << value;
        EXPECT_EQ(read(std::string("admin.server.optimeout=") + value + "\n")->op_timeout,
                  expected == 10 ? 120 : expected) << value;
    }
    // A later file without the key keeps what an earlier one set.
    read("admin.server.timeout=25\n");
    read(kComplete);
    EXPECT_EQ(DStimeout, 25);
}

TEST_F(ConfigTest, MissingFilesAndStandardFileReaders) {
    ZtaPtr zta(allocate_zta());
    std::string path = root_.path() + "/absent.conf";
    EXPECT_EQ(read_config_file(zta.get(), path.c_str()), ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "14 read_config_file(): Could not open config file (" + path + "), error 2\n");
    EXPECT_EQ(take(get_defaultlocale()), std::nullopt);
    EXPECT_NE(take_log().find("14 get_defaultlocale(): Could not read config file (" + standard_file() + ")\n"),
              std::string::npos);
    EXPECT_EQ(get_ztadmin_info("admin.server.name"), nullptr);
    EXPECT_EQ(take_log(), "14 get_ztadmin_info(): Could not open config file (" + standard_file() + ")\n");

    // get_ztadmin_info takes the first occurrence of a key, the record reader the last.
    write_standard_file(kComplete + "admin.server.name = second \nother = a = b\n");
    EXPECT_EQ(read_config_file(zta.get(), nullptr), ADMIN_SUCCESS);
    EXPECT_EQ((std::vector<Opt>{text(zta->server_name), text(zta->user_name), text(zta->subtree),
                                text(zta->dstatus_dbfile), text(zta->ustatus_dbfile), text(zta->default_locale)}),
              (std::vector<Opt>{"second", "cn=admin,o=zt", "o=zt", "/var/dstatus", "/var/ustatus", "de_DE"}));
    EXPECT_EQ(zta->server_port, 389);
    EXPECT_EQ(zta->auth_mech, AUTH_CRAM_MD5);  // the initial value
    EXPECT_EQ(take(get_ztadmin_info("admin.server.name")), "ds.example");
    EXPECT_EQ(take(get_ztadmin_info("other")), "a = b");
    EXPECT_EQ(get_ztadmin_info("admin.server.timeout"), nullptr);
    EXPECT_EQ(take(get_defaultlocale()), "de_DE");
    write_standard_file("admin.server.name=x\n");
    EXPECT_EQ(take(get_defaultlocale()), std::nullopt);
}

// check_zta over records missing one field each.
TEST_F(ConfigTest, CheckZtaNamesWhatIsMissing) {
    const std::string important = "14 check_zta(): zta - important fields are not filled.\n",
                      user = "14 check_zta(): zta - user fields are not filled.\n";
    // The key left out of the complete file, the access level, and the outcome.
    for (auto [drop, level, result, log] : {std::tuple<std::string, int, int, std::string>{"none", 3, 0, ""},
             {"admin.server.name", 3, -1, important}, {"admin.server.port", 3, -1, important},
             {"admin.subtree", 1, -1, important}, {"admin.dstatus.dbfile", 1, -1, important},
             {"admin.ustatus.dbfile", 1, -1, important}, {"admin.defaultlocale", 3, 0, ""},
             {"admin.user.name", 1, 0, ""}, {"admin.user.name", 2, -1, user}, {"admin.user.name", 4, -1, user}}) {
        std::string contents = kComplete;
        size_t start = contents.find(drop + "=");
        if (start != std::string::npos) contents.erase(start, contents.find('\n', start) + 1 - start);
        auto zta = read(contents);
        zta->access_level = level;
        take_log();
        EXPECT_EQ(check_zta(zta.get()), result) << drop;
        EXPECT_EQ(take_log(), log) << drop;
    }
    auto comments = read("# nothing here\n\n#admin.server.name=x\n\n");
    EXPECT_EQ(check_zta(comments.get()), ADMIN_ERR_INTERNAL);
    EXPECT_EQ(check_zta(nullptr), -1);
    EXPECT_EQ(take_log(), important + important);
}

TEST_F(ConfigTest, PasswordFile) {
    // Only the first line counts, trimmed; a blank one is no password.
    for (auto [contents, password, expected] :
         {std::tuple<std::string, Opt, AdminStatus>{" \tFrperg-42 \nother\n", "Secret-42", 0}, {"nop", "abc", 0},
          {"", {}, -1}, {" \t\nfrperg\n", {}, -1}, {std::string(600, 'n'), std::string(511, 'a'), 0}}) {
        AdminStatus status = 99;
        EXPECT_EQ(take(read_passwd_file(root_.write("ztadmin.pw", contents).c_str(), &status)), password) << contents;
        EXPECT_EQ(status, expected) << contents;
    }
    AdminStatus status = 99;
    EXPECT_EQ(read_passwd_file((root_.path() + "/none.pw").c_str(), &status), nullptr);
    EXPECT_EQ(status, ADMIN_ERR_NO_SUCH_FILE);
    EXPECT_EQ(take_log(), "");
}

// A FIFO or a device must neither hold the readers nor keep them reading, and no real file is a mebibyte long: each is
// refused like a file that cannot be opened.
TEST_F(ConfigTest, OnlyRegularFilesOfSaneSizeAreRead) {
    alarm(20);  // a reader that blocks or spins fails the test by the signal
    const std::string etc = root_.path() + "/etc/opt/KRVXzt/";
    root_.write("etc/opt/KRVXzt/qmds/current/.keep", "");
    const std::string files[] = {etc + "ztadmin.conf", etc + "ztadmin.pw", etc + "qmds/current/ztdsd.conf"};
    for (auto [kind, error] : {std::pair<std::string, int>{"fifo", EINVAL}, {"device", EINVAL},
                               {"directory", EISDIR}, {"oversized", EFBIG}}) {
        for (const auto &path : files) {
            unlink(path.c_str());
            int made = 0;
            if (kind == "fifo") made = mkfifo(path.c_str(), 0600);
            if (kind == "device") made = symlink("/dev/zero", path.c_str());
            if (kind == "directory") made = mkdir(path.c_str(), 0700);
            if (kind == "oversized") root_.write(path.substr(root_.path().size() + 1), "#" + std::string(1 << 20, 'x'));
            ASSERT_EQ(made, 0) << path;
        }
        ZtaPtr zta(allocate_zta());
        EXPECT_EQ(read_config_file(zta.get(), nullptr), ADMIN_ERR_FILE_ACCESS) << kind;
        EXPECT_EQ(get_ztadmin_info("admin.server.name"), nullptr);
        BackendList list{};
        EXPECT_EQ(read_ds_config(&list), ADMIN_ERR_FILE_ACCESS) << kind;
        EXPECT_EQ(take_log(), "14 read_config_file(): Could not open config file (" + files[0] + "), error " +
                                  std::to_string(error) + "\n14 get_ztadmin_info(): Could not open config file (" +
                                  files[0] + ")\n14 read_ds_config(): could not open config file \"" + files[2] +
                                  "\" (" + std::strerror(error) + ")\n");
        // Only the password's first line is read, so the size does not matter there.
        AdminStatus status = 99;
        char *password = read_passwd_file(files[1].c_str(), &status);
        EXPECT_EQ(status, kind == "oversized" ? 0 : ADMIN_ERR_FILE_ACCESS) << kind;
        std::free(password);
        for (const auto &path : files) rmdir(path.c_str());
    }
    alarm(0);
}

}  // namespace
