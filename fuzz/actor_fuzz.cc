// Fuzzes the actor match on a request body line.
//
// Input: the body as the driver holds it, cut to the 4095 bytes a body buffer
// takes and terminated. Beyond not crashing: an actor is found only in a body
// that starts with "<Body><Request"; it is at most 255 characters, with no
// double quote and no white space; it stands in the body as the start of a value
// after `actor="` and white space, ending at a quote, white space, the end of
// the body or the 255-character limit; and a body in the plain form
// `<Body><Request action="A" actor="B"...` (A and B free of quotes and white
// space, either possibly empty) always yields B.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/actor.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kMaxActor = 255;
constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view kSpace = " \t\n\v\f\r";  // white space for the scan
constexpr std::string_view kAttribute = "actor=\"";

bool is_space(char c) { return kSpace.find(c) != npos; }

// Whether actor stands in body as (the start of) an actor attribute's value.
bool stands_as_actor_value(std::string_view body, std::string_view actor) {
  for (std::size_t at = body.find(kAttribute); at != npos; at = body.find(kAttribute, at + 1)) {
    std::size_t value = at + kAttribute.size();
    while (value < body.size() && is_space(body[value])) ++value;
    if (!body.substr(value).starts_with(actor)) continue;
    const std::size_t end = value + actor.size();
    if (end == body.size() || body[end] == '"' || is_space(body[end]) ||
        actor.size() == kMaxActor) {
      return true;
    }
  }
  return false;
}

// The actor of a body in the plain form, if it has that form.
std::optional<std::string_view> plain_form_actor(std::string_view body) {
  constexpr std::string_view kStart = "<Body><Request action=\"";
  constexpr std::string_view kPlainChars = " \t\n\v\f\r\"";
  if (!body.starts_with(kStart)) return std::nullopt;
  body.remove_prefix(kStart.size());
  const std::size_t action = body.find_first_of(kPlainChars);
  if (action == npos || body[action] != '"' || action + 1 > kMaxActor) return std::nullopt;
  body.remove_prefix(action);
  if (!body.starts_with("\" actor=\"")) return std::nullopt;
  body.remove_prefix(9);
  const std::size_t actor = body.find_first_of(kPlainChars);
  if (actor == npos || body[actor] != '"' || actor + 1 > kMaxActor) {
    return std::nullopt;
  }
  return body.substr(0, actor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = std::min(size, zel::kBodySize - 1);
  // An exactly sized copy, so that a read past the terminator is caught.
  const std::unique_ptr<char[]> bytes = std::make_unique<char[]>(length + 1);
  std::memcpy(bytes.get(), data, length);
  bytes[length] = '\0';
  const std::string_view body(bytes.get());  // the body ends at its first NUL

  const std::optional<std::string> actor = zel::find_actor(bytes.get());
  const std::optional<std::string_view> plain = plain_form_actor(body);
  if (plain) ZEL_FUZZ_CHECK(actor && *actor == *plain);
  if (!actor) return 0;

  ZEL_FUZZ_CHECK(body.starts_with("<Body><Request"));
  ZEL_FUZZ_CHECK(actor->size() <= kMaxActor);
  ZEL_FUZZ_CHECK(actor->find_first_of(" \t\n\v\f\r\"") == npos);
  ZEL_FUZZ_CHECK(stands_as_actor_value(body, *actor));
  return 0;
}
