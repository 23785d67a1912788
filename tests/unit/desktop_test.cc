// Unit tests of the desktop record's debug dump and its ownership.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "admin.h"

namespace {

std::string dump(const Desktop *desktop) {
    testing::internal::CaptureStderr();
    print_desktop(desktop);
    return testing::internal::GetCapturedStderr();
}

class PrintDesktop : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        d_ = allocate_desktop();
    }
    void TearDown() override { free_desktop(d_); }
    Desktop *d_ = nullptr;
};

TEST_F(PrintDesktop, EmptyRecordShowsNilEverywhere) {
    EXPECT_EQ(dump(d_),
              "desktop:\n"
              "  id                  = (nil)\n"
              "  namespace           = (nil)\n"
              "  model               = (nil)\n"
              "  firmware_rev        = (nil)\n"
              "  location            = (nil)\n"
              "  other_info          = (nil)\n"
              "  status              = (nil)\n"
              "  last_status_time    = (nil) ()\n"
              "  first_conn_time     = (nil) ()\n"
              "  misc1               = (nil)\n"
              "  misc2               = (nil)\n"
              "  dtugroup            = (nil)\n");
}

TEST_F(PrintDesktop, FullRecordWithTimesAndGroups) {
    d_->id = strdup("02000011223a");
    d_->namespace_ = strdup("IEEE802");
    d_->model = strdup("P3");
    d_->firmware_rev = strdup("3.0");
    d_->location = strdup("Room 4");
    d_->other_info = strdup("");
    d_->status = strdup("Up");
    d_->last_status_time = strdup("1100");
    d_->first_conn_time = strdup("1000");
    d_->misc1 = strdup("m1");
    d_->misc2 = strdup("m2");
    d_->dtugroup = static_cast<char **>(calloc(3, sizeof(char *)));
    d_->dtugroup[0] = strdup("MULTIHEAD:g1");
    d_->dtugroup[1] = strdup("MULTIHEAD:g2");
    EXPECT_EQ(dump(d_),
              "desktop:\n"
              "  id                  = 02000011223a\n"
              "  namespace           = IEEE802\n"
              "  model               = P3\n"
              "  firmware_rev        = 3.0\n"
              "  location            = Room 4\n"
              "  other_info          = \n"
              "  status              = Up\n"
              "  last_status_time    = 1100 (01/01/1970 00:18:20)\n"
              "  first_conn_time     = 1000 (01/01/1970 00:16:40)\n"
              "  misc1               = m1\n"
              "  misc2               = m2\n"
              "  dtugroup            = MULTIHEAD:g1\n"
              "\t\t\tMULTIHEAD:g2\n");
}

TEST_F(PrintDesktop, EmptyGroupListPrintsNothingAfterTheLabel) {
    d_->dtugroup = static_cast<char **>(calloc(1, sizeof(char *)));
    std::string text = dump(d_);
    EXPECT_EQ(text.substr(text.size() - std::strlen("  misc2               = (nil)\n  dtugroup            = ")),
              "  misc2               = (nil)\n  dtugroup            = ");
}

TEST(Desktop, NullsAreAccepted) {
    free_desktop(nullptr);
    testing::internal::CaptureStderr();
    print_desktop(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(get_desktop(nullptr, nullptr), nullptr);
    EXPECT_EQ(get_desktop(nullptr, ""), nullptr);
    Desktop *out = reinterpret_cast<Desktop *>(1);
    EXPECT_EQ(getDtuByFilter(nullptr, "ztID=x", &out), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
