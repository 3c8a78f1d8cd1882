#include "sign/wiped.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace zel {
namespace {

// The bytes a context leaves in its storage once it is gone.
TEST(Wiped, OverwritesTheContextWhenItGoesOutOfScope) {
  struct Context {
    unsigned char pads[128];
  };
  alignas(Wiped<Context>) unsigned char storage[sizeof(Wiped<Context>)];
  auto* held = std::construct_at(reinterpret_cast<Wiped<Context>*>(storage));
  for (unsigned char& byte : held->get()->pads) byte = 0x5c;
  ASSERT_EQ(std::memchr(storage, 0x5c, sizeof storage), storage);  // the bytes are there
  std::destroy_at(held);
  for (const unsigned char byte : storage) ASSERT_EQ(byte, 0);
}

}  // namespace
}  // namespace zel
