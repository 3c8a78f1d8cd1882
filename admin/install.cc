#include "admin/install.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "admin/acl.h"
#include "admin/text_file.h"

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

bool failed(std::string& error, const std::string& step) {
  error = step + ": " + std::strerror(errno);
  return false;
}

// Why a candidate must be root's own file: root reads what its writer could not.
constexpr const char* kRootsOwn =
    "root can read files the user who wrote or linked the candidate can't, and the installed file "
    "is shown to every user: render it as root to a path only root can write, then install it";

// The first directory of those opened that someone besides root could change: its owner is
// not root, or others may write it. A sticky directory such as /tmp counts: there anyone can
// still put a file of theirs, or a root file they can move, under a name root has yet to use.
void judge_directory(int dir, const std::string& name, std::string& fault) {
  struct stat st {};
  if (!fault.empty()) return;
  if (fstat(dir, &st) != 0) {
    fault = name + ", a directory on its path, can't be examined: " + std::strerror(errno);
  } else if (st.st_uid != 0) {
    fault = name + ", a directory on its path, is owned by user ID " + std::to_string(st.st_uid) +
            ", not root";
  } else if ((st.st_mode & 022) != 0) {
    char mode[8];
    (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    fault = name + ", a directory on its path, is writable by others than root (mode " + mode + ")";
  }
}

// Why standard input must be a pipe.
constexpr const char* kRedirected =
    "the shell that opened it as root may have followed a user's link to it, and root can read "
    "files that user can't, while the installed file is shown to every user. Give the file's path "
    "instead (zel-site install FILE, in a directory only root can write), or pipe in a rendering "
    "only root can read (RENDER | zel-site install -)";

// Opens path for reading with no symbolic link anywhere along it; -1 with errno. Each
// directory it passes, from / (a relative path starts at the working directory's), is judged
// into dir_fault.
int open_without_links(std::string path, std::string& dir_fault) {
  if (!path.starts_with('/')) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return -1;
    path = std::string(cwd) + "/" + path;
  }
  int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t pos = path.find_first_not_of('/');
  if (pos == std::string::npos) {
    if (dir >= 0) close(dir);
    errno = EISDIR;
    return -1;
  }
  std::string walked;
  while (dir >= 0) {
    judge_directory(dir, walked.empty() ? "/" : walked, dir_fault);
    const std::size_t slash = path.find('/', pos);
    const std::string part = path.substr(pos, slash == std::string::npos ? slash : slash - pos);
    walked += "/" + part;
    const std::size_t next = slash == std::string::npos ? slash : path.find_first_not_of('/', slash);
    const int flags = next == std::string::npos ? O_RDONLY | O_NONBLOCK | O_NOCTTY
                                                : O_RDONLY | O_DIRECTORY;
    const int fd = openat(dir, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    int open_errno = errno;
    // A directory's place taken by a link fails as "not a directory"; name it.
    struct stat st {};
    if (fd < 0 && open_errno == ENOTDIR && fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      open_errno = ELOOP;
    }
    close(dir);
    errno = open_errno;
    if (fd < 0 || next == std::string::npos) return fd;
    dir = fd;
    pos = next;
  }
  return -1;
}

// A regular candidate must be root's, writable by no one else, and have one name.
bool roots_own(const struct stat& st, const std::string& name, std::string& error) {
  char mode[8];
  (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (st.st_uid != 0) {
    error = name + " is owned by user ID " + std::to_string(st.st_uid) + ", not root: " + kRootsOwn;
  } else if ((st.st_mode & 022) != 0) {
    error = name + " is writable by others than root (mode " + mode + "): " + kRootsOwn;
  } else if (st.st_nlink != 1) {
    error = name + " has " + std::to_string(st.st_nlink) +
            " names (hard links), and another may be a file its linker can't read: " + kRootsOwn;
  } else {
    return true;
  }
  return false;
}

}  // namespace

// cppcheck-suppress constParameter ; read_text_file writes the reason into it
bool read_live_file(const std::string& site_path, LiveFile& live, std::string& error) {
  struct stat st {};
  bool missing = false;
  live = LiveFile();
  if (!read_text_file(site_path, live.text, error, {.follow_link = false, .missing = &missing,
                                                    .status = &st})) {
    return missing;
  }
  live.exists = true;
  live.dev = st.st_dev;
  live.ino = st.st_ino;
  return true;
}

bool read_candidate(const std::string& path, SecretBytes& text, std::string& error, bool& refused) {
  text.clear();
  refused = true;
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? "standard input" : path;
  std::string dir_fault;
  const int fd = from_stdin ? STDIN_FILENO : open_without_links(path, dir_fault);
  if (fd < 0) {
    refused = errno == ELOOP;
    error = refused ? path + " is, or lies under, a symbolic link: " + kRootsOwn
                    : path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    refused = false;
    error = name + ": " + std::strerror(errno);
  } else if (from_stdin) {
    // The shell that opened a redirected file did so as root, through whatever links a user
    // put in its path; nothing about the open file tells whether it did.
    ok = S_ISFIFO(st.st_mode);
    if (!ok) {
      error = name + " is " + (S_ISREG(st.st_mode) ? "a regular file" : "no pipe") + ", and only a pipe is "
              "taken: " + kRedirected;
    }
  } else if (!S_ISREG(st.st_mode)) {
    error = name + " is not a regular file";
    ok = false;
  } else {
    ok = roots_own(st, name, error);
    if (ok && !dir_fault.empty()) {
      error = name + ": " + dir_fault + ", so someone else could have put another file in its place: " +
              kRootsOwn;
      ok = false;
    }
  }
  if (ok) refused = false;
  if (ok && from_stdin) {
    // A pipe's writer ends it; the descriptor stays blocking for that.
    ok = read_text_fd(fd, name, text, error);
  } else if (ok) {
    // The open was non-blocking only so that a FIFO could not hang it.
    const int flags = fcntl(fd, F_GETFL);
    ok = (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) || failed(error, name);
    ok = ok && read_text_fd(fd, name, text, error);
  }
  if (!from_stdin) close(fd);
  return ok;
}

int prepare_write(const std::string& site_path, const char* tool_path, std::FILE* out,
                  SiteOwnership& ownership, LiveFile& live, std::string& error) {
  const DeploymentVerdict verdict = check_deployment(site_path.c_str(), tool_path, Purpose::kWrite);
  print_findings(out, site_path.c_str(), verdict.findings);
  if (!verdict.ownership) {
    error = site_path + " is unchanged: the deployment has the errors above; mend them (zel-site check "
                        "tells them all), then run this again";
    return 1;
  }
  ownership = *verdict.ownership;
  if (!read_live_file(site_path, live, error)) return 2;
  // The file read must be the file checked: only root could have swapped it, yet
  // what was judged is what gets replaced.
  if (live.exists != verdict.site.has_value() ||
      (live.exists && (live.dev != verdict.site->st_dev || live.ino != verdict.site->st_ino))) {
    error = site_path + " is unchanged: it was replaced while it was being checked; run this again";
    return 2;
  }
  live.mended = std::any_of(verdict.findings.begin(), verdict.findings.end(),
                            [&](const Finding& f) { return f.path == site_path; });
  return 0;
}

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

namespace {

// Whether the live file is still the one, with the text, that the command read.
bool still_as_read(const std::string& site_path, const LiveFile& as_read, std::string& error) {
  LiveFile now;
  std::string reason;
  const bool same = read_live_file(site_path, now, reason) && now.exists == as_read.exists &&
                    now.dev == as_read.dev && now.ino == as_read.ino && now.text == as_read.text;
  if (same) return true;
  error = site_path + (as_read.exists ? " was replaced or changed" : " was created") +
          " by another writer after zel-site read it: that change stays, and this one is not "
          "installed. Look at the file as it is now, then make your change again";
  if (!reason.empty()) error += " (" + reason + ")";
  return false;
}

// The steps of install_site_text after the checks; false with the step and the system's text.
bool put_in_place(const std::string& site_path, std::string_view text, const SiteOwnership& ownership,
                  const LiveFile& as_read, std::string& error, bool& raced) {
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
  // The last look before the rename: a writer that doesn't take the lock (a
  // copy by configuration management, an editor run by hand) may have put its
  // file here since this command read it.
  if (!still_as_read(site_path, as_read, error)) {
    raced = true;
    return false;
  }
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

}  // namespace

bool install_site_text(const std::string& site_path, std::string_view text,
                       const SiteOwnership& ownership, const LiveFile& as_read, std::string& error) {
  bool raced = false;
  if (put_in_place(site_path, text, ownership, as_read, error, raced)) return true;
  if (!raced) error = site_path + " is unchanged: " + error;
  return false;
}

}  // namespace zel
