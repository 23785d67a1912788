// Desktop records against the sandbox: directory values, the status
// database overriding what the server observed, existence, and filters
// that find none or several desktops.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class DesktopRead : public SubtreeTest {};

TEST_F(DesktopRead, StatusRecordOverridesTheObservedFields) {
    put_desktop("02000011223a", {{"ztModel", "dir-model"},
                                 {"ztFirmwareRev", "1.0"},
                                 {"ztLocation", "Room 4"},
                                 {"ztOtherInfo", "by the door"},
                                 {"ztStatus", "Down"},
                                 {"ztLastTime", "10"},
                                 {"ztFirstTime", "5"},
                                 {"ztMisc1", "m1"},
                                 {"ztNamespace", "IEEE802"},
                                 {"ztDtuTypeGroups", "MULTIHEAD:g1"},
                                 {"ztDtuTypeGroups", "MULTIHEAD:g2"}});
    DbmDesktop status{const_cast<char *>("02000011223a"), const_cast<char *>("IEEE802"), nullptr,
                      const_cast<char *>("Up"), const_cast<char *>("1100"), const_cast<char *>("1000")};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &status), 0);

    DesktopPtr d(get_desktop(conn_.get(), "02000011223A"));
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->id, "02000011223a");
    EXPECT_STREQ(d->model, "IEEE802");
    EXPECT_STREQ(d->firmware_rev, "");  // a null field is stored empty
    EXPECT_STREQ(d->status, "Up");
    EXPECT_STREQ(d->last_status_time, "1100");
    EXPECT_STREQ(d->first_conn_time, "1000");
    EXPECT_STREQ(d->location, "Room 4");
    EXPECT_STREQ(d->other_info, "by the door");
    EXPECT_STREQ(d->misc1, "m1");
    EXPECT_EQ(d->misc2, nullptr);
    EXPECT_STREQ(d->namespace_, "IEEE802");
    ASSERT_NE(d->dtugroup, nullptr);
    EXPECT_STREQ(d->dtugroup[0], "MULTIHEAD:g1");
    EXPECT_STREQ(d->dtugroup[1], "MULTIHEAD:g2");
    EXPECT_EQ(d->dtugroup[2], nullptr);
}

TEST_F(DesktopRead, WithoutAStatusRecordTheDirectoryValuesStay) {
    put_desktop("0a0000000003", {{"ztModel", "dir-model"}, {"ztStatus", "Down"}});
    DesktopPtr d(get_desktop(conn_.get(), "0a0000000003"));
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->model, "dir-model");
    EXPECT_STREQ(d->status, "Down");
    EXPECT_EQ(d->dtugroup, nullptr);
    EXPECT_EQ(d->namespace_, nullptr);

    // Merging by hand reports the missing record and changes nothing.
    Desktop *raw = d.get();
    EXPECT_EQ(fill_desktop_status(conn_.get(), &raw), -1);
    EXPECT_TRUE(log_->has("fill_desktop_status(): Could not find equivalent dbm desktop with desktop_id "
                          "(0a0000000003)"));
    EXPECT_STREQ(d->model, "dir-model");
}

TEST_F(DesktopRead, NoneOrSeveralMatchesFindNothing) {
    put_desktop("0a0000000004", {{"ztLocation", "Lab"}});
    put_desktop("0a0000000005", {{"ztLocation", "Lab"}});
    Desktop *out = nullptr;
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Lab", &out), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Nowhere", &out), ADMIN_ERR_NOT_FOUND);
    ASSERT_EQ(getDtuByFilter(conn_.get(), "(ztID=0a0000000005)", &out), ADMIN_SUCCESS);
    DesktopPtr found(out);
    EXPECT_STREQ(found->id, "0a0000000005");

    EXPECT_EQ(get_desktop(conn_.get(), "0a00000000*"), nullptr);  // not a pattern
    std::string long_filter = "ztID=" + std::string(495, 'f');
    EXPECT_EQ(getDtuByFilter(conn_.get(), long_filter.c_str(), &out), ADMIN_ERR_INTERNAL);
}

TEST_F(DesktopRead, ExistenceTest) {
    put_desktop("0a0000000006");
    EXPECT_EQ(desktop_exists(conn_.get(), "0a0000000006"), 1);
    EXPECT_EQ(desktop_exists(conn_.get(), "0a0000000007"), 0);
    EXPECT_EQ(desktop_exists(conn_.get(), "*"), 0);
}

}  // namespace
}  // namespace zt::test
