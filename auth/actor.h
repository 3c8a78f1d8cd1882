// The actor check: who may ask for a checksum for whom. The request's body is the
// first line of standard input; its actor is the value of the actor attribute that
// follows the action attribute of "<Body><Request". The invoking user, known by
// the process's real user ID alone (cli/privilege.h), may sign as that actor, and "autobuild" may
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
// A value that runs on past the 255 characters kept gives those 255, and sets
// *cut where cut is given.
std::optional<std::string> find_actor(const char* body, bool* cut = nullptr);

// Decides whether user may sign as actor; 0, or 4 with its message. An actor
// that was cut is no one's name: only "autobuild" or a given token signs for
// it, never the user whose name is the part kept.
int check_actor(const std::string& user, const std::string& actor, bool token_given, bool cut = false);

// The message of a body that names no actor (status 5).
inline constexpr const char* kNoActorMessage = "Unable to locate actor in message body.\n";

// Reads the body, the first line of in, telling whether a line was read
// (nothing read leaves it empty, even a line that starts with a NUL does not); 0 or 13.
int read_body(Body& body, std::FILE* in, bool& line_read);

}  // namespace zel

#endif  // ZEL_AUTH_ACTOR_H_
