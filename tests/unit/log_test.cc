// log_test.cc - the three logging entry points, seen through the
// $ZTADMIN_LOG mirror file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "admin_private.h"
#include "test_support.h"
#include "utils.h"

namespace {

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.path() + "/admin.log";
        setenv("ZTADMIN_LOG", path_.c_str(), 1);
        set_suppress_output(0);
        set_gdebug("ab");
        std::remove(path_.c_str());  // drop set_gdebug's own notes
    }
    void TearDown() override {
        unsetenv("ZTADMIN_LOG");
        set_suppress_output(0);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(zt::test::read_file(path_));
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    zt::test::TempDir dir_;
    std::string path_;
};

using Lines = std::vector<std::string>;

TEST_F(LogTest, RecordsCarryPriorityAndForm) {
    zt::dprintf("open_connection(): Could not read config file (%s)\n", "/etc/x");
    zt::dlprintf("b", "got terminalId |%s|\n", "0800201f3c2a");
    zt::log_admin("user", "Added user %d", 7);
    EXPECT_EQ(lines(), (Lines{"14 open_connection(): Could not read config file (/etc/x)",
                              "14 (b) got terminalId |0800201f3c2a|", "142 user : Added user 7"}));
}

TEST_F(LogTest, TraceNeedsItsCategory) {
    zt::dlprintf("c", "off\n");
    zt::dlprintf("", "off\n");
    zt::dlprintf("xa", "on\n");
    zt::dlprintf(" ", "blank\n");
    EXPECT_EQ(lines(), (Lines{"14 (xa) on", "14 ( ) blank"}));
}

TEST_F(LogTest, SuppressOutputSilencesAllButTraces) {
    set_suppress_output(1);
    zt::dprintf("hidden\n");
    zt::log_admin("desktop", "hidden");
    zt::dlprintf("a", "shown\n");
    EXPECT_EQ(lines(), Lines{"14 (a) shown"});
}

TEST_F(LogTest, SetGdebugAnnouncesTheOptions) {
    set_gdebug("d*");
    EXPECT_EQ(lines(), (Lines{"14  ", "14 running with debug options |d*|"}));
}

TEST_F(LogTest, LongMessagesAreCutTo1023Characters) {
    std::string longer(3000, 'x');
    std::string kept(1023, 'x');
    zt::dprintf("%s", longer.c_str());
    zt::dlprintf("a", "%s", longer.c_str());
    zt::log_admin("socket", "%s", longer.c_str());
    EXPECT_EQ(lines(), (Lines{"14 " + kept, "14 (a) " + kept, "142 socket : " + kept}));
}

TEST_F(LogTest, NoMirrorWithoutTheVariable) {
    unsetenv("ZTADMIN_LOG");
    zt::dprintf("only syslog\n");
    EXPECT_TRUE(lines().empty());
}

}  // namespace
