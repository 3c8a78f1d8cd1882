#include "admin/install.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "admin/acl.h"

namespace zel {

namespace {

// The file being written until it is renamed into place; removed if it never is.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool create(const std::string& dir, const std::string& base);
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool close_file() {
    return close(std::exchange(fd_, -1)) == 0;
  }
  void installed() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

bool NewFile::create(const std::string& dir, const std::string& base) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
    char suffix[2 * sizeof bytes + 1];
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
      (void)std::snprintf(suffix + 2 * i, 3, "%02x", static_cast<unsigned>(bytes[i]));
    }
    const std::string name = dir + "/." + base + ".new-" + suffix;
    const int created = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                             0600);
    if (created >= 0) {
      fd_ = created;
      path_ = name;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
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

bool failed(std::string& error, const std::string& step) {
  error = step + ": " + std::strerror(errno);
  return false;
}

// The directory and the name of a path.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

bool directory_gives_no_acl(const std::string& site_path, std::string& error) {
  const std::string dir = split_path(site_path).first;
  bool present = false;
  // A missing directory holds no ACL; the step that needs it reports it.
  if (!path_has_acl(dir, AclKind::kDefault, present)) {
    return errno == ENOENT || failed(error, "reading the ACLs of " + dir);
  }
  if (present) {
    error = dir + " has a default ACL, which the new site file would inherit: remove it with setfacl -k " +
            dir;
    return false;
  }
  return true;
}

bool prepare_install(const std::string& site_path, const char* tool_path, SiteOwnership& ownership,
                     SiteLock& lock, std::string& error) {
  if (!site_ownership(tool_path, ownership, error)) return false;
  // Refused before anything else, so no edit is made only to be refused at the end.
  if (!directory_gives_no_acl(site_path, error)) {
    error = site_path + " is unchanged: " + error;
    return false;
  }
  return lock.acquire(site_path, error);
}

bool install_site_text(const std::string& site_path, std::string_view text,
                       const SiteOwnership& ownership, std::string& error) {
  const auto [dir, base] = split_path(site_path);
  if (!directory_gives_no_acl(site_path, error)) return false;

  NewFile file;
  if (!file.create(dir, base)) return failed(error, "creating a new file in " + dir);
  // The directory had no default ACL a moment ago, so an ACL on this new file
  // means someone is changing the directory's ACLs right now. The install is
  // refused rather than the ACL removed: the directory's state is not what was
  // checked, and the administrator should see that before a site file goes live
  // in it. Nothing has been written yet, and the new file is removed.
  bool has_acl = false;
  if (!file_has_acl(file.fd(), has_acl)) return failed(error, "reading the ACL of " + file.path());
  if (has_acl) {
    error = file.path() + " was given an ACL by " + dir +
            ", whose default ACL changed meanwhile: remove it with setfacl -k " + dir;
    return false;
  }
  if (!write_all(file.fd(), text)) return failed(error, "writing " + file.path());
  if (fchown(file.fd(), ownership.uid, ownership.gid) != 0) {
    return failed(error, "giving " + file.path() + " to " + ownership.owner_name + ":" +
                             ownership.group_name);
  }
  if (fchmod(file.fd(), ownership.mode) != 0) return failed(error, "changing the mode of " + file.path());
  if (fsync(file.fd()) != 0) return failed(error, "syncing " + file.path());
  if (!file.close_file()) return failed(error, "closing " + file.path());
  if (rename(file.path().c_str(), site_path.c_str()) != 0) {
    return failed(error, "renaming " + file.path() + " to " + site_path);
  }
  file.installed();
  // The new file is in force from here on; a failed sync of the directory is
  // only reported, as a warning the caller passes on.
  error.clear();
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || fsync(dir_fd) != 0) {
    failed(error, "the new file is in place, but syncing " + dir + " failed");
  }
  if (dir_fd >= 0) close(dir_fd);
  return true;
}

}  // namespace zel
