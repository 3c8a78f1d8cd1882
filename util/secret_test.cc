#include "util/secret.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zel {
namespace {

// A test-only source of memory that never gives a block back to the heap, so
// that what the wiping allocator left in a released block can still be read:
// it records, for each block released, whether any byte of it was not zero.
struct KeepingArena {
  static inline std::vector<std::unique_ptr<char[]>> blocks;
  static inline std::vector<std::string> leftovers;  // per released block: its bytes, or ""
  char* allocate(std::size_t n) {
    blocks.push_back(std::make_unique<char[]>(n));
    return blocks.back().get();
  }
  void deallocate(char* p, std::size_t n) {
    const bool wiped = std::all_of(p, p + n, [](char c) { return c == '\0'; });
    leftovers.push_back(wiped ? "" : std::string(p, n));
  }
};

using ArenaSecret = std::vector<char, WipingAllocator<char, KeepingArena>>;

TEST(WipingAllocator, EveryReleasedBlockIsZeroed) {
  const std::string token = "token-value-0123456789";
  const struct {
    const char* name;
    void (*use)(ArenaSecret&);
  } cases[] = {
      {"destroyed", [](ArenaSecret&) {}},
      {"grown past its capacity", [](ArenaSecret& s) { s.resize(s.capacity() * 4 + 1, 'x'); }},
      {"shrunk to fit", [](ArenaSecret& s) { s.resize(3); s.shrink_to_fit(); }},
      {"moved from and cleared", [](ArenaSecret& s) { ArenaSecret other = std::move(s); other.clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KeepingArena::leftovers.clear();
    {
      ArenaSecret secret(token.begin(), token.end());
      c.use(secret);
    }
    ASSERT_FALSE(KeepingArena::leftovers.empty());
    for (const std::string& left : KeepingArena::leftovers) EXPECT_EQ(left, "") << "a released block kept its bytes";
  }
  KeepingArena::blocks.clear();
}

}  // namespace
}  // namespace zel
