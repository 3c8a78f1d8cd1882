// Where set-token takes a new token value from, so that no value passes
// through a file or a screen others could read. Standard input is taken only
// as a terminal (without echo, asked twice, as passwd(1) asks), a command's
// pipe (no named pipe, which others may write into: named_pipe_fault(),
// admin/install.h), or a redirected regular file that only root can have
// written or can read: root's, one name, readable and writable by no one else,
// reached with no link, in directories only root can write (open_roots_file(),
// admin/install.h, the rule a candidate for install meets). Anything else is
// refused with the way that works. A value shorter than kShortestToken is
// refused unless the administrator says it is meant (--weak). Or zel-site
// makes the value (--generate=FD): 32 bytes from getrandom(2) in base64,
// written once to the descriptor named, which must be no terminal, no standard
// descriptor, and, if it is a regular file, root's alone.
#ifndef ZEL_ADMIN_TOKEN_INPUT_H_
#define ZEL_ADMIN_TOKEN_INPUT_H_

#include <string>

#include "util/secret.h"

namespace zel {

// Reads one token value for the stanza label from fd as above (a pipe or file: one line, its newline
// dropped, nothing after it) and judges it (token_value_fault(), admin/check.h; its length unless weak);
// false with the reason.
bool read_token_value(int fd, const std::string& label, bool weak, SecretBytes& value, std::string& error);

// Parses --generate's FD and judges the descriptor; false with the reason.
bool generated_token_fd(const char* text, int& fd, std::string& error);

// A new random token value.
bool generate_token_value(SecretBytes& value, std::string& error);

// Writes value and a newline to fd; false with the reason.
bool write_token_value(int fd, const SecretBytes& value, std::string& error);

// Reads what is left in a pipe on fd, up to a token line's worth, and forgets
// it: a set-token refused before its value was read then never leaves the
// command writing the value with a broken pipe in place of the refusal's words.
void discard_piped_value(int fd);

}  // namespace zel

#endif  // ZEL_ADMIN_TOKEN_INPUT_H_
