// Desktop records against the sandbox: the status database overriding
// what the server observed, and lookups that find none or several.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

class DesktopRead : public SubtreeTest {};

TEST_F(DesktopRead, StatusRecordOverridesTheObservedFields) {
    put_desktop("02000011223a", {{"ztModel", "dir-model"}, {"ztFirmwareRev", "1.0"}, {"ztLocation", "Room 4"},
                                 {"ztStatus", "Down"}, {"ztLastTime", "10"}, {"ztNamespace", "IEEE802"},
                                 {"ztDtuTypeGroups", "MULTIHEAD:g1"}, {"ztDtuTypeGroups", "MULTIHEAD:g2"}});
    put_desktop("0a0000000003", {{"ztModel", "dir-model"}});
    DbmDesktop status{const_cast<char *>("02000011223a"), const_cast<char *>("IEEE802"), nullptr,
                      const_cast<char *>("Up"), const_cast<char *>("1100"), const_cast<char *>("1000")};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &status), 0);

    DesktopPtr d(get_desktop(conn_.get(), "02000011223A"));
    ASSERT_TRUE(d);
    for (auto [field, value] : {std::pair{d->model, "IEEE802"}, {d->firmware_rev, ""}, {d->status, "Up"},
                                {d->last_status_time, "1100"}, {d->first_conn_time, "1000"},
                                {d->location, "Room 4"}, {d->namespace_, "IEEE802"}}) {
        EXPECT_STREQ(field, value);
    }
    EXPECT_EQ(strings_of(d->dtugroup), (std::vector<std::string>{"MULTIHEAD:g1", "MULTIHEAD:g2"}));

    DesktopPtr plain(get_desktop(conn_.get(), "0a0000000003"));
    ASSERT_TRUE(plain);
    EXPECT_STREQ(plain->model, "dir-model");
    Desktop *raw = plain.get();
    EXPECT_EQ(fill_desktop_status(conn_.get(), &raw), -1);
    EXPECT_TRUE(log_->has("fill_desktop_status(): Could not find equivalent dbm desktop with desktop_id "
                          "(0a0000000003)"));
}

TEST_F(DesktopRead, NoneOrSeveralMatchesFindNothing) {
    put_desktop("0a0000000004", {{"ztLocation", "Lab"}});
    put_desktop("0a0000000005", {{"ztLocation", "Lab"}});
    Desktop *out = nullptr;
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Lab", &out), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Nowhere", &out), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(get_desktop(conn_.get(), "0a00000000*"), nullptr);
    EXPECT_EQ(get_desktop(conn_.get(), ""), nullptr);
    EXPECT_EQ(desktop_exists(conn_.get(), "0a0000000004"), 1);
    EXPECT_EQ(desktop_exists(conn_.get(), "0a0000000007"), 0);
    EXPECT_EQ(desktop_exists(conn_.get(), "*"), 0);
}

}  // namespace
}  // namespace zt::test
