#include "admin/token_input.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>

#include "admin/check.h"
#include "admin/install.h"
#include "admin/interrupt.h"
#include "admin/text_file.h"
#include "sign/signature.h"

namespace zel {

namespace {

// Longer input than this is no token value typed or piped by mistake-free hands.
constexpr std::size_t kLongestValue = 65536;

// The way that always works, said with every refusal of the input.
constexpr const char* kHow = "openssl rand -base64 32 | zel-site set-token -s NAME";

// Echo off on a terminal for as long as it lives; the newline is still echoed.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// One line from fd into value, which is empty: a terminal's up to its newline; any other input whole, which
// must be one line.
bool read_line(int fd, bool terminal, SecretBytes& value, std::string& error) {
  bool ended = false;  // a newline was read
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR && interrupted() == 0) continue;
    if (n < 0) {
      error = std::string("can't read the token value: ") + std::strerror(errno);
    } else if (n == 0 || (terminal && c == '\n')) {
      return true;
    } else if (ended) {
      error = "the token value must be one line";
    } else if (c == '\n') {
      ended = true;
      continue;
    } else if (value.size() == kLongestValue) {
      error = "the token value is too long";
    }
    if (!error.empty()) {
      value.clear();
      return false;
    }
    value.push_back(c);
  }
}

// Whether standard input fd may carry a token value: a command's pipe, or a regular file root's alone.
bool input_taken(int fd, std::string& error) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error = std::string("standard input can't be examined (") + std::strerror(errno) + "): " + kHow;
    return false;
  }
  if (S_ISFIFO(st.st_mode)) {
    error = named_pipe_fault(fd);
    if (!error.empty()) error += std::string(": ") + kHow;
    return error.empty();
  }
  if (!S_ISREG(st.st_mode)) {
    error = std::string("standard input is no terminal, pipe or file, and a token value is taken only from "
                        "those: ") + kHow;
    return false;
  }
  // The file the shell opened, by the name it has now; it must be the one read.
  char path[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
  bool refused = false;
  const UniqueFd named = length > 0 ? open_roots_file(std::string(path, static_cast<std::size_t>(length)), 066,
                                                      kHow, error, refused)
                                    : UniqueFd();
  struct stat named_st {};
  if (named && fstat(named.get(), &named_st) == 0 && named_st.st_dev == st.st_dev && named_st.st_ino == st.st_ino) {
    return true;
  }
  if (error.empty()) error = std::string("standard input is a file that can't be found by its name: ") + kHow;
  error = "the token file " + error;
  return false;
}

}  // namespace

bool read_token_value(int fd, const std::string& label, bool weak, SecretBytes& value, std::string& error) {
  value.clear();
  const bool terminal = isatty(fd) != 0;
  if (!terminal && !input_taken(fd, error)) return false;
  if (terminal) {
    SecretBytes again;
    const EchoOff quiet(fd);
    std::fprintf(stderr, "New token value for %s: ", label.c_str());
    if (!read_line(fd, true, value, error)) return false;
    std::fprintf(stderr, "Retype the new token value for %s: ", label.c_str());
    if (!read_line(fd, true, again, error)) return false;
    if (again != value) error = "the two values typed differ";
  } else if (!read_line(fd, false, value, error)) {
    return false;
  }
  if (error.empty()) error = token_value_fault(view_of(value), false);
  if (error.empty() && !weak && value.size() < kShortestToken) {
    error = "the token value is " + std::to_string(value.size()) + " bytes long, shorter than " +
            std::to_string(kShortestToken) + ": a token must be long and random (" + kHow +
            "); --weak sets a shorter one all the same";
  }
  if (!error.empty()) value.clear();
  return error.empty();
}

bool generated_token_fd(const char* text, int& fd, std::string& error) {
  const std::string_view digits = text;
  const auto [end, parsed] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
  struct stat st {};
  const int flags = parsed == std::errc() && end == digits.data() + digits.size() ? fcntl(fd, F_GETFL) : -2;
  if (flags == -2 || fd <= STDERR_FILENO) {
    error = std::string("--generate takes a descriptor of 3 or more, open for writing, as in --generate=3 3>FILE");
  } else if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || fstat(fd, &st) != 0) {
    error = "--generate=" + std::string(digits) + ": descriptor " + std::to_string(fd) + " is not open for writing";
  } else if (isatty(fd) != 0) {
    error = "--generate=" + std::string(digits) + ": descriptor " + std::to_string(fd) +
            " is a terminal, where the token would stay on the screen: name a pipe or a file only root can read";
  } else if (S_ISREG(st.st_mode) && (st.st_uid != 0 || (st.st_mode & 077) != 0)) {
    error = "--generate=" + std::string(digits) + ": the file of descriptor " + std::to_string(fd) +
            " is not root's alone (umask 077 makes it so)";
  }
  return error.empty();
}

bool generate_token_value(SecretBytes& value, std::string& error) {
  unsigned char bytes[32];
  ssize_t got = -1;
  while ((got = getrandom(bytes, sizeof bytes, 0)) < 0 && errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof bytes)) {
    error = std::string("can't get random bytes for a token: ") + std::strerror(errno);
    return false;
  }
  std::string text = base64(bytes, sizeof bytes);
  value = make_secret(text);
  explicit_bzero(text.data(), text.size());
  explicit_bzero(bytes, sizeof bytes);
  return true;
}

void discard_piped_value(int fd) {
  // A command's pipe only: a named one's writer, whoever it is, is not waited for.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || !named_pipe_fault(fd).empty()) return;
  char bytes[4096];
  for (std::size_t left = kLongestValue + 2; left > 0;) {
    const ssize_t n = read(fd, bytes, std::min(sizeof bytes, left));
    if (n < 0 && errno == EINTR && interrupted() == 0) continue;
    if (n <= 0) break;
    left -= std::min(left, static_cast<std::size_t>(n));
  }
  explicit_bzero(bytes, sizeof bytes);
}

bool write_token_value(int fd, const SecretBytes& value, std::string& error) {
  SecretBytes line = value;
  line.push_back('\n');
  if (write_all(fd, view_of(line))) return true;
  error = "can't write the new token value to descriptor " + std::to_string(fd) + ": " + std::strerror(errno);
  return false;
}

}  // namespace zel
