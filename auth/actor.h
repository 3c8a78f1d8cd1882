// The actor check: who may ask for a checksum for whom. The request's body is the
// first line of standard input; its actor is the value of the actor attribute that
// follows the action attribute of "<Body><Request". The invoking user, known by
// the process's real user ID alone, may sign as that actor, and "autobuild" may
// sign as anyone. A caller that brings its own token value with -k or -K signs
// with its own key, so it is not compared.
#ifndef ZEL_AUTH_ACTOR_H_
#define ZEL_AUTH_ACTOR_H_

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace zel {

inline constexpr std::size_t kBodySize = 4096;

// The first line of standard input as read (newline kept), NUL-terminated.
using Body = std::array<char, kBodySize>;

// Returns the actor that the body names (cut at its first double quote), if any.
std::optional<std::string> find_actor(const char* body);

// Decides whether user may sign as actor; 0, or 4 with its message.
int check_actor(const std::string& user, const std::string& actor, bool token_given);

// Looks up the invoking user (kept in user_name, if given), then also reads the
// body, the first line of in, and checks its actor; 0, 2, 4, 5 or 13.
int validate_user(Body& body, bool token_given, std::FILE* in, std::string* user_name = nullptr);

}  // namespace zel

#endif  // ZEL_AUTH_ACTOR_H_
