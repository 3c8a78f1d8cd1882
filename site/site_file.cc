#include "site/site_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "util/message.h"
#include "util/status.h"

namespace zel {

SiteFile open_site_file(const char* path, uid_t owner, gid_t group) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer. It has no effect on
  // the regular file that is the only kind read: the type is checked before
  // any read.
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  const int open_errno = fd ? 0 : errno;
  struct stat st {};
  const mode_t mode = !fd && stat(path, &st) == 0 ? st.st_mode : 0;
  return {std::move(fd), open_errno, mode, owner, group};
}

namespace {

constexpr std::size_t kReadRoom = 64;

int report_unopenable(const char* path, const char* reason) {
  return fail(kSiteUnreadable, "Unable to open site file (%s) for reading: %s.\n", path, reason);
}

// Why the file's tokens must be taken as known to others; null if nothing says so.
const char* exposure(const SiteFile& file, const struct stat& st) {
  if (file.owner == kAnyOwner) return nullptr;
  if ((st.st_mode & S_IROTH) != 0) return "can be read by other users";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "can be written by other users than its owner";
  if (st.st_uid != 0 && st.st_uid != file.owner) return "is owned by neither root nor the service account";
  if ((st.st_mode & S_IRGRP) != 0 && st.st_gid != file.group) {
    return "can be read by a group zel-auth does not run as";
  }
  // The kernel keeps no access ACL that says no more than the mode does.
  const bool acl = fgetxattr(file.fd.get(), "system.posix_acl_access", nullptr, 0) >= 0 ||
                   (errno != ENODATA && errno != ENOTSUP);
  return acl ? "carries an ACL that may grant more than its mode" : nullptr;
}

// Why a file of this type can't be the site file; null for a regular file.
const char* wrong_kind(mode_t mode) {
  if (S_ISDIR(mode)) return std::strerror(EISDIR);
  if (!S_ISREG(mode)) return "Not a regular file";
  return nullptr;
}

}  // namespace

int read_secret(int fd, SecretBytes& text, std::size_t expected) {
  // The expected size is only a first guess: the file is read to its end,
  // whatever it has become since, so a file that grew is not cut and one that
  // shrank is not padded. A little room past the guess takes the read that
  // finds the end, so an unchanged file costs no second buffer; the byte after
  // the text is always kept free for a terminating NUL.
  std::size_t size = 0;
  text.resize(expected + kReadRoom);
  for (;;) {
    if (size + 1 == text.size()) text.resize(text.size() * 2);
    const ssize_t n = read(fd, text.data() + size, text.size() - 1 - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int read_errno = errno;
      text.clear();
      return read_errno;
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  text.resize(size);
  return 0;
}

int read_site_file(const SiteFile& file, const char* path, SecretBytes& text) {
  if (!file.fd) {
    const char* kind = file.mode != 0 ? wrong_kind(file.mode) : nullptr;
    return report_unopenable(path, kind != nullptr ? kind : std::strerror(file.open_errno));
  }

  struct stat st {};
  if (fstat(file.fd.get(), &st) != 0) return report_unopenable(path, std::strerror(errno));
  if (const char* kind = wrong_kind(st.st_mode)) return report_unopenable(path, kind);
  if (const char* cause = exposure(file, st)) {
    return fail(kSiteUnreadable,
                "The site file %s %s; its tokens must be treated as exposed (see zel-site check).\n",
                path, cause);
  }
  // A sparse file may claim more bytes than any buffer can hold: that is a file
  // too large for memory, not a reason to stop abruptly.
  if (static_cast<std::uintmax_t>(st.st_size) >= text.max_size() - kReadRoom) {
    return fail(kOutOfMemory, "Out of memory.\n");
  }

  if (const int read_errno = read_secret(file.fd.get(), text, static_cast<std::size_t>(st.st_size))) {
    return fail(kSiteUnreadable, "Unable to read site file (%s): %s.\n", path, std::strerror(read_errno));
  }
  text.push_back('\0');  // within the room read_secret keeps for it
  return text.size() > 1 ? kOk : kSiteUnreadable;
}

}  // namespace zel
