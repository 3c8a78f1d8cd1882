#include "util/message.h"

#include <gtest/gtest.h>

#include <string>

namespace zel {
namespace {

struct Ended {
  int status;
  std::string message;
};

class ThrowingEnding final : public Ending {
 public:
  [[noreturn]] void end(int status, std::string_view message) override {
    throw Ended{status, std::string(message)};
  }
};

TEST(Fail, WritesEachMessageAndHandsABoundedCopyToTheEnding) {
  const std::string long_name(3000, 'n');
  testing::internal::CaptureStderr();
  EXPECT_EQ(fail(8, "Token value cannot be empty.\n"), 8) << "no ending: the status comes back";
  ThrowingEnding ending;
  set_ending(&ending);
  try {
    fail(4, "%s is not authorized to create a checksum for %s.\n", "bob", "alice");
    ADD_FAILURE() << "fail returned with an ending set";
  } catch (const Ended& ended) {
    EXPECT_EQ(ended.status, 4);
    EXPECT_EQ(ended.message, "bob is not authorized to create a checksum for alice.\n");
  }
  try {
    fail(7, "(%s)\n", long_name.c_str());
  } catch (const Ended& ended) {
    EXPECT_EQ(ended.message, "(" + long_name.substr(0, 1022));
  }
  set_ending(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Token value cannot be empty.\nbob is not authorized to create a checksum for alice.\n(" +
                long_name + ")\n");
}

}  // namespace
}  // namespace zel
