#include "util/system_time.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace zel {
namespace {

TEST(SystemLocalTime, FollowsNoTzOfTheCallerAndLeavesItSet) {
  const std::time_t now = 1765248818;
  unsetenv("TZ");
  const std::tm system = system_local_time(now);
  for (const char* tz : {"Asia/Tokyo", "UTC+11", "America/St_Johns"}) {
    SCOPED_TRACE(tz);
    setenv("TZ", tz, 1);
    const std::tm got = system_local_time(now);
    EXPECT_EQ(got.tm_hour * 60 + got.tm_min, system.tm_hour * 60 + system.tm_min);
    EXPECT_STREQ(std::getenv("TZ"), tz);
  }
  unsetenv("TZ");
}

}  // namespace
}  // namespace zel
