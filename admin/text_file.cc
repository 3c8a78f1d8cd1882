#include "admin/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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

bool read_text_file(const std::string& path, SecretBytes& text, std::string& error, bool* missing) {
  text.clear();
  if (missing != nullptr) *missing = false;
  // Non-blocking: a FIFO put in the file's place must not hang the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (missing != nullptr) *missing = errno == ENOENT;
    return failed(path, std::strerror(errno), error);
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    failed(path, std::strerror(errno), error);
  } else if (!S_ISREG(st.st_mode)) {
    ok = failed(path, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file", error);
  }
  char chunk[65536];
  while (ok) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = failed(path, std::strerror(errno), error);
    if (n <= 0) break;
    text.insert(text.end(), chunk, chunk + n);
  }
  explicit_bzero(chunk, sizeof chunk);
  close(fd);
  if (!ok) text.clear();
  return ok;
}

}  // namespace zel
