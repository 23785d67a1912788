// Unit tests of the desktop record's debug dump.
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

TEST(PrintDesktop, FieldsTimesAndGroups) {
    setenv("TZ", "UTC", 1);
    tzset();
    Desktop *d = allocate_desktop();
    const std::string empty = dump(d);
    EXPECT_NE(empty.find("  last_status_time    = (nil) ()\n"), std::string::npos) << empty;
    EXPECT_EQ(empty.substr(empty.size() - 30), "  dtugroup            = (nil)\n");
    d->dtugroup = static_cast<char **>(calloc(3, sizeof(char *)));
    EXPECT_EQ(dump(d).substr(empty.size() - 30), "  dtugroup            = ");  // empty list: nothing
    d->id = strdup("02000011223a");
    d->namespace_ = strdup("IEEE802");
    d->model = strdup("P3");
    d->other_info = strdup("");
    d->last_status_time = strdup("1100");
    d->first_conn_time = strdup("1000");
    d->dtugroup[0] = strdup("MULTIHEAD:g1");
    d->dtugroup[1] = strdup("MULTIHEAD:g2");
    EXPECT_EQ(dump(d),
              "desktop:\n  id                  = 02000011223a\n  namespace           = IEEE802\n"
              "  model               = P3\n  firmware_rev        = (nil)\n  location            = (nil)\n"
              "  other_info          = \n  status              = (nil)\n"
              "  last_status_time    = 1100 (01/01/1970 00:18:20)\n"
              "  first_conn_time     = 1000 (01/01/1970 00:16:40)\n"
              "  misc1               = (nil)\n  misc2               = (nil)\n"
              "  dtugroup            = MULTIHEAD:g1\n\t\t\tMULTIHEAD:g2\n");
    free_desktop(d);
}

}  // namespace
