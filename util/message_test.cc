#include "util/message.h"

#include <gtest/gtest.h>

#include <string>

namespace zel {
namespace {

TEST(Report, WritesEachMessageAndKeepsTheLast) {
  const std::string long_name(3000, 'n');
  forget_reports();
  testing::internal::CaptureStderr();
  report("Token value cannot be empty.\n");
  report("%s is not authorized to create a checksum for %s.\n", "bob", "alice");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Token value cannot be empty.\nbob is not authorized to create a checksum for alice.\n");
  EXPECT_EQ(last_report(), "bob is not authorized to create a checksum for alice.\n");

  testing::internal::CaptureStderr();
  report("Site stanza for specified site (%s) not found.\n", long_name.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr().size(), long_name.size() + 45);
  EXPECT_EQ(last_report().size(), 1023U);  // the copy alone is bounded
  forget_reports();
  EXPECT_EQ(last_report(), "");
}

}  // namespace
}  // namespace zel
