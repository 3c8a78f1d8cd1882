#include "sign/signature.h"

#include <gtest/gtest.h>

#include <string>


namespace zel {
namespace {

// Known answers computed outside this code, with:
//   printf %s "$body" | openssl dgst -sha1 -binary | base64
//   printf %s "$body" | openssl dgst -sha1 -binary | openssl dgst -sha1 -hmac "$key" -binary | base64
// and, for keys openssl's -hmac can't take (empty, trailing space), Python's
//   base64.b64encode(hmac.new(key, hashlib.sha1(body).digest(), hashlib.sha1).digest())
TEST(ComputeSignature, MatchesIndependentKnownAnswers) {
  const struct {
    const char* body;
    std::optional<std::string> key;
    const char* digest;
    std::optional<std::string> signature;
  } cases[] = {
      {"hello\n", "sekret", "9XLTlvrpIGYocU+yzgD3LpTyJY8=", "1SPCHNNIljfQ09cVIE1u/Q6dRro="},
      {"hello", "sekret", "qvTGHdzF6KLavt4PO0gs2a6pQ00=", "XxJiekZXjvlkmtlLhLno90nsI3I="},
      {"<Body><Request action=\"x\" actor=\"alice\">\n", "sekret", "FI6cuxSlRNqWT+rYSFdml6xEw1A=",
       "Eo7P0bh8ZLlA5HcAERBaM2x/I+g="},
      {"hello\n", "", "9XLTlvrpIGYocU+yzgD3LpTyJY8=", "TwwLNo/CHiChze1PGLESleQLZUs="},
      {"hello\n", "k ", "9XLTlvrpIGYocU+yzgD3LpTyJY8=", "YtOi5bvcjCme4ADHrNwlUwcoEW8="},
      {"hello\n", std::nullopt, "9XLTlvrpIGYocU+yzgD3LpTyJY8=", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + " key " + (c.key ? "'" + *c.key + "'" : "absent"));
    std::optional<SecretBytes> token;
    if (c.key) token = make_secret(*c.key);
    std::string digest;
    std::optional<std::string> signature;
    compute_signature(c.body, digest, signature, token);
    EXPECT_EQ(digest, c.digest);
    EXPECT_EQ(signature, c.signature);
  }
}

TEST(Base64, BreaksLinesEvery64Characters) {
  unsigned char bytes[100];
  for (int i = 0; i < 100; ++i) bytes[i] = static_cast<unsigned char>(i);
  const struct {
    std::size_t length;
    const char* text;
  } cases[] = {
      {1, "AA=="},
      {2, "AAE="},
      {3, "AAEC"},
      {48, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v"},
      {49, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\nMA=="},
      {100,
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\n"
       "MDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5f\nYGFiYw=="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(base64(bytes, c.length), c.text);
  }
}

}  // namespace
}  // namespace zel
