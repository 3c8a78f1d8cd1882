#include "sign/token_id.h"

#include <gtest/gtest.h>

#include <string>


namespace zel {
namespace {

// The identifiers as openssl computes them from the documented label:
//   printf 'zel-auth token identifier' | openssl dgst -sha256 -hmac TOKEN -binary | head -c4 | od -An -tx1
TEST(TokenIdentifier, IsTheLabelsHmacSha256KeyedWithTheToken) {
  const struct {
    std::string token;
    std::string id;
  } cases[] = {
      {"example-default-token", "792ea3aa"},
      {"", "180b4db0"},
      {"k9[x]Qm7-TAIL", "c51a3ca7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("token \"" + c.token + "\"");
    EXPECT_EQ(token_identifier(c.token), c.id);
  }
}

}  // namespace
}  // namespace zel
