// SPDX-License-Identifier: GPL-3.0-or-later
// log_test.cc - the three logging entry points, seen through the $ZTADMIN_LOG mirror file.
#include <fcntl.h>
#include <sys/stat.h>

#include "admin_private.h"
#include "test_support.h"

namespace {

TEST(Log, PriorityFormCategorySuppressionLengthAndMirror) {
    zt::test::TempDir dir;
    std::string path = dir.path() + "/admin.log";
    set_gdebug("ab");  // before the mirror is set: its notes are not wanted there
    setenv("ZTADMIN_LOG", path.c_str(), 1);

    zt::dprintf("open_connection(): Could not read config file (%s)\n", "/etc/x");
    zt::dlprintf("b", "got terminalId |%s|\n", "0800201f3c2a");
    zt::dlprintf("c", "off\n");
    zt::log_admin("user", "Added user %d", 7);
    set_suppress_output(1);  // silences all but the traces
    zt::dprintf("hidden\n");
    zt::log_admin("desktop", "hidden");
    zt::dlprintf("a", "shown\n");
    set_suppress_output(0);
    set_gdebug("d*");
    EXPECT_EQ(zt::test::read_file(path),
              "14 open_connection(): Could not read config file (/etc/x)\n14 (b) got terminalId |0800201f3c2a|\n"
              "142 user : Added user 7\n14 (a) shown\n14  \n14 running with debug options |d*|\n");

    std::remove(path.c_str());
    std::string longer(3000, 'x'), kept(1023, 'x');  // messages are cut, never written past the buffer
    zt::dprintf("%s", longer.c_str());
    zt::dlprintf("d", "%s", longer.c_str());
    zt::log_admin("socket", "%s", longer.c_str());
    EXPECT_EQ(zt::test::read_file(path), "14 " + kept + "\n14 (d) " + kept + "\n142 socket : " + kept + "\n");

    // The mirror takes one line a record, and only a regular file.
    std::remove(path.c_str());
    std::string target = dir.path() + "/target";
    zt::dprintf("add_simple_user2(): first\nsecond\n");
    EXPECT_EQ(zt::test::read_file(path), "14 add_simple_user2(): first#012second\n");

    // $ZTADMIN_TRACE copies each record to standard error in the same one-line form, named by the program.
    std::string err = dir.path() + "/stderr";
    zt::Fd saved(dup(STDERR_FILENO)), file(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ASSERT_EQ(dup2(file.get(), STDERR_FILENO), STDERR_FILENO);
    setenv("ZTADMIN_TRACE", "1", 1);
    zt::dprintf("add_simple_user2(): first\nsecond\n");
    zt::log_admin("user", "no line end");
    setenv("ZTADMIN_TRACE", "0", 1);
    zt::dprintf("not traced");
    unsetenv("ZTADMIN_TRACE");
    dup2(saved.get(), STDERR_FILENO);
    EXPECT_EQ(zt::test::read_file(err),
              "log_test: add_simple_user2(): first#012second\nlog_test: user : no line end\n");

    std::remove(path.c_str());
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    zt::dprintf("through a link");
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "a symbolic link is not followed";

    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    zt::Fd reader(open(path.c_str(), O_RDONLY | O_NONBLOCK));
    zt::dprintf("into a pipe");
    char byte;
    EXPECT_LE(read(reader.get(), &byte, 1), 0) << "only a regular file is written";

    unsetenv("ZTADMIN_LOG");
}

}  // namespace
