#include "admin/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zel {

namespace {

bool failed(const std::string& path, const char* reason, std::string& error) {
  error = path + ": " + reason;
  return false;
}

}  // namespace

bool read_text_fd(int fd, const std::string& name, SecretBytes& text, std::string& error) {
  text.clear();
  char chunk[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = failed(name, std::strerror(errno), error);
    if (n <= 0) break;
    text.insert(text.end(), chunk, chunk + n);
  }
  explicit_bzero(chunk, sizeof chunk);
  if (!ok) text.clear();
  return ok;
}

bool read_text_file(const std::string& path, SecretBytes& text, std::string& error,
                    const ReadOptions& options) {
  text.clear();
  if (options.missing != nullptr) *options.missing = false;
  // Non-blocking: a FIFO put in the file's place must not hang the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                        (options.follow_link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (options.missing != nullptr) *options.missing = errno == ENOENT;
    return failed(path, errno == ELOOP && !options.follow_link ? "a symbolic link" : std::strerror(errno),
                  error);
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    failed(path, std::strerror(errno), error);
  } else if (!S_ISREG(st.st_mode)) {
    ok = failed(path, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file", error);
  } else {
    ok = read_text_fd(fd, path, text, error);
  }
  close(fd);
  if (ok && options.status != nullptr) *options.status = st;
  return ok;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace zel
