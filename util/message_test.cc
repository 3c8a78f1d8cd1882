#include "util/message.h"

#include <gtest/gtest.h>

#include <string>

namespace zel {
namespace {

TEST(Report, WritesEachMessageAndKeepsABoundedCopyOfTheLast) {
  const std::string long_name(3000, 'n');
  testing::internal::CaptureStderr();
  report("Token value cannot be empty.\n");
  report("%s is not authorized to create a checksum for %s.\n", "bob", "alice");
  EXPECT_EQ(last_report(), "bob is not authorized to create a checksum for alice.\n");
  report("(%s)\n", long_name.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Token value cannot be empty.\nbob is not authorized to create a checksum for alice.\n(" +
                long_name + ")\n");
  EXPECT_EQ(last_report(), "(" + long_name.substr(0, 1022));
  forget_reports();
  EXPECT_EQ(last_report(), "");
}

}  // namespace
}  // namespace zel
