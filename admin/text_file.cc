#include "admin/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "site/site_file.h"
#include "util/unique_fd.h"

namespace zel {

namespace {

bool failed(const std::string& path, const char* reason, std::string& error) {
  error = path + ": " + reason;
  return false;
}

}  // namespace

bool read_text_fd(int fd, const std::string& name, SecretBytes& text, std::string& error) {
  const int read_errno = read_secret(fd, text);
  return read_errno == 0 || failed(name, std::strerror(read_errno), error);
}

bool read_text_file(const std::string& path, SecretBytes& text, std::string& error,
                    const ReadOptions& options) {
  text.clear();
  if (options.missing != nullptr) *options.missing = false;
  // Non-blocking: a FIFO put in the file's place must not hang the open.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                          (options.follow_link ? 0 : O_NOFOLLOW)));
  if (!fd) {
    if (options.missing != nullptr) *options.missing = errno == ENOENT;
    return failed(path, errno == ELOOP && !options.follow_link ? "a symbolic link" : std::strerror(errno),
                  error);
  }
  struct stat st {};
  bool ok = fstat(fd.get(), &st) == 0;
  if (!ok) {
    failed(path, std::strerror(errno), error);
  } else if (!S_ISREG(st.st_mode)) {
    ok = failed(path, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file", error);
  } else {
    ok = read_text_fd(fd.get(), path, text, error);
  }
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

bool write_file(const std::string& path, std::string_view text, int flags) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600));
  if (!fd || !write_all(fd.get(), text)) return false;
  errno = fd.close();
  return errno == 0;
}

std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace zel
