#include "auth/actor.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

constexpr const char* kTrustedAccount = "autobuild";

// The white space that ends a %s field in the scan: the C locale's, the only
// one the tool runs in.
bool is_scan_space(char c) { return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos; }

}  // namespace

std::optional<std::string> find_actor(const char* body, bool* cut) {
  // The scan's own rules are the format of a request line: callers have built
  // their bodies against them, white space and 255-character limits included.
  char actor[256] = {};
  int action = 0;
  int action_end = 0;
  int actor_end = 0;
  if (std::sscanf(body, "<Body><Request action=\"%n%*255s%n actor=\"%255s%n", &action, &action_end,
                  actor, &actor_end) != 1) {
    return std::nullopt;
  }
  // The scan takes the action's value by its length alone, so a value that
  // never closed could carry an actor="..." of its own. The actor counts only
  // after a whole quoted action value and a blank.
  const std::string_view value(body + action, static_cast<std::size_t>(action_end - action));
  if (!value.ends_with('"') || value.find('"') != value.size() - 1 ||
      !is_scan_space(body[action_end])) {
    return std::nullopt;
  }
  const std::string_view scanned(actor);
  const std::size_t quote = scanned.find('"');
  // The scan stops at 255 characters: a value still going on there was cut.
  if (cut != nullptr) {
    const char next = body[actor_end];
    *cut = quote == std::string_view::npos && next != '\0' && next != '"' && !is_scan_space(next);
  }
  return std::string(scanned.substr(0, quote));
}

int check_actor(const std::string& user, const std::string& actor, bool token_given, bool cut) {
  if (token_given || (user == actor && !cut) || user == kTrustedAccount) return kOk;
  return fail(kNotAuthorized, "%s is not authorized to create a checksum for %s.\n", user.c_str(),
              actor.c_str());
}

int read_body(Body& body, std::FILE* in, bool& line_read) {
  body.fill('\0');
  line_read = std::fgets(body.data(), static_cast<int>(body.size()), in) != nullptr;
  if (line_read) return kOk;
  const int read_errno = errno;
  body[0] = '\0';
  // An input that could not be read is not an empty request: signing nothing
  // and reporting success would tell the caller its body was empty.
  if (!std::ferror(in)) return kOk;
  return fail(kInputUnreadable, "Unable to read standard input: %s.\n", std::strerror(read_errno));
}

}  // namespace zel
